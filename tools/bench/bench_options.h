// The benchmark's command line.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

struct Options {
    std::wstring tool, baseline, keysim, data;
    int rounds = 7;
    int files = 8;
    std::vector<int> sizes = {10, 100, 1000};
    std::vector<int> unrelated = {0, 500};
    DWORD capMs = 60000;
    DWORD slowMs = 5000;
    int slowRounds = 3;
    DWORD pollMs = 1;  // how often the outcome is looked for
    int stored = -1;   // file certificates installed in the stores; -1: all
};

// Reads the options after the command (argv[1]); false when one is unknown,
// lacks its value or has a bad one, or --data is missing.
bool ParseOptions(int argc, wchar_t** argv, Options* options);
void Usage();

}  // namespace bench
