// keysim.exe, the control program, run as a separate process on the
// simulator's folder and on the registry of the Wine prefix.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "keysim_support.h"
#include "made_by_tests.h"

namespace {

// Runs keysim.exe with the arguments; returns its exit code, or -1.
int RunKeysim(const std::wstring& arguments, std::string* output = nullptr)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    std::wstring command = L"\"" + KeySimDir() + L"\\keysim.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string text;
    char buffer[512];
    DWORD read = 0;
    while (started && ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    CloseHandle(readEnd);
    if (!started) return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (output != nullptr) *output = text;
    return static_cast<int>(code);
}

std::wstring ReadImagePath()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_KEY), 0,
                      KEY_READ, &key) != ERROR_SUCCESS) {
        return L"<no key>";
    }
    wchar_t value[512] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    LONG result = RegQueryValueExW(key, L"Image Path", nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return L"<no value>";
    return type == REG_SZ ? std::wstring(value) : L"<not REG_SZ>";
}

TEST(KeysimControlTest, SetsUpKeysAndFaultsThatTheLibraryReads)
{
    KeySimPlug(0x99, "left over");
    ASSERT_EQ(0, RunKeysim(L"reset"));
    EXPECT_FALSE(KeySimIsPlugged(0x99));

    ASSERT_EQ(0, RunKeysim(L"plug 0x11 \"KSV BLE Reader 0\""));
    ASSERT_EQ(0, RunKeysim(L"plug 34 \"Second reader\" 1234 3"));
    ASSERT_EQ(0, RunKeysim(L"enrol 0x11 \"RSA signing\""));
    ASSERT_EQ(0, RunKeysim(L"pin 34 5678 2"));
    ASSERT_EQ(0, RunKeysim(L"fault KROpen 0x80100069"));
    EXPECT_EQ("tq8053", KeySimPin(0x11));
    EXPECT_EQ(5, KeySimTriesLeft(0x11));
    EXPECT_EQ(std::vector<std::string>{"RSA signing"}, KeySimCertLabels(0x11));
    EXPECT_EQ("5678", KeySimPin(0x22));
    EXPECT_EQ(2, KeySimTriesLeft(0x22));

    std::string shown;
    ASSERT_EQ(0, RunKeysim(L"show", &shown));
    EXPECT_NE(std::string::npos, shown.find("KSV BLE Reader 0")) << shown;
    EXPECT_NE(std::string::npos, shown.find("RSA signing")) << shown;
    EXPECT_NE(std::string::npos, shown.find("KROpen=0x80100069")) << shown;

    ASSERT_EQ(0, RunKeysim(L"unplug 0x11"));
    EXPECT_FALSE(KeySimIsPlugged(0x11));
    EXPECT_TRUE(KeySimIsPlugged(0x22));
}

TEST(KeysimControlTest, RefusesWhatTheStateCannotHold)
{
    KeySimReset();
    EXPECT_NE(0, RunKeysim(L"fault KRNoSuchCall 1"));
    EXPECT_NE(0, RunKeysim(L"fault slotname 4000"));
    EXPECT_NE(0, RunKeysim(L"fault slotlist 1"));
    EXPECT_NE(0, RunKeysim(L"enrol 0x11 label"));  // no key there
    EXPECT_NE(0, RunKeysim(L"plug x11 reader"));
    EXPECT_NE(0, RunKeysim(L"frobnicate"));
    EXPECT_FALSE(KeySimIsPlugged(0x11));
}

TEST(KeysimControlTest, RegistersAndUnregistersTheCsp)
{
    ASSERT_EQ(0, RunKeysim(L"register"));
    EXPECT_EQ(KeySimCspPath(), ReadImagePath());
    ASSERT_EQ(0, RunKeysim(L"register \"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_MAKER_FOLDER) L"\""));
    EXPECT_EQ(L"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_MAKER_FOLDER "\\" MADE_BY_TESTS_CSP_LIBRARY), ReadImagePath());
    ASSERT_EQ(0, RunKeysim(L"unregister"));
    EXPECT_EQ(L"<no key>", ReadImagePath());
}

TEST(KeysimControlTest, SupportRegistersRawAndMissingValues)
{
    const char bytes[3] = {'a', '\\', 'b'};
    ASSERT_TRUE(RegisterCspRaw(bytes, sizeof(bytes), REG_BINARY));
    EXPECT_EQ(L"<not REG_SZ>", ReadImagePath());
    ASSERT_TRUE(RegisterCspWithoutImagePath());
    EXPECT_EQ(L"<no value>", ReadImagePath());
    ASSERT_TRUE(RegisterCsp(L"C:\\x\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_LIBRARY)));
    EXPECT_EQ(L"C:\\x\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_CSP_LIBRARY), ReadImagePath());
    UnregisterCsp();
    EXPECT_EQ(L"<no key>", ReadImagePath());
}

}  // namespace
