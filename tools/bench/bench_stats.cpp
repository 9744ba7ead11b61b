#include "bench_stats.h"

#include <algorithm>

namespace bench {
namespace {

// The median of the smallest size's row with the same store contents, if
// it has one.
bool BaseMedian(const std::vector<Row>& rows, const Row& row, const Options& options,
                double* ms)
{
    for (const Row& base : rows) {
        if (base.purge && base.unrelated == row.unrelated && base.files == options.sizes.front() &&
            base.error.empty() && !base.capped && !base.times.empty()) {
            *ms = Median(base.times);
            return true;
        }
    }
    return false;
}

}  // namespace

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool PerFileCost(const std::vector<Row>& rows, const Row& row, const Options& options,
                 double* ms)
{
    double baseMs = 0;
    if (!row.purge || !row.error.empty() || row.files == options.sizes.front() ||
        !BaseMedian(rows, row, options, &baseMs)) {
        return false;
    }
    double median = row.capped ? options.capMs : Median(row.times);
    *ms = (median - baseMs) / (row.files - options.sizes.front());
    return true;
}

}  // namespace bench
