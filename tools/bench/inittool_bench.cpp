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
#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "certcache/cache_root.h"
#include "keysim_state.h"
#include "resource.h"
#include "tool_driver.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const uint32_t kSlot = 0x11;
const char kReader[] =
    "\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
// The cache-file prefix of that reader, as the CSP names the key's files.
const char kPrefix[] = "41_hid#vid_12340pid_5678#701a2b3c4d00000000";
const char kPin[] = "tq8053";

const unsigned kFileSerialBase = 0x4000;
const unsigned kUnrelatedSerialBase = 0x6000;
const unsigned kSerialLimit = 0x8000;
const int kMaxCount = 0x2000;  // serials per kind
// Time between the dialog appearing and the Yes click, as a user takes it.
const DWORD kSettleMs = 100;

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

// How many of a case's cache files have their certificate in the stores (the
// others are files whose certificate is no longer there); -1: all.
int g_storedFiles = -1;

std::string Narrow(const std::wstring& text)
{
    return ToUtf8(text);
}

// ---------------------------------------------------------------------------
// Certificates

struct Template {
    std::vector<BYTE> der;
    size_t serialOffset = 0;
    size_t serialLength = 0;
    PCCERT_CONTEXT context = NULL;
};

// Reads a DER header at pos: the tag, where the contents start and how long
// they are.
bool ReadHeader(const std::vector<BYTE>& der, size_t pos, BYTE* tag, size_t* start,
                size_t* length)
{
    if (pos + 2 > der.size()) return false;
    *tag = der[pos];
    size_t size = der[pos + 1];
    size_t at = pos + 2;
    if (size & 0x80) {
        size_t count = size & 0x7f;
        if (count == 0 || count > 4 || at + count > der.size()) return false;
        size = 0;
        for (size_t i = 0; i < count; ++i) size = (size << 8) | der[at + i];
        at += count;
    }
    if (at + size > der.size()) return false;
    *start = at;
    *length = size;
    return true;
}

bool ReadBytes(const std::wstring& path, std::vector<BYTE>* bytes)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == NULL) return false;
    BYTE chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    fclose(file);
    return !bytes->empty();
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber INTEGER, ... } ... }: finds the serial number's contents. Its
// last two bytes are rewritten; the first byte must keep the number positive
// and minimal.
bool LoadTemplate(const std::wstring& path, Template* t, std::string* error)
{
    if (!ReadBytes(path, &t->der)) {
        *error = "cannot read " + Narrow(path);
        return false;
    }
    BYTE tag = 0;
    size_t start = 0, length = 0;
    bool ok = ReadHeader(t->der, 0, &tag, &start, &length) && tag == 0x30 &&
              ReadHeader(t->der, start, &tag, &start, &length) && tag == 0x30 &&
              ReadHeader(t->der, start, &tag, &start, &length);
    if (ok && tag == 0xA0) {
        ok = ReadHeader(t->der, start + length, &tag, &start, &length);
    }
    ok = ok && tag == 0x02 && length >= 2 &&
         (length == 2 || (t->der[start] != 0x00 && t->der[start] < 0x80));
    if (!ok) {
        *error = Narrow(path) + ": no serial number of two bytes or more found";
        return false;
    }
    t->serialOffset = start;
    t->serialLength = length;
    t->context = CertCreateCertificateContext(kEncoding, t->der.data(),
                                              static_cast<DWORD>(t->der.size()));
    if (t->context == NULL) {
        *error = Narrow(path) + " does not decode";
        return false;
    }
    return true;
}

// The serial number's value in its last two bytes (the blob is little-endian).
unsigned LowSerial(PCCERT_CONTEXT cert)
{
    const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
    if (serial.cbData < 2) return 0;
    return (static_cast<unsigned>(serial.pbData[1]) << 8) | serial.pbData[0];
}

struct BenchCert {
    std::vector<BYTE> der;
    bool ec = false;
};

class CertMaker {
public:
    bool Load(const std::wstring& dataDir, std::string* error)
    {
        return LoadTemplate(dataDir + L"\\rsa.der", &m_rsa, error) &&
               LoadTemplate(dataDir + L"\\ec.der", &m_ec, error);
    }

    // The certificate of cache file i; every eighth one is EC.
    bool File(int i, BenchCert* cert, std::string* error) const
    {
        cert->ec = i % 8 == 7;
        return Make(cert->ec ? m_ec : m_rsa, kFileSerialBase + i, &cert->der, error);
    }

    // Unrelated certificate i (RSA, for "MY"): no cache file matches it.
    bool Unrelated(int i, BenchCert* cert, std::string* error) const
    {
        cert->ec = false;
        return Make(m_rsa, kUnrelatedSerialBase + i, &cert->der, error);
    }

