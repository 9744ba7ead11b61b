// The initialisation sequence against the simulated key, checked through the
// simulator's journal of every call and its arguments.
#include <windows.h>
#include <mbctype.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keyinit/key_session.h"
#include "keyinit/token_library.h"
#include "keysim_support.h"

namespace {

const int s_codePage = _setmbcp(_MB_CP_ANSI);

const uint32_t kFirst = 0x11;
const uint32_t kSecond = 0x22;

std::vector<std::string> Calls()
{
    return KeySimJournalCalls();
}

std::string Line(const char* call)
{
    for (const std::string& line : KeySimJournal()) {
        if (line.compare(0, strlen(call) + 1, std::string(call) + " ") == 0) {
            return line;
        }
    }
    return std::string();
}

int Count(const char* call)
{
    int count = 0;
    for (const std::string& name : Calls()) {
        count += name == call;
    }
    return count;
}

class KeySessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(s_codePage, 0);
        KeySimReset();
        ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
    }
    void TearDown() override
    {
        UnloadTokenLibrary();
        UnregisterCsp();
        KeySimReset();
    }

    // One run of the sequence and its closing step, as the tool makes it.
    bool InitializeAndClose(KeySession& session)
    {
        bool result = InitializeFirstKey(session);
        CloseKeySession(session);
        EXPECT_FALSE(IsModuleLoaded("Korrim.dll")) << "library left loaded";
        EXPECT_EQ(session.device, 0u);
        return result;
    }
};

TEST_F(KeySessionTest, InitialisesOnlyTheFirstOfTwoKeys)
{
    KeySimPlug(kFirst, "Reader A");
    KeySimPlug(kSecond, "Reader B");
    KeySimEnrol(kFirst, "first-cert");
    KeySimEnrol(kSecond, "second-cert");

    KeySession session;
    EXPECT_TRUE(InitializeAndClose(session));
    EXPECT_STREQ(session.slotName, "Reader A");
    EXPECT_TRUE(session.slotNameFits);

    std::vector<std::string> expected = {"KREstablishContext", "KRGetSlotList", "KROpen",
                                         "KRGetSlotName",      "VKVerifyPIN",   "VKInitADF",
                                         "KRClose"};
    EXPECT_EQ(Calls(), expected);  // and never KRReleaseContext
    EXPECT_EQ(KeySimJournalField(Line("KROpen"), "slot"), "0x00000011");
    EXPECT_EQ(KeySimJournalField(Line("KRGetSlotName"), "slot"), "0x00000011");
    EXPECT_EQ(KeySimJournalField(Line("KRGetSlotList"), "capacity"), "32");
    EXPECT_TRUE(KeySimIsBlank(kFirst));
    EXPECT_FALSE(KeySimIsBlank(kSecond));
    EXPECT_EQ(KeySimCertLabels(kSecond), std::vector<std::string>{"second-cert"});
}

TEST_F(KeySessionTest, PassesExactlyTheBuiltInPinAndZeroArguments)
{
    KeySimPlug(kFirst, "Reader A");
    KeySession session;
    EXPECT_TRUE(InitializeAndClose(session));

    std::string verify = Line("VKVerifyPIN");
    EXPECT_EQ(KeySimJournalField(verify, "pin"),
              "747138303533" + std::string(52, '0'));  // "tq8053", 26 zero bytes
    EXPECT_EQ(KeySimJournalField(verify, "kind"), "1");
    EXPECT_EQ(KeySimJournalField(verify, "length"), "6");
    EXPECT_EQ(KeySimJournalField(verify, "reserved"), "0x00000000");
    EXPECT_EQ(KeySimJournalField(verify, "device"), KeySimJournalField(Line("KROpen"), "device"));
    EXPECT_EQ(KeySimJournalField(Line("VKInitADF"), "args"),
              "0x0,0x0,0x0,0x0,0x0,0x0,0x0,0x0");
    EXPECT_EQ(KeySimJournalField(Line("KRClose"), "device"),
              KeySimJournalField(Line("KROpen"), "device"));
}

