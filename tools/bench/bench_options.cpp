#include "bench_options.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "bench_certs.h"

namespace bench {
namespace {

bool ParseCount(const wchar_t* text, int* value, int least)
{
    wchar_t* end = NULL;
    long number = wcstol(text, &end, 10);
    if (end == text || *end != L'\0' || number < least || number > kMaxCount) return false;
    *value = static_cast<int>(number);
    return true;
}

bool ParseList(const wchar_t* text, std::vector<int>* values, int least)
{
    values->clear();
    std::wstring list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L',', start);
        if (end == std::wstring::npos) end = list.size();
        int value = 0;
        if (!ParseCount(list.substr(start, end - start).c_str(), &value, least)) return false;
        values->push_back(value);
        start = end + 1;
    }
    return !values->empty();
}

}  // namespace

bool ParseOptions(int argc, wchar_t** argv, Options* options)
{
    for (int i = 2; i < argc; ++i) {
        std::wstring name = argv[i];
        if (i + 1 >= argc) return false;
        const wchar_t* value = argv[++i];
        int number = 0;
        bool ok = true;
        if (name == L"--tool") {
            options->tool = value;
        } else if (name == L"--baseline") {
            options->baseline = value;
        } else if (name == L"--keysim") {
            options->keysim = value;
        } else if (name == L"--data") {
            options->data = value;
        } else if (name == L"--rounds") {
            ok = ParseCount(value, &options->rounds, 1);
        } else if (name == L"--files") {
            ok = ParseCount(value, &options->files, 0);
        } else if (name == L"--sizes") {
            ok = ParseList(value, &options->sizes, 1);
            std::sort(options->sizes.begin(), options->sizes.end());
        } else if (name == L"--unrelated") {
            ok = ParseList(value, &options->unrelated, 0);
        } else if (name == L"--cap" || name == L"--slow" || name == L"--poll") {
            wchar_t* end = NULL;
            unsigned long ms = wcstoul(value, &end, 10);
            ok = end != value && *end == L'\0' && ms > 0 && ms <= 3600000;
            (name == L"--cap" ? options->capMs : name == L"--slow" ? options->slowMs
                                                                   : options->pollMs) = ms;
        } else if (name == L"--stored") {
            ok = ParseCount(value, &options->stored, 0);
        } else if (name == L"--slow-rounds") {
            ok = ParseCount(value, &number, 1);
            options->slowRounds = number;
        } else {
            ok = false;
        }
        if (!ok) return false;
    }
    return !options->data.empty();
}

void Usage()
{
    fprintf(stderr,
            "usage: inittool_bench run --tool <exe> --baseline <exe> --keysim <folder> "
            "--data <folder>\n"
            "           [--rounds N] [--files N] [--sizes N,N,...] [--unrelated N,N,...]\n"
            "           [--cap ms] [--slow ms] [--slow-rounds N] [--poll ms] [--stored N]\n"
            "       inittool_bench cleanup|leftovers --data <folder>\n");
}

}  // namespace bench
