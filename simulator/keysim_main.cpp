// keysim.exe: sets up and shows the simulated keys in keysim.ini, and
// registers the simulated CSP. Usage in simulator/README.md and below.
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "keysim_state.h"

namespace {

const char kUsage[] =
    "usage: keysim [--dir <folder>] <command> [arguments]\n"
    "  register [folder]           CSP \"Image Path\" = <folder>\\VarkeldKsvCsp.dll\n"
    "  unregister                  remove the CSP registration\n"
    "  reset                       no keys, no faults, empty journal\n"
    "  plug <slot> <reader> [pin] [tries]   connect a fresh key (tq8053, 5)\n"
    "  unplug <slot>               disconnect a key\n"
    "  pin <slot> <pin> [tries]    set a key's PIN and tries (5)\n"
    "  enrol <slot> <label>        put a certificate on a key\n"
    "  fault <entry|slotlist|slotname|messageloop> <value|off>\n"
    "  show                        print the keys and faults\n"
    "  journal                     print the journal\n"
    "The state is keysim.ini in keysim.exe's folder unless --dir is given.\n";

const char kDefaultPin[] = "tq8053";
const uint32_t kDefaultTries = 5;

// Command-line text in the ANSI code page, as the token library hands names
// to the tool.
std::string ToAnsi(const std::wstring& text)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string ansi(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &ansi[0], size, nullptr, nullptr);
    ansi.resize(static_cast<size_t>(size - 1));
    return ansi;
}

int Fail(const char* what)
{
    fprintf(stderr, "keysim: %s\n", what);
    return 1;
}

int Usage()
{
    fputs(kUsage, stderr);
    return 2;
}

bool ParseSlot(const std::wstring& text, uint32_t* slot)
{
    return ParseKeySimNumber(ToAnsi(text), slot);
}

// Loads the state, applies one edit, saves it.
template <typename Edit>
int EditState(const std::wstring& dir, Edit edit)
{
    KeySimState state;
    if (!LoadKeySimState(dir, &state)) return Fail("cannot read keysim.ini");
    if (!edit(&state)) return Fail("invalid value, unknown slot or unknown fault");
    if (!SaveKeySimState(dir, state)) return Fail("cannot write keysim.ini");
    return 0;
}

void PrintQuoted(const char* label, const std::string& text)
{
    printf("%s\"%s\"", label, text.c_str());
}

int Show(const std::wstring& dir)
{
    KeySimState state;
    if (!LoadKeySimState(dir, &state)) return Fail("cannot read keysim.ini");
    printf("state: %s\\keysim.ini\n", ToAnsi(dir).c_str());
    printf("keys connected: %u\n", static_cast<unsigned>(state.keys.size()));
    for (size_t i = 0; i < state.keys.size(); ++i) {
        const KeySimKey& key = state.keys[i];
        printf("key %u: slot 0x%08x, ", static_cast<unsigned>(i + 1), key.slot);
        PrintQuoted("reader ", key.reader);
        printf("\n  PIN ");
        if (key.pin.empty()) {
            printf("(none)");
        } else {
            PrintQuoted("", key.pin);
        }
        printf(", %u of %u tries left%s\n", key.tries, key.maxTries,
               key.tries == 0 ? " (locked)" : "");
        printf("  %s, %u certificate(s)\n", key.blank ? "blank (initialised)" : "not blank",
               static_cast<unsigned>(key.certs.size()));
        for (const std::string& label : key.certs) {
            PrintQuoted("    ", label);
            printf("\n");
        }
    }
    printf("faults:%s\n", state.faults.empty() ? " none" : "");
    for (const auto& fault : state.faults) {
        printf("  %s=%s\n", fault.first.c_str(), fault.second.c_str());
    }
    return 0;
}

int PrintJournal(const std::wstring& dir)
{
    std::string text;
    if (!ReadWholeFile(KeySimPath(dir, kKeySimJournalFile), &text)) {
        return Fail("cannot read journal");
    }
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int Reset(const std::wstring& dir)
{
    if (!SaveKeySimState(dir, KeySimState())) return Fail("cannot write keysim.ini");
    if (!WriteWholeFile(KeySimPath(dir, kKeySimJournalFile), std::string())) {
        return Fail("cannot empty the journal");
    }
    return 0;
}

int Run(const std::vector<std::wstring>& args)
{
    std::wstring dir = ModuleFolder(nullptr);
    size_t next = 1;
    if (args.size() > next + 1 && args[next] == L"--dir") {
        dir = args[next + 1];
        next += 2;
    }
    if (args.size() <= next) return Usage();
    const std::wstring& command = args[next];
    const std::vector<std::wstring> rest(args.begin() + next + 1, args.end());
    const size_t count = rest.size();
    uint32_t slot = 0;
    uint32_t tries = kDefaultTries;

    if (command == L"register" && count <= 1) {
        std::wstring image = KeySimPath(count == 1 ? rest[0] : dir, L"VarkeldKsvCsp.dll");
        return KeySimRegisterCsp(image) ? 0 : Fail("cannot write the CSP registration");
    }
    if (command == L"unregister" && count == 0) {
        return KeySimUnregisterCsp() ? 0 : Fail("cannot remove the CSP registration");
    }
    if (command == L"reset" && count == 0) return Reset(dir);
    if (command == L"show" && count == 0) return Show(dir);
    if (command == L"journal" && count == 0) return PrintJournal(dir);
    if (command == L"plug" && count >= 2 && count <= 4) {
        if (!ParseSlot(rest[0], &slot)) return Fail("bad slot identifier");
        if (count == 4 && !ParseKeySimNumber(ToAnsi(rest[3]), &tries)) return Fail("bad tries");
        std::string reader = ToAnsi(rest[1]);
        std::string pin = count >= 3 ? ToAnsi(rest[2]) : kDefaultPin;
        return EditState(
            dir, [&](KeySimState* s) { return PlugKeySimKey(s, slot, reader, pin, tries); });
    }
    if (command == L"unplug" && count == 1) {
        if (!ParseSlot(rest[0], &slot)) return Fail("bad slot identifier");
        return EditState(dir, [&](KeySimState* s) { return UnplugKeySimKey(s, slot); });
    }
    if (command == L"pin" && (count == 2 || count == 3)) {
        if (!ParseSlot(rest[0], &slot)) return Fail("bad slot identifier");
        if (count == 3 && !ParseKeySimNumber(ToAnsi(rest[2]), &tries)) return Fail("bad tries");
        std::string pin = ToAnsi(rest[1]);
        return EditState(dir, [&](KeySimState* s) { return SetKeySimPin(s, slot, pin, tries); });
    }
    if (command == L"enrol" && count == 2) {
        if (!ParseSlot(rest[0], &slot)) return Fail("bad slot identifier");
        std::string label = ToAnsi(rest[1]);
        return EditState(dir, [&](KeySimState* s) { return EnrolKeySimCert(s, slot, label); });
    }
    if (command == L"fault" && count == 2) {
        std::string name = ToAnsi(rest[0]);
        std::string value = ToAnsi(rest[1]);
        if (!IsKeySimFaultValid(name, value)) return Fail("unknown fault or value");
        return EditState(dir, [&](KeySimState* s) {
            SetKeySimFault(s, name, value);
            return true;
        });
    }
    return Usage();
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return Fail("cannot read the command line");
    std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);
    return Run(args);
}
