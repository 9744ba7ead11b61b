// The simulated Korrim.dll, loaded by path and driven through its seven
// called entry points the way a real caller does.
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keysim_state.h"
#include "keysim_support.h"
#include "made_by_tests.h"
#include "keyinit/token_api.h"

namespace {

const uint32_t kSlotA = 0x00000011;
const uint32_t kSlotB = 0x00000022;
const uint32_t kUnset = 0xdeadbeef;

// The library loaded from a folder, with its seven called entry points.
struct Korrim {
    HMODULE module = nullptr;
    PFN_KREstablishContext establishContext = nullptr;
    PFN_KRGetSlotList getSlotList = nullptr;
    PFN_KROpen open = nullptr;
    PFN_KRGetSlotName getSlotName = nullptr;
    PFN_VKVerifyPIN verifyPin = nullptr;
    PFN_VKInitADF initAdf = nullptr;
    PFN_KRClose close = nullptr;

    explicit Korrim(const std::wstring& dir)
    {
        module = LoadLibraryW(KeySimLibraryPath(dir).c_str());
        if (module == nullptr) return;
        establishContext = Bind<PFN_KREstablishContext>("KREstablishContext");
        getSlotList = Bind<PFN_KRGetSlotList>("KRGetSlotList");
        open = Bind<PFN_KROpen>("KROpen");
        getSlotName = Bind<PFN_KRGetSlotName>("KRGetSlotName");
        verifyPin = Bind<PFN_VKVerifyPIN>("VKVerifyPIN");
        initAdf = Bind<PFN_VKInitADF>("VKInitADF");
        close = Bind<PFN_KRClose>("KRClose");
    }
    ~Korrim()
    {
        if (module != nullptr) FreeLibrary(module);
    }
    Korrim(const Korrim&) = delete;
    Korrim& operator=(const Korrim&) = delete;

    bool Bound() const
    {
        return establishContext && getSlotList && open && getSlotName && verifyPin && initAdf &&
               close;
    }

    template <typename T>
    T Bind(const char* name)
    {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    uint32_t Context()
    {
        uint32_t context = 0;
        EXPECT_EQ(kKeySimOk, establishContext(&context));
        return context;
    }

    uint32_t OpenDevice(uint32_t slot)
    {
        uint32_t device = 0;
        EXPECT_EQ(kKeySimOk, open(Context(), slot, &device));
        return device;
    }

    uint32_t Verify(uint32_t device, const char* pin, uint32_t* retries)
    {
        uint8_t buffer[32] = {};
        memcpy(buffer, pin, strlen(pin));
        return verifyPin(device, 1, buffer, static_cast<uint32_t>(strlen(pin)), retries, 0);
    }

    uint32_t InitAdf(uint32_t device)
    {
        return initAdf(device, 0, 0, 0, 0, 0, 0, 0, 0);
    }
};

class KorrimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        KeySimReset();
        KeySimPlug(kSlotA, "Reader A 0", "tq8053", 3);
        KeySimEnrol(kSlotA, "RSA signing");
        KeySimEnrol(kSlotA, "EC exchange");
        ASSERT_TRUE(lib.Bound());
    }

    Korrim lib{KeySimDir()};
};

