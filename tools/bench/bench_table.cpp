#include "bench_table.h"

#include <stdio.h>

#include <algorithm>

namespace bench {
namespace {

std::string Format(const char* format, double value)
{
    char text[32];
    snprintf(text, sizeof(text), format, value);
    return text;
}

}  // namespace

void PrintTable(const std::vector<Row>& rows, const Options& options)
{
    printf("%-46s %6s %9s %9s %9s %9s\n", "Yes to outcome (ms)", "rounds", "median", "per file",
           "min", "max");
    for (const Row& row : rows) {
        std::string median, perFile, least, most;
        if (!row.times.empty()) {
            least = Format("%.1f", *std::min_element(row.times.begin(), row.times.end()));
            most = Format("%.1f", *std::max_element(row.times.begin(), row.times.end()));
        }
        if (!row.error.empty()) {
            median = "failed";
        } else if (row.capped) {
            median = Format(">%.0f", options.capMs);
        } else if (!row.times.empty()) {
            median = Format("%.1f", Median(row.times));
        }
        double costMs = 0;
        if (PerFileCost(rows, row, options, &costMs)) {
            perFile = Format(row.capped ? ">%.2f" : "%.2f", costMs);
        }
        int rounds = static_cast<int>(row.times.size()) + (row.capped ? 1 : 0);
        char line[256];
        snprintf(line, sizeof(line), "%-46s %6d %9s %9s %9s %9s", row.label.c_str(), rounds,
                 median.c_str(), perFile.c_str(), least.c_str(), most.c_str());
        std::string text = line;
        text.erase(text.find_last_not_of(' ') + 1);
        printf("%s\n", text.c_str());
    }
    for (const Row& row : rows) {
        if (!row.error.empty()) {
            printf("%s: %s\n", row.label.c_str(), row.error.c_str());
        } else if (row.capped && row.purge) {
            printf("%s: ended at %lu ms with %u of %d files purged\n", row.label.c_str(),
                   static_cast<unsigned long>(options.capMs),
                   static_cast<unsigned>(row.files - std::min<size_t>(row.filesLeftAtCap, row.files)),
                   row.files);
        }
    }
    fflush(stdout);
}

std::string CaseLabel(int files, int unrelated)
{
    char text[96];
    snprintf(text, sizeof(text), "tool, %d files, %d unrelated in MY", files, unrelated);
    return text;
}

}  // namespace bench