    // Whether a store's certificate is one of those made here.
    bool IsMade(PCCERT_CONTEXT cert) const
    {
        unsigned serial = LowSerial(cert);
        if (serial < kFileSerialBase || serial >= kSerialLimit) return false;
        for (const Template* t : {&m_rsa, &m_ec}) {
            if (cert->pCertInfo->SerialNumber.cbData == t->serialLength &&
                CertCompareCertificateName(kEncoding, &cert->pCertInfo->Issuer,
                                           &t->context->pCertInfo->Issuer)) {
                return true;
            }
        }
        return false;
    }

private:
    // The template with the serial's last two bytes set to serial; checked
    // to decode with that serial.
    static bool Make(const Template& t, unsigned serial, std::vector<BYTE>* der,
                     std::string* error)
    {
        *der = t.der;
        (*der)[t.serialOffset + t.serialLength - 2] = static_cast<BYTE>(serial >> 8);
        (*der)[t.serialOffset + t.serialLength - 1] = static_cast<BYTE>(serial & 0xff);
        PCCERT_CONTEXT cert =
            CertCreateCertificateContext(kEncoding, der->data(), static_cast<DWORD>(der->size()));
        bool ok = cert != NULL && LowSerial(cert) == serial;
        if (cert != NULL) CertFreeCertificateContext(cert);
        if (!ok) {
            char text[80];
            snprintf(text, sizeof(text), "the certificate with serial 0x%04x does not decode",
                     serial);
            *error = text;
        }
        return ok;
    }

    Template m_rsa, m_ec;
};

// ---------------------------------------------------------------------------
// Stores

HCERTSTORE OpenUserStore(const wchar_t* name)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         name);
}

// Adds the certificates to a current-user store (keeping any already there)
// and writes the store back.
bool AddToStore(const wchar_t* name, const std::vector<const BenchCert*>& certs)
{
    if (certs.empty()) return true;
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) return false;
    bool ok = true;
    for (const BenchCert* cert : certs) {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, cert->der.data(),
                                              static_cast<DWORD>(cert->der.size()),
                                              CERT_STORE_ADD_USE_EXISTING, NULL) &&
             ok;
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return ok;
}

// The encodings of the benchmark's certificates in a current-user store.
// With remove, deletes them: collected during the walk, deleted after it (a
// walk does not go on past a deletion), then written back.
std::set<std::vector<BYTE>> MadeCertsIn(const CertMaker& maker, const wchar_t* name, bool remove)
{
    std::set<std::vector<BYTE>> found;
    HCERTSTORE store = OpenUserStore(name);
    if (store == NULL) return found;
    std::vector<PCCERT_CONTEXT> doomed;
    PCCERT_CONTEXT cert = NULL;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != NULL) {
        if (maker.IsMade(cert)) {
            found.insert(std::vector<BYTE>(cert->pbCertEncoded,
                                           cert->pbCertEncoded + cert->cbCertEncoded));
            if (remove) doomed.push_back(CertDuplicateCertificateContext(cert));
        }
    }
    for (PCCERT_CONTEXT victim : doomed) {
        CertDeleteCertificateFromStore(victim);  // frees the duplicate
    }
    if (remove) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return found;
}

size_t RemoveMadeCerts(const CertMaker& maker)
{
    return MadeCertsIn(maker, L"MY", true).size() + MadeCertsIn(maker, L"addressbook", true).size();
}

size_t CountMadeCerts(const CertMaker& maker)
{
    return MadeCertsIn(maker, L"MY", false).size() +
           MadeCertsIn(maker, L"addressbook", false).size();
}

// ---------------------------------------------------------------------------
// Cache files and the key

std::string g_cacheDir;

std::vector<std::string> KeyCacheFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((g_cacheDir + "\\" + kPrefix + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

void ClearCacheFiles()
{
    for (const std::string& name : KeyCacheFiles()) {
        DeleteFileA((g_cacheDir + "\\" + name).c_str());
    }
}

bool WriteCacheFile(int index, const BenchCert& cert)
{
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "%s\\%sbench%04d.cer", g_cacheDir.c_str(), kPrefix, index);
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, cert.der.data(), static_cast<DWORD>(cert.der.size()), &written, NULL);
    CloseHandle(file);
    return ok && written == cert.der.size();
}

std::wstring g_keysimDir;

// A fresh key in the slot, holding a certificate (not blank), and an empty
// journal.
bool PlugKey()
{
    SimState state;
    return PlugSimKey(&state, kSlot, kReader, kPin, 5) &&
           EnrolSimCert(&state, kSlot, "bench certificate") && SaveSimState(g_keysimDir, state) &&
           WriteWholeFile(SimPath(g_keysimDir, kSimJournalFile), std::string());
}

bool KeyIsBlank()
{
    SimState state;
    if (!LoadSimState(g_keysimDir, &state)) return false;
    const SimKey* key = FindSimKey(state, kSlot);
    return key != NULL && key->blank;
}

