// The benchmark's table: per case the rounds, median, cost per file, min and
// max, then a line for each case that failed or was ended at the cap.
#pragma once

#include <string>
#include <vector>

#include "bench_stats.h"

namespace bench {

void PrintTable(const std::vector<Row>& rows, const Options& options);

// The label of a purge case.
std::string CaseLabel(int files, int unrelated);

}  // namespace bench
