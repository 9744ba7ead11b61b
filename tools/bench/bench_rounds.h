// The benchmark's rounds: one round sets up the key, the cache files and the
// stores (untimed), starts a program, presses Yes and times it until the
// outcome is shown, and checks what the run left (untimed).
#pragma once

#include <string>
#include <vector>

#include "bench_certs.h"
#include "bench_options.h"
#include "bench_stats.h"

namespace bench {

// The certificates of one case: the cache files' and the unrelated ones.
struct CaseCerts {
    std::vector<BenchCert> files;
    std::vector<BenchCert> unrelated;
};

bool MakeCaseCerts(const CertMaker& maker, int files, int unrelated, CaseCerts* certs,
                   std::string* error);

struct Round {
    double ms = 0;
    bool capped = false;
    size_t filesLeft = 0;  // after a round ended at the cap
    std::string error;
};

class Bench {
public:
    Bench(const Options& options, const CertMaker& maker, const std::wstring& successText)
        : m_options(options), m_maker(maker), m_successText(successText)
    {
    }

    // One round of the tool; false (with the error in round and row) when it
    // went wrong.
    bool ToolRound(Row* row, const CaseCerts& certs, Round* round);
    bool BaselineRound(Row* row, Round* round);

    // The tool with few files beside the baseline, taking rounds in turns,
    // after one unmeasured round of each.
    void CompareWithBaseline(Row* tool, Row* baseline);

    // The rounds of one purge case; the unrelated certificates are in place.
    void Purge(Row* row);

private:
    static bool Record(Row* row, const Round& round);
    // One line on standard error per round (round 0: the warm-up).
    void Progress(const std::string& label, int round, int rounds, bool ok, const Round& result);

    const Options& m_options;
    const CertMaker& m_maker;
    std::wstring m_successText;
};

}  // namespace bench