// Copies the simulator's library and placeholder CSP file to a folder of the
// benchmark's own and registers the CSP there.
bool SetUpKeySim(const std::wstring& builtDir, std::string* error)
{
    g_keysimDir = BesideThisProgram(L"bench-keysim");
    CreateDirectoryW(g_keysimDir.c_str(), NULL);
    for (const wchar_t* file : {L"Korrim.dll", L"VarkeldKsvCsp.dll"}) {
        if (!CopyFileW(SimPath(builtDir, file).c_str(), SimPath(g_keysimDir, file).c_str(),
                       FALSE)) {
            *error = "cannot copy " + Narrow(SimPath(builtDir, file));
            return false;
        }
    }
    if (!SimRegisterCsp(SimPath(g_keysimDir, L"VarkeldKsvCsp.dll"))) {
        *error = "cannot register the simulated CSP";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Rounds

// The certificates of one case: the cache files' and the unrelated ones.
struct CaseCerts {
    std::vector<BenchCert> files;
    std::vector<BenchCert> unrelated;
};

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

// The key plugged and enrolled, the cache files written and their
// certificates in the stores, as the CSP leaves them.
bool PrepareToolRound(const CaseCerts& certs, std::string* error)
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
            *error = "cannot write a cache file in " + g_cacheDir;
            return false;
        }
        if (g_storedFiles < 0 || static_cast<int>(i) < g_storedFiles) {
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

struct Round {
    double ms = 0;
    bool capped = false;
    size_t filesLeft = 0;  // after a round ended at the cap
    std::string error;
};

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

// ---------------------------------------------------------------------------
// Cases and the table

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

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

class Bench {
public:
    Bench(const Options& options, const CertMaker& maker, const std::wstring& successText)
        : m_options(options), m_maker(maker), m_successText(successText)
    {
    }

    // One round of the tool; false (with the error in round and row) when it
    // went wrong.
    bool ToolRound(Row* row, const CaseCerts& certs, Round* round)
    {
        *round = Round();
        if (PrepareToolRound(certs, &round->error)) {
            *round = TimeYes(m_options.tool, m_successText, m_options.capMs, m_options.pollMs);
            if (round->capped) {
                round->filesLeft = KeyCacheFiles().size();
            } else if (round->error.empty()) {
                CheckToolRound(m_maker, certs, &round->error);
            }
        }
        return Record(row, *round);
    }

    bool BaselineRound(Row* row, Round* round)
    {
        *round = TimeYes(m_options.baseline, m_successText, m_options.capMs,
                         m_options.pollMs);
        return Record(row, *round);
    }

    // The tool with few files beside the baseline, taking rounds in turns,
    // after one unmeasured round of each.
    void CompareWithBaseline(Row* tool, Row* baseline)
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

    // The rounds of one purge case; the unrelated certificates are in place.
    void Purge(Row* row)
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

private:
    static bool Record(Row* row, const Round& round)
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

    // One line on standard error per round (round 0: the warm-up).
    void Progress(const std::string& label, int round, int rounds, bool ok, const Round& result)
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

    const Options& m_options;
    const CertMaker& m_maker;
    std::wstring m_successText;
};

std::string Format(const char* format, double value)
{
    char text[32];
    snprintf(text, sizeof(text), format, value);
    return text;
}

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
        // Per file: the cost of each file above the smallest size, with the
        // same store contents: (median - smallest size's median) / (files -
        // smallest size). A case ended at the cap gives a lower bound.
        double baseMs = 0;
        if (row.purge && row.error.empty() && row.files != options.sizes.front() &&
            BaseMedian(rows, row, options, &baseMs)) {
            double ms = row.capped ? options.capMs : Median(row.times);
            perFile = Format(row.capped ? ">%.2f" : "%.2f",
                             (ms - baseMs) / (row.files - options.sizes.front()));
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

// ---------------------------------------------------------------------------
// Command line

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
    char root[MAX_PATH] = {};
    if (!GetCacheRoot(root)) {
        fprintf(stderr, "bench failed: no cache root\n");
        return 1;
    }
    g_cacheDir = std::string(root) + "\\Varkeld KSV CSP";
    CreateDirectoryA(g_cacheDir.c_str(), NULL);
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
    SimUnregisterCsp();
    SaveSimState(g_keysimDir, SimState());
    fprintf(stderr, "  removed the benchmark's %u certificate(s) from the stores\n",
            static_cast<unsigned>(removed));

    PrintTable(rows, options);
    bool failed = false;
    for (const Row& row : rows) failed = failed || !row.error.empty();
    printf(failed ? "bench failed\n" : "bench finished\n");
    return failed ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (argc < 2 || !ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    std::wstring command = argv[1];
    g_storedFiles = options.stored;
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