// A library whose entry points leave their arguments on the stack for the
// caller to remove (caller pops) works as well as one whose entry points
// remove them: the session around the calls stays intact.
TEST_F(KeySessionTest, LibraryOfTheOtherCallingConventionInitialisesTheKey)
{
    const std::wstring dir = KeySimCdeclDir();
    KeySimReset(dir);
    KeySimPlug(kFirst, "Reader A", "tq8053", 5, dir);
    KeySimPlug(kSecond, "Reader B", "tq8053", 5, dir);
    ASSERT_TRUE(RegisterCsp(KeySimCspPath(dir)));

    KeySession session;
    EXPECT_TRUE(InitializeAndClose(session));
    EXPECT_STREQ(session.slotName, "Reader A");
    EXPECT_EQ(session.slotCount, 2u);
    EXPECT_EQ(session.pin[0], 't');
    EXPECT_TRUE(KeySimIsBlank(kFirst, dir));
    EXPECT_FALSE(KeySimIsBlank(kSecond, dir));
    std::vector<std::string> expected = {"KREstablishContext", "KRGetSlotList", "KROpen",
                                         "KRGetSlotName",      "VKVerifyPIN",   "VKInitADF",
                                         "KRClose"};
    EXPECT_EQ(KeySimJournalCalls(dir), expected);
    KeySimReset(dir);
}

TEST_F(KeySessionTest, NoKeyOrEmptySlotListEndsBeforeOpening)
{
    {
        SCOPED_TRACE("no key connected");
        KeySession session;
        EXPECT_FALSE(InitializeAndClose(session));
        EXPECT_EQ(Count("KROpen"), 0);
        EXPECT_EQ(Count("KRClose"), 0);
    }
    {
        SCOPED_TRACE("slot list succeeds with 0 slots");
        KeySimReset();
        KeySimPlug(kFirst, "Reader A");
        KeySimFault("slotlist", "zero");
        KeySession session;
        EXPECT_FALSE(InitializeAndClose(session));
        EXPECT_EQ(Count("KRGetSlotList"), 1);
        EXPECT_EQ(Count("KROpen"), 0);
        EXPECT_FALSE(KeySimIsBlank(kFirst));
    }
}

TEST_F(KeySessionTest, FailedStepsStopTheSequence)
{
    struct Case {
        const char* entry;
        const char* lastCall;
        bool closed;
    } cases[] = {
        {"KREstablishContext", "KREstablishContext", false},
        {"KRGetSlotList", "KRGetSlotList", false},
        {"KROpen", "KROpen", false},
        {"VKInitADF", "VKInitADF", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        KeySimReset();
        KeySimPlug(kFirst, "Reader A");
        KeySimFault(c.entry, "0x0a000002");
        KeySession session;
        EXPECT_FALSE(InitializeAndClose(session));
        std::vector<std::string> calls = Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), c.closed ? "KRClose" : c.lastCall);
        EXPECT_EQ(Count("KRClose"), c.closed ? 1 : 0);
        EXPECT_FALSE(KeySimIsBlank(kFirst));
    }
}

TEST_F(KeySessionTest, RejectedPinIsTriedOnceAndNeverInitialises)
{
    KeySimPlug(kFirst, "Reader A", "999999", 5);
    KeySession session;
    EXPECT_FALSE(InitializeAndClose(session));
    EXPECT_EQ(Count("VKVerifyPIN"), 1);
    EXPECT_EQ(Count("VKInitADF"), 0);
    EXPECT_EQ(Count("KRClose"), 1);
    EXPECT_EQ(KeySimTriesLeft(kFirst), 4);
    EXPECT_FALSE(KeySimIsBlank(kFirst));
}

TEST_F(KeySessionTest, ReaderNamesOfEveryLength)
{
    {
        SCOPED_TRACE("name not written");
        KeySimPlug(kFirst, "Reader A");
        KeySimFault("slotname", "none");
        KeySession session;
        EXPECT_TRUE(InitializeAndClose(session));
        EXPECT_STREQ(session.slotName, "");
        EXPECT_TRUE(session.slotNameFits);
        EXPECT_TRUE(KeySimIsBlank(kFirst));
    }
    {
        SCOPED_TRACE("259 characters, the most that fits");
        KeySimReset();
        KeySimPlug(kFirst, "Reader A");
        KeySimFault("slotname", "259");
        KeySession session;
        EXPECT_TRUE(InitializeAndClose(session));
        EXPECT_EQ(strlen(session.slotName), 259u);
        EXPECT_TRUE(session.slotNameFits);
    }
    {
        SCOPED_TRACE("longer than the buffer");
        KeySimReset();
        KeySimPlug(kFirst, "Reader A");
        KeySimFault("slotname", "long");
        KeySession session;
        EXPECT_TRUE(InitializeAndClose(session));
        EXPECT_STREQ(session.slotName, "");
        EXPECT_FALSE(session.slotNameFits);
        EXPECT_EQ(session.pin[0], 't') << "the session around the name was overwritten";
    }
}

}  // namespace