TEST_F(KorrimTest, FullSequenceClearsTheKeyAndJournalsEveryArgument)
{
    KeySimPlug(kSlotB, "Reader B 1", "tq8053", 5);
    KeySimEnrol(kSlotB, "Other key's certificate");

    uint32_t context = 0;
    ASSERT_EQ(kKeySimOk, lib.establishContext(&context));
    EXPECT_NE(0u, context);

    uint32_t slots[32] = {};
    uint32_t count = 32;
    ASSERT_EQ(kKeySimOk, lib.getSlotList(context, count, slots, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(kSlotA, slots[0]);
    EXPECT_EQ(kSlotB, slots[1]);

    uint32_t device = 0;
    ASSERT_EQ(kKeySimOk, lib.open(context, kSlotA, &device));
    EXPECT_NE(0u, device);

    char name[260];
    memset(name, 'x', sizeof(name));
    lib.getSlotName(context, kSlotA, name);
    EXPECT_STREQ("Reader A 0", name);

    uint8_t pin[32] = {'t', 'q', '8', '0', '5', '3'};
    uint32_t retries = kUnset;
    ASSERT_EQ(kKeySimOk, lib.verifyPin(device, 1, pin, 6, &retries, 0));
    EXPECT_EQ(3u, retries);
    ASSERT_EQ(kKeySimOk, lib.InitAdf(device));
    EXPECT_EQ(kKeySimOk, lib.close(device));

    EXPECT_TRUE(KeySimIsBlank(kSlotA));
    EXPECT_TRUE(KeySimCertLabels(kSlotA).empty());
    EXPECT_EQ("", KeySimPin(kSlotA));
    EXPECT_EQ(3, KeySimTriesLeft(kSlotA));
    // The other key is untouched.
    EXPECT_FALSE(KeySimIsBlank(kSlotB));
    EXPECT_EQ(std::vector<std::string>{"Other key's certificate"}, KeySimCertLabels(kSlotB));
    EXPECT_EQ("tq8053", KeySimPin(kSlotB));

    char ctx[16], dev[16];
    snprintf(ctx, sizeof(ctx), "0x%08x", context);
    snprintf(dev, sizeof(dev), "0x%08x", device);
    const std::vector<std::string> expected = {
        std::string("KREstablishContext status=0x00000000 context=") + ctx,
        std::string("KRGetSlotList context=") + ctx +
            " capacity=32 status=0x00000000 count=2 slots=0x00000011,0x00000022",
        std::string("KROpen context=") + ctx + " slot=0x00000011 status=0x00000000 device=" + dev,
        std::string("KRGetSlotName context=") + ctx + " slot=0x00000011 status=0x00000000 written=11",
        std::string("VKVerifyPIN device=") + dev +
            " kind=1 pin=7471383035330000000000000000000000000000000000000000000000000000"
            " length=6 reserved=0x00000000 status=0x00000000 retries=3",
        std::string("VKInitADF device=") + dev +
            " args=0x0,0x0,0x0,0x0,0x0,0x0,0x0,0x0 status=0x00000000",
        std::string("KRClose device=") + dev + " status=0x00000000 keystate_queued=0",
    };
    EXPECT_EQ(expected, KeySimJournal());
}

TEST_F(KorrimTest, WrongPinCountsDownAndLocksTheKey)
{
    uint32_t device = lib.OpenDevice(kSlotA);
    uint32_t retries = kUnset;
    EXPECT_EQ(kKeySimPinIncorrect, lib.Verify(device, "tq8054", &retries));
    EXPECT_EQ(2u, retries);
    // A correct PIN restores the tries.
    EXPECT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(3u, retries);
    // The length counts: the right characters with a longer length are wrong.
    uint8_t buffer[32] = {'t', 'q', '8', '0', '5', '3'};
    EXPECT_EQ(kKeySimPinIncorrect, lib.verifyPin(device, 1, buffer, 7, &retries, 0));
    EXPECT_EQ(kKeySimPinIncorrect, lib.Verify(device, "000000", &retries));
    EXPECT_EQ(kKeySimPinIncorrect, lib.Verify(device, "tq805", &retries));
    EXPECT_EQ(0u, retries);
    EXPECT_EQ(0, KeySimTriesLeft(kSlotA));

    // Locked: even the right PIN fails, and verification is not granted.
    retries = kUnset;
    EXPECT_EQ(kKeySimPinLocked, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(0u, retries);
    EXPECT_EQ(kKeySimNotVerified, lib.InitAdf(device));
    EXPECT_FALSE(KeySimIsBlank(kSlotA));

    const std::vector<std::string> journal = KeySimJournal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ("0xe0000006", KeySimJournalField(journal[journal.size() - 2], "status"));
    EXPECT_EQ("0", KeySimJournalField(journal[journal.size() - 2], "retries"));
}

TEST_F(KorrimTest, InitAdfNeedsAVerifiedDeviceOfThisProcess)
{
    uint32_t device = lib.OpenDevice(kSlotA);
    EXPECT_EQ(kKeySimNotVerified, lib.InitAdf(device));

    uint32_t retries = 0;
    ASSERT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    // A second device on the same key is not verified by the first one.
    uint32_t other = lib.OpenDevice(kSlotA);
    EXPECT_EQ(kKeySimNotVerified, lib.InitAdf(other));
    // A wrong PIN takes the verification away again.
    EXPECT_EQ(kKeySimPinIncorrect, lib.Verify(device, "tq8054", &retries));
    EXPECT_EQ(kKeySimNotVerified, lib.InitAdf(device));
    EXPECT_FALSE(KeySimIsBlank(kSlotA));
    EXPECT_EQ(2u, KeySimCertLabels(kSlotA).size());

    // Arguments other than eight zeros are refused.
    ASSERT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(kKeySimBadArgument, lib.initAdf(device, 0, 0, 0, 0, 0, 0, 0, 1));
    EXPECT_FALSE(KeySimIsBlank(kSlotA));
    EXPECT_EQ(kKeySimOk, lib.InitAdf(device));
    EXPECT_TRUE(KeySimIsBlank(kSlotA));

    // A closed device is no longer known.
    EXPECT_EQ(kKeySimOk, lib.close(device));
    EXPECT_EQ(kKeySimBadHandle, lib.close(device));
    EXPECT_EQ(kKeySimBadHandle, lib.Verify(device, "", &retries));
}

TEST_F(KorrimTest, BlankKeyHasNoPinUntilOneIsSet)
{
    uint32_t device = lib.OpenDevice(kSlotA);
    uint32_t retries = 0;
    ASSERT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    ASSERT_EQ(kKeySimOk, lib.InitAdf(device));
    EXPECT_EQ(kKeySimPinNotSet, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(kKeySimPinNotSet, lib.Verify(device, "", &retries));
    EXPECT_EQ(3u, retries);

    KeySimSetPin(kSlotA, "tq8053", 4);
    EXPECT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(4u, retries);
}

TEST_F(KorrimTest, OpenFailsForASlotThatIsNotConnected)
{
    uint32_t context = lib.Context();
    uint32_t device = kUnset;
    EXPECT_EQ(kKeySimNoKey, lib.open(context, kSlotB, &device));
    EXPECT_EQ(kUnset, device);
    EXPECT_EQ("-", KeySimJournalField(KeySimJournal().back(), "device"));

    // Unknown contexts are refused too.
    EXPECT_EQ(kKeySimBadHandle, lib.open(0, kSlotA, &device));
    EXPECT_EQ(kUnset, device);

    // A key pulled after opening is gone for the open device.
    device = lib.OpenDevice(kSlotA);
    KeySimUnplug(kSlotA);
    uint32_t retries = kUnset;
    EXPECT_EQ(kKeySimNoKey, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(kUnset, retries);
    EXPECT_EQ(kKeySimNoKey, lib.InitAdf(device));

    char name[16] = "untouched";
    EXPECT_EQ(kKeySimNoKey, lib.getSlotName(context, kSlotA, name));
    EXPECT_STREQ("untouched", name);
}

TEST_F(KorrimTest, SlotListNeverWritesPastCapacity)
{
    KeySimPlug(kSlotB, "Reader B");
    KeySimPlug(0x33, "Reader C");
    uint32_t context = lib.Context();

    uint32_t slots[3] = {kUnset, kUnset, kUnset};
    uint32_t count = kUnset;
    ASSERT_EQ(kKeySimOk, lib.getSlotList(context, 2, slots, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(kSlotA, slots[0]);
    EXPECT_EQ(kSlotB, slots[1]);
    EXPECT_EQ(kUnset, slots[2]);

    slots[0] = kUnset;
    ASSERT_EQ(kKeySimOk, lib.getSlotList(context, 0, slots, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(kUnset, slots[0]);
    EXPECT_EQ("capacity=0 status=0x00000000 count=0 slots=",
              KeySimJournal().back().substr(KeySimJournal().back().find("capacity=")));
}

TEST_F(KorrimTest, EntryPointFaultReturnsItsStatusWithoutDoingTheWork)
{
    KeySimFault("KROpen", "0x80100069");
    KeySimFault("VKInitADF", "5");
    uint32_t context = lib.Context();
    uint32_t device = kUnset;
    EXPECT_EQ(0x80100069u, lib.open(context, kSlotA, &device));
    EXPECT_EQ(kUnset, device);

    KeySimFault("KROpen", "off");
    device = lib.OpenDevice(kSlotA);
    uint32_t retries = 0;
    ASSERT_EQ(kKeySimOk, lib.Verify(device, "tq8053", &retries));
    EXPECT_EQ(5u, lib.InitAdf(device));
    EXPECT_FALSE(KeySimIsBlank(kSlotA));

    // Even status 0: claimed success, nothing written.
    KeySimFault("KREstablishContext", "0");
    uint32_t none = kUnset;
    EXPECT_EQ(kKeySimOk, lib.establishContext(&none));
    EXPECT_EQ(kUnset, none);
    EXPECT_EQ("KREstablishContext status=0x00000000 context=-", KeySimJournal().back());

    KeySimFault("VKVerifyPIN", "0xe0000005");
    retries = kUnset;
    EXPECT_EQ(kKeySimPinIncorrect, lib.Verify(device, "tq8054", &retries));
    EXPECT_EQ(kUnset, retries);
    EXPECT_EQ(3, KeySimTriesLeft(kSlotA));
}

TEST_F(KorrimTest, SlotListFaultReportsNoSlots)
{
    KeySimFault("slotlist", "zero");
    uint32_t slots[32] = {};
    uint32_t count = 32;
    EXPECT_EQ(kKeySimOk, lib.getSlotList(lib.Context(), count, slots, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0u, slots[0]);
}

TEST_F(KorrimTest, SlotNameFaultsWriteNothingOrLongNames)
{
    uint32_t context = lib.Context();
    std::vector<char> name(4096, 'x');

    KeySimFault("slotname", "none");
    EXPECT_EQ(kKeySimOk, lib.getSlotName(context, kSlotA, name.data()));
    EXPECT_EQ('x', name[0]);
    EXPECT_EQ("0", KeySimJournalField(KeySimJournal().back(), "written"));

    KeySimFault("slotname", "259");
    EXPECT_EQ(kKeySimOk, lib.getSlotName(context, kSlotA, name.data()));
    EXPECT_EQ(KeySimFaultSlotName(259), std::string(name.data()));
    EXPECT_EQ('x', name[260]);
    EXPECT_EQ("260", KeySimJournalField(KeySimJournal().back(), "written"));

    KeySimFault("slotname", "long");
    EXPECT_EQ(kKeySimOk, lib.getSlotName(context, kSlotA, name.data()));
    EXPECT_EQ(1000u, strlen(name.data()));
    EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZA", std::string(name.data(), 27));
    EXPECT_EQ('x', name[1001]);
    EXPECT_EQ("1001", KeySimJournalField(KeySimJournal().back(), "written"));

    // The generic fault: a failure that writes nothing.
    KeySimFault("slotname", "off");
    KeySimFault("KRGetSlotName", "0xe0000004");
    name.assign(name.size(), 'x');
    EXPECT_EQ(kKeySimNoKey, lib.getSlotName(context, kSlotA, name.data()));
    EXPECT_EQ('x', name[0]);
}

TEST_F(KorrimTest, CloseReportsAWaitingKeyStateBroadcast)
{
    const UINT message = RegisterWindowMessageA("Varkeld KSV CSP_KeyStateChangeMessage");
    ASSERT_NE(0u, message);
    // A hidden top-level window of this thread, as the tool's dialog is.
    HWND window = CreateWindowExA(0, "STATIC", "listener", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(nullptr, window);

    uint32_t device = lib.OpenDevice(kSlotA);
    EXPECT_EQ(kKeySimOk, lib.close(device));
    EXPECT_EQ("0", KeySimJournalField(KeySimJournal().back(), "keystate_queued"));

    device = lib.OpenDevice(kSlotA);
    ASSERT_TRUE(PostMessageA(HWND_BROADCAST, message, 0, 0));
    EXPECT_EQ(kKeySimOk, lib.close(device));
    EXPECT_EQ("1", KeySimJournalField(KeySimJournal().back(), "keystate_queued"));
    // The simulator only looks; the message is still there for the window.
    MSG waiting;
    EXPECT_TRUE(PeekMessageA(&waiting, nullptr, message, message, PM_REMOVE));
    EXPECT_EQ(window, waiting.hwnd);
    EXPECT_EQ(0u, waiting.wParam);
    EXPECT_EQ(0, waiting.lParam);
    DestroyWindow(window);
}

TEST_F(KorrimTest, EntryPointsNeverCalledAreNotSupported)
{
#define NAME_IF_BOUND(name, kind) (strcmp(#kind, "BOUND") == 0 ? #name : nullptr),
    const char* const names[] = {TOKEN_API_ENTRY_POINTS(NAME_IF_BOUND)};
#undef NAME_IF_BOUND
    typedef TokenStatus(WINAPI * PFN_Unsupported)();
    std::vector<std::string> expected;
    for (const char* name : names) {
        if (name == nullptr) continue;
        PFN_Unsupported entry = lib.Bind<PFN_Unsupported>(name);
        ASSERT_NE(nullptr, entry) << name;
        EXPECT_EQ(kKeySimNotSupported, entry()) << name;
        expected.push_back(std::string(name) + " status=0xe0000001");
    }
    EXPECT_EQ(60u, expected.size());
    EXPECT_EQ(expected, KeySimJournal());

    KeySimFault("VKGetProviderName", "0");
    EXPECT_EQ(kKeySimOk, lib.Bind<PFN_Unsupported>("VKGetProviderName")());
}

TEST(KorrimCopyTest, CopyUnderAPathWithACjkCharacterKeepsItsOwnState)
{
    const std::wstring dir = L"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_IDEOGRAPH_LIB);
    KeySimReset();
    KeySimPlug(kSlotA, "Original folder's key");
    ASSERT_TRUE(KeySimCopyTo(dir));
    KeySimUnplug(kSlotA);  // only in the original folder
    {
        Korrim copy(dir);
        ASSERT_TRUE(copy.Bound());
        uint32_t slots[4] = {};
        uint32_t count = 4;
        ASSERT_EQ(kKeySimOk, copy.getSlotList(copy.Context(), count, slots, &count));
        EXPECT_EQ(1u, count);
        EXPECT_EQ(kSlotA, slots[0]);
    }
    EXPECT_EQ(2u, KeySimJournal(dir).size());
    EXPECT_TRUE(KeySimJournal().empty());
    EXPECT_TRUE(KeySimIsPlugged(kSlotA, dir));
    KeySimRemoveCopy(dir);
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\" MADE_BY_TESTS_WIDE(MADE_BY_TESTS_IDEOGRAPH_FOLDER)));
}

TEST(KorrimVariantTest, VariantLacksOnlyItsExport)
{
    HMODULE module = LoadLibraryW(KeySimLibraryPath(KeySimVariantDir("VKGetProviderName")).c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_EQ(nullptr, GetProcAddress(module, "VKGetProviderName"));
    EXPECT_NE(nullptr, GetProcAddress(module, "KREstablishContext"));
    EXPECT_NE(nullptr, GetProcAddress(module, "VKGetATR"));
    FreeLibrary(module);
    // Each variant folder has the CSP placeholder for a registration.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW(KeySimCspPath(KeySimVariantDir("KRClose")).c_str()));
}

}  // namespace
