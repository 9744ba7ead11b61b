#include "bench_rounds.h"

#include <stdio.h>

#include <algorithm>
#include <set>

#include "bench_stores.h"
#include "resource.h"
#include "tool_driver.h"

namespace bench {
namespace {

// Time between the dialog appearing and the Yes click, as a user takes it.
const DWORD kSettleMs = 100;

// The key plugged and enrolled, the cache files written and their
// certificates in the stores, as the CSP leaves them.
bool PrepareToolRound(const CaseCerts& certs, int stored, std::string* error)
{
    if (!PlugKey()) {
        *error = "cannot plug the simulated key";
        return false;
    }
    ClearCacheFiles();
    std::vector<const BenchCert*> my, addressbook;
    for (size_t i = 0; i < certs.files.size(); ++i) {
        const BenchCert& cert = certs.files[i];
        if (!WriteCacheFile(static_cast<int>(i), cert)) {
            *error = "cannot write a cache file in " + CacheDir();
            return false;
        }
        if (stored < 0 || static_cast<int>(i) < stored) {
            (cert.ec ? addressbook : my).push_back(&cert);
        }
    }
    if (!AddToStore(L"MY", my) || !AddToStore(L"addressbook", addressbook)) {
        *error = "cannot add the cache files' certificates to the stores";
        return false;
    }
    return true;
}

// After a tool round: the key blank, its files gone, their certificates gone
// and the unrelated ones kept.
bool CheckToolRound(const CertMaker& maker, const CaseCerts& certs, std::string* error)
{
    if (!KeyIsBlank()) {
        *error = "the key is not blank";
        return false;
    }
    size_t files = KeyCacheFiles().size();
    std::set<std::vector<BYTE>> my = MadeCertsIn(maker, L"MY", false);
    std::set<std::vector<BYTE>> addressbook = MadeCertsIn(maker, L"addressbook", false);
    size_t kept = 0, lost = 0;
    for (const BenchCert& cert : certs.files) {
        kept += (cert.ec ? addressbook : my).count(cert.der);
    }
    for (const BenchCert& cert : certs.unrelated) {
        lost += my.count(cert.der) == 0;
    }
    if (files != 0 || kept != 0 || lost != 0) {
        char text[200];
        snprintf(text, sizeof(text),
                 "the run left %u cache file(s) and %u of their certificate(s), and removed %u "
                 "unrelated certificate(s)",
                 static_cast<unsigned>(files), static_cast<unsigned>(kept),
                 static_cast<unsigned>(lost));
        *error = text;
        return false;
    }
    return true;
}

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

// Starts the program, waits for its dialog, presses Yes and times it until
// the outcome is shown; then checks the text and closes it with OK.
Round TimeYes(const std::wstring& exe, const std::wstring& successText, DWORD capMs,
              DWORD pollMs)
{
    Round round;
    ToolProcess process;
    if (!process.Launch(exe) || !process.WaitForDialog()) {
        round.error = "the dialog of " + Narrow(exe) + " did not appear";
        return round;
    }
    Sleep(kSettleMs);
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    process.Press(IDC_YES);
    bool finished = process.WaitForFinished(capMs, pollMs);
    QueryPerformanceCounter(&end);
    round.ms = Milliseconds(start, end);
    if (!finished) {
        if (process.HasExited()) {
            round.error = "the program ended before it showed the outcome";
        } else {
            round.capped = true;
            process.Kill();
        }
        return round;
    }
    DialogState state = process.ReadState();
    process.Press(IDOK);
    if (!process.WaitForExit()) {
        process.Kill();
        round.error = "the program did not end on OK";
    } else if (state.message != successText) {
        round.error = "the outcome reads \"" + Narrow(state.message) + "\"";
    }
    return round;
}

}  // namespace

bool MakeCaseCerts(const CertMaker& maker, int files, int unrelated, CaseCerts* certs,
                   std::string* error)
{
    certs->files.resize(files);
    certs->unrelated.resize(unrelated);
    for (int i = 0; i < files; ++i) {
        if (!maker.File(i, &certs->files[i], error)) return false;
    }
    for (int i = 0; i < unrelated; ++i) {
        if (!maker.Unrelated(i, &certs->unrelated[i], error)) return false;
    }
    return true;
}

bool Bench::ToolRound(Row* row, const CaseCerts& certs, Round* round)
{
    *round = Round();
    if (PrepareToolRound(certs, m_options.stored, &round->error)) {
        *round = TimeYes(m_options.tool, m_successText, m_options.capMs, m_options.pollMs);
        if (round->capped) {
            round->filesLeft = KeyCacheFiles().size();
        } else if (round->error.empty()) {
            CheckToolRound(m_maker, certs, &round->error);
        }
    }
    return Record(row, *round);
}

bool Bench::BaselineRound(Row* row, Round* round)
{
    *round = TimeYes(m_options.baseline, m_successText, m_options.capMs,
                     m_options.pollMs);
    return Record(row, *round);
}

void Bench::CompareWithBaseline(Row* tool, Row* baseline)
{
    CaseCerts certs;
    if (!MakeCaseCerts(m_maker, tool->files, 0, &certs, &tool->error)) return;
    Row warmTool = *tool, warmBaseline = *baseline;
    Round round;
    Progress(tool->label, 0, 0, ToolRound(&warmTool, certs, &round), round);
    Progress(baseline->label, 0, 0, BaselineRound(&warmBaseline, &round), round);
    for (int i = 0; i < m_options.rounds; ++i) {
        if (tool->error.empty() && !tool->capped) {
            Progress(tool->label, i + 1, m_options.rounds, ToolRound(tool, certs, &round),
                     round);
        }
        if (baseline->error.empty() && !baseline->capped) {
            Progress(baseline->label, i + 1, m_options.rounds,
                     BaselineRound(baseline, &round), round);
        }
    }
}

void Bench::Purge(Row* row)
{
    CaseCerts certs;
    if (!MakeCaseCerts(m_maker, row->files, row->unrelated, &certs, &row->error)) return;
    int rounds = m_options.rounds;
    for (int i = 0; i < rounds; ++i) {
        Round round;
        bool ok = ToolRound(row, certs, &round);
        Progress(row->label, i + 1, rounds, ok, round);
        if (!ok || round.capped) return;
        if (i == 0 && round.ms > m_options.slowMs) {
            rounds = std::min(rounds, m_options.slowRounds);
        }
    }
}

bool Bench::Record(Row* row, const Round& round)
{
    if (!round.error.empty()) {
        row->error = round.error;
        return false;
    }
    if (round.capped) {
        row->capped = true;
        row->filesLeftAtCap = round.filesLeft;
    } else {
        row->times.push_back(round.ms);
    }
    return true;
}

void Bench::Progress(const std::string& label, int round, int rounds, bool ok, const Round& result)
{
    if (round == 0) {
        fprintf(stderr, "  warm-up, %s:", label.c_str());
    } else {
        fprintf(stderr, "  %s: round %d/%d:", label.c_str(), round, rounds);
    }
    if (!ok) {
        fprintf(stderr, " failed: %s\n", result.error.c_str());
    } else if (result.capped) {
        fprintf(stderr, " over %lu ms, ended\n", static_cast<unsigned long>(m_options.capMs));
    } else {
        fprintf(stderr, " %.1f ms\n", result.ms);
    }
    fflush(stderr);
}

}  // namespace bench
