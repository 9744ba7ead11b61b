#include "test_support.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ReadAll(HANDLE file, Bytes* bytes)
{
    bytes->clear();
    BYTE chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    return true;
}

bool WriteAll(HANDLE file, const Bytes& bytes)
{
    DWORD written = 0;
    bool ok = bytes.empty() ||
              (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size());
    CloseHandle(file);
    return ok;
}

HCERTSTORE OpenUserStore(const wchar_t* name)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         name);
}

}  // namespace

std::string TestDataPath(const char* name)
{
    // The test pack's runner names the data beside it; the build's is built in.
    const char* dir = getenv("CERT_DATA_DIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : CERTCACHE_TEST_DATA) + "\\" + name;
}

Bytes TestData(const char* name)
{
    Bytes bytes;
    if (!ReadBytes(TestDataPath(name), &bytes)) {
        fprintf(stderr, "missing test data %s\n", TestDataPath(name).c_str());
        abort();
    }
    return bytes;
}

bool WriteBytes(const std::string& path, const Bytes& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && WriteAll(file, bytes);
}

bool WriteBytesLongPath(const std::wstring& path, const Bytes& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && WriteAll(file, bytes);
}

bool ReadBytes(const std::string& path, Bytes* bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ReadAll(file, bytes);
    CloseHandle(file);
    return true;
}

bool ExistsLongPath(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FileExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ProgramFolder()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.find_last_of('\\'));
}

bool RunHelper(const std::string& program, const std::string& arguments, std::string* output)
{
    output->clear();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::string path = ProgramFolder() + "\\" + program;
    std::string commandLine = "\"" + path + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    BOOL started = CreateProcessA(path.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    Bytes bytes;
    ReadAll(readEnd, &bytes);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    output->assign(bytes.begin(), bytes.end());
    return exitCode == 0;
}

std::string Field(const std::string& output, const std::string& name)
{
    std::string key = name + "=";
    size_t at = 0;
    while ((at = output.find(key, at)) != std::string::npos) {
        if (at == 0 || output[at - 1] == '\n' || output[at - 1] == ' ') {
            size_t begin = at + key.size();
            size_t end = output.find_first_of(" \r\n", begin);
            return output.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        }
        at += key.size();
    }
    return "";
}

StoreCount ProbeStore(const char* store, const char* dataName)
{
    StoreCount count;
    std::string output;
    std::string arguments = std::string(store) + " \"" + TestDataPath(dataName) + "\"";
    if (RunHelper("storeprobe.exe", arguments, &output)) {
        count.total = atoi(Field(output, "total").c_str());
        count.match = atoi(Field(output, "match").c_str());
        count.exact = atoi(Field(output, "exact").c_str());
    }
    return count;
}

bool AddToStore(const wchar_t* store, const Bytes& encoded)
{
    HCERTSTORE handle = OpenUserStore(store);
    if (handle == nullptr) return false;
    BOOL added = CertAddEncodedCertificateToStore(handle, kEncoding, encoded.data(),
                                                  static_cast<DWORD>(encoded.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertControlStore(handle, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(handle, 0);
    return added != FALSE;
}

bool RemoveFromStore(const wchar_t* store, const Bytes& encoded)
{
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(kEncoding, encoded.data(),
                                                         static_cast<DWORD>(encoded.size()));
    if (wanted == nullptr) return false;
    HCERTSTORE handle = OpenUserStore(store);
    if (handle == nullptr) {
        CertFreeCertificateContext(wanted);
        return false;
    }
    // One match at a time, starting over after each deletion.
    bool deleted = false;
    for (;;) {
        PCCERT_CONTEXT candidate = nullptr;
        while ((candidate = CertEnumCertificatesInStore(handle, candidate)) != nullptr) {
            if (CertCompareCertificate(kEncoding, wanted->pCertInfo, candidate->pCertInfo)) break;
        }
        if (candidate == nullptr || !CertDeleteCertificateFromStore(candidate)) break;
        deleted = true;
    }
    if (deleted) CertControlStore(handle, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertFreeCertificateContext(wanted);
    CertCloseStore(handle, 0);
    return true;
}

void RemoveTestCertificates()
{
    const char* names[] = {"rsa.der", "ec.der", "big.der", "twice_a.der"};
    for (const char* name : names) {
        Bytes encoded = TestData(name);
        RemoveFromStore(L"MY", encoded);
        RemoveFromStore(L"addressbook", encoded);
    }
}
