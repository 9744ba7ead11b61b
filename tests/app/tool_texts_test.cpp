// Every text of the tool in the user-interface language the test runs under
// (LANG, set per test by the build): the confirming state, both outcomes,
// and the About box, which exists in Chinese (PRC) only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "expected_texts.h"
#include "keysim_support.h"
#include "resource.h"
#include "tool_driver.h"
#include "tool_texts.h"

namespace {


std::wstring ToolPath()
{
    wchar_t path[MAX_PATH * 2] = {};  // any folder name: UTF-16
    DWORD length = GetEnvironmentVariableW(L"INITTOOL_EXE", path, ARRAYSIZE(path));
    return length < ARRAYSIZE(path) ? path : L"";
}

void ExpectButtons(const DialogState& state, const LanguageTexts& texts)
{
    EXPECT_EQ(state.yesText, texts.yes);
    EXPECT_EQ(state.noText, texts.no);
    EXPECT_EQ(state.okText, texts.okButton);
}

class ToolTexts : public ::testing::Test {
protected:
    void SetUp() override { KeySimReset(); }
    void TearDown() override
    {
        UnregisterCsp();
        KeySimReset();
    }
};

TEST_F(ToolTexts, ConfirmingStateAndAboutBox)
{
    const LanguageTexts& texts = ExpectedTexts();
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog()) << tool.Failure();
    DialogState state = tool.ReadState();
    EXPECT_EQ(state.caption, texts.caption);
    EXPECT_EQ(state.message, texts.warning);
    ExpectButtons(state, texts);

    AboutState about;
    ASSERT_TRUE(tool.ReadAboutBox(about));
    EXPECT_EQ(about.caption, kAboutCaption);
    EXPECT_NE(about.texts.find(std::wstring(kAboutVersionLine) + L"\n"), std::wstring::npos);
    EXPECT_NE(about.texts.find(std::wstring(kAboutOkButton) + L"\n"), std::wstring::npos);

    // The About box leaves the dialog as it was.
    EXPECT_EQ(tool.ReadState().message, texts.warning);
    tool.Press(IDCANCEL);
    EXPECT_TRUE(tool.WaitForExit());
}

TEST_F(ToolTexts, SuccessOutcome)
{
    const LanguageTexts& texts = ExpectedTexts();
    ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
    KeySimPlug(0x21, "Reader A");
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog()) << tool.Failure();
    tool.Press(IDC_YES);
    ASSERT_TRUE(tool.WaitForFinished());
    DialogState state = tool.ReadState();
    EXPECT_EQ(state.caption, texts.caption);
    EXPECT_EQ(state.message, texts.ok);
    ExpectButtons(state, texts);
    tool.Press(IDOK);
    EXPECT_TRUE(tool.WaitForExit());
}

TEST_F(ToolTexts, FailureOutcome)
{
    const LanguageTexts& texts = ExpectedTexts();
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog()) << tool.Failure();
    tool.Press(IDC_YES);
    ASSERT_TRUE(tool.WaitForFinished());
    EXPECT_EQ(tool.ReadState().message, texts.failed);
    tool.Press(IDOK);
    EXPECT_TRUE(tool.WaitForExit());
}

}  // namespace
