// A case's rounds and what they give: the median and the cost per file.
#pragma once

#include <string>
#include <vector>

#include "bench_options.h"

namespace bench {

struct Row {
    std::string label;
    int files = 0;
    int unrelated = 0;
    bool purge = false;  // a row of the purge table (per-file cost applies)
    std::vector<double> times;
    bool capped = false;
    size_t filesLeftAtCap = 0;
    std::string error;
};

double Median(std::vector<double> values);

// The cost of each of the row's files above the smallest size, with the
// same store contents: (median - smallest size's median) / (files -
// smallest size). A case ended at the cap gives a lower bound. False when
// it does not apply: not a purge row, a failed row, the smallest size
// itself, or no measured row at the smallest size.
bool PerFileCost(const std::vector<Row>& rows, const Row& row, const Options& options,
                 double* ms);

}  // namespace bench
