// The benchmark program that scripts/bench.sh runs inside a Wine virtual
// desktop: it runs the tool end to end against the key simulator, drives its
// dialog with the end-to-end tests' ToolProcess, and measures the time from
// posting the Yes click until the dialog shows the outcome. Setting up a
// round (the key, the cache files, the stores) and checking it afterwards
// are not measured.
//
//   inittool_bench.exe run --tool <exe> --baseline <exe> --keysim <folder> --data <folder>
//       [--rounds N] [--files N] [--sizes N,N,...] [--unrelated N,N,...]
//       [--cap ms] [--slow ms] [--slow-rounds N] [--poll ms] [--stored N]
//   inittool_bench.exe cleanup --data <folder>
//   inittool_bench.exe leftovers --data <folder>
//
// run: first the tool with --files cache files (default 8) beside the
// baseline program (the tool's dialog without the run), rounds taken in
// turns; then the tool at each of --sizes cache files (default 10,100,1000)
// with each of --unrelated certificates (default 0,500) added to "MY" that
// no file matches. Each case takes --rounds rounds (default 7), only
// --slow-rounds (default 3) when its first round took longer than --slow ms
// (default 5000), and stops at the first round that reaches --cap ms
// (default 60000): the tool is then ended and the case reported as
// ">cap". One unmeasured round of the tool and of the baseline comes first.
// The outcome is looked for every --poll ms (default 1). With --stored N only
// the first N cache files of a case have their certificate in the stores
// (as after the CSP lost track of the others), so the stores' size stays
// the same whatever the number of files.
// Prints a table (per case: rounds, median, cost per file, min and max),
// then "bench finished", or "bench failed" when a round went wrong (the
// tool did not show its success text, or left the key, a cache file or a
// certificate behind). The cost per file is (median - median at the
// smallest size) / (files - smallest size), with the same store contents.
//
// --keysim names the built simulator's folder; its Korrim.dll and
// placeholder CSP file are copied to bench-keysim\ beside this program, so
// the benchmark has a simulated key of its own. The certificates are made
// from tests\data\rsa.der and ec.der (--data) by rewriting the last two
// bytes of the serial number: serials 0x4000 + i for the cache files (every
// eighth one EC, for "addressbook", the others RSA, for "MY") and 0x6000 + i
// for the unrelated ones. cleanup removes every such certificate from "MY"
// and "addressbook" and prints how many it removed; leftovers prints how
// many the stores hold.
#include <windows.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench_certs.h"
#include "bench_options.h"
#include "bench_rounds.h"
#include "bench_stores.h"
#include "bench_table.h"
#include "resource.h"

namespace bench {
namespace {

std::wstring LoadToolString(const std::wstring& exe, UINT id)
{
    HMODULE module = LoadLibraryExW(exe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module == NULL) return std::wstring();
    wchar_t text[512] = {};
    LoadStringW(module, id, text, ARRAYSIZE(text));
    FreeLibrary(module);
    return text;
}

int Run(const Options& options, const CertMaker& maker)
{
    std::string error;
    if (!SetUpCacheDir()) {
        fprintf(stderr, "bench failed: no cache root\n");
        return 1;
    }
    std::wstring successText = LoadToolString(options.tool, IDS_INIT_OK);
    if (successText.empty()) {
        printf("bench failed: cannot read the success text of %s\n", Narrow(options.tool).c_str());
        return 1;
    }
    if (!SetUpKeySim(options.keysim, &error)) {
        printf("bench failed: %s\n", error.c_str());
        return 1;
    }
    RemoveMadeCerts(maker);

    Bench bench(options, maker, successText);
    std::vector<Row> rows;
    Row tool, baseline;
    tool.label = "tool, " + std::to_string(options.files) + " files";
    tool.files = options.files;
    baseline.label = "do-nothing dialog (no run)";
    bench.CompareWithBaseline(&tool, &baseline);
    rows.push_back(tool);
    rows.push_back(baseline);

    for (int unrelated : options.unrelated) {
        // Only this many unrelated certificates in "MY".
        RemoveMadeCerts(maker);
        CaseCerts certs;
        if (!MakeCaseCerts(maker, 0, unrelated, &certs, &error)) {
            printf("bench failed: %s\n", error.c_str());
            return 1;
        }
        std::vector<const BenchCert*> my;
        for (const BenchCert& cert : certs.unrelated) my.push_back(&cert);
        if (!AddToStore(L"MY", my)) {
            printf("bench failed: cannot add the unrelated certificates to MY\n");
            return 1;
        }
        for (int files : options.sizes) {
            Row row;
            row.label = CaseLabel(files, unrelated);
            row.files = files;
            row.unrelated = unrelated;
            row.purge = true;
            bench.Purge(&row);
            rows.push_back(row);
        }
    }

    size_t removed = RemoveMadeCerts(maker);
    ClearCacheFiles();
    TearDownKeySim();
    fprintf(stderr, "  removed the benchmark's %u certificate(s) from the stores\n",
            static_cast<unsigned>(removed));

    PrintTable(rows, options);
    bool failed = false;
    for (const Row& row : rows) failed = failed || !row.error.empty();
    printf(failed ? "bench failed\n" : "bench finished\n");
    return failed ? 1 : 0;
}

}  // namespace

int Main(int argc, wchar_t** argv)
{
    Options options;
    if (argc < 2 || !ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    std::wstring command = argv[1];
    CertMaker maker;
    std::string error;
    if (!maker.Load(options.data, &error)) {
        printf("bench failed: %s\n", error.c_str());
        return 1;
    }
    if (command == L"cleanup") {
        printf("removed %u\n", static_cast<unsigned>(RemoveMadeCerts(maker)));
        return 0;
    }
    if (command == L"leftovers") {
        printf("%u\n", static_cast<unsigned>(CountMadeCerts(maker)));
        return 0;
    }
    if (command != L"run" || options.tool.empty() || options.baseline.empty() ||
        options.keysim.empty()) {
        Usage();
        return 2;
    }
    return Run(options, maker);
}

}  // namespace bench

int wmain(int argc, wchar_t** argv)
{
    return bench::Main(argc, argv);
}
