// Every text of the tool in the user-interface language the test runs under
// (LANG, set per test by the build): the confirming state, both outcomes,
// and the About box, which exists in Chinese (PRC) only.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "keysim_support.h"
#include "resource.h"
#include "tool_driver.h"

namespace {

struct Texts {
    const char* language;
    const wchar_t* caption;
    const wchar_t* warning;
    const wchar_t* ok;
    const wchar_t* failed;
    const wchar_t* yes;
    const wchar_t* no;
    const wchar_t* okButton;
};

const Texts kTexts[] = {
    {"en", L"KSV BLE USBKey Initialization Tool(Varkeld)",
     L"After initialization, all data inside USBKey, including the certificate and PIN, will be "
     L"cleared. Do you want to continue?",
     L"KSV BLE USBKey initialization successful.", L"KSV BLE USBKey initialization failed!",
     L"Yes", L"No", L"OK"},
    {"zh_CN", L"KSV蓝牙网盾初始化工具（Varkeld）",
     L"初始化后，蓝牙网盾内的所有数据，包括证书以及密码都将被清除，是否继续？",
     L"KSV蓝牙网盾初始化成功。", L"KSV蓝牙网盾初始化失败！", L"是", L"否", L"确定"},
    {"zh_TW", L"KSV藍牙網盾初始化工具（Varkeld）",
     L"初始化後，藍牙網盾內的所有數據，包括證書以及密碼都將被清除，是否繼續？",
     L"KSV藍牙網盾初始化成功。", L"KSV藍牙網盾初始化失敗！", L"是", L"否", L"確定"},
};

// The language the build runs this test under; a language the tool lacks
// falls back to English.
const Texts& Expected()
{
    const char* language = getenv("E2E_LANGUAGE");
    for (const Texts& texts : kTexts) {
        if (language != NULL && strcmp(language, texts.language) == 0) {
            return texts;
        }
    }
    return kTexts[0];
}

std::wstring ToolPath()
{
    wchar_t path[MAX_PATH * 2] = {};  // any folder name: UTF-16
    DWORD length = GetEnvironmentVariableW(L"INITTOOL_EXE", path, ARRAYSIZE(path));
    return length < ARRAYSIZE(path) ? path : L"";
}

void ExpectButtons(const DialogState& state, const Texts& texts)
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
    const Texts& texts = Expected();
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog());
    DialogState state = tool.ReadState();
    EXPECT_EQ(state.caption, texts.caption);
    EXPECT_EQ(state.message, texts.warning);
    ExpectButtons(state, texts);

    AboutState about;
    ASSERT_TRUE(tool.ReadAboutBox(about));
    EXPECT_EQ(about.caption, L"关于 VKKSVInitTool");
    EXPECT_NE(about.texts.find(L"VKKSVInitTool 1.0 版\n"), std::wstring::npos);
    EXPECT_NE(about.texts.find(L"确定\n"), std::wstring::npos);

    // The About box leaves the dialog as it was.
    EXPECT_EQ(tool.ReadState().message, texts.warning);
    tool.Press(IDCANCEL);
    EXPECT_TRUE(tool.WaitForExit());
}

TEST_F(ToolTexts, SuccessOutcome)
{
    const Texts& texts = Expected();
    ASSERT_TRUE(RegisterCsp(KeySimDir() + L"\\VarkeldKsvCsp.dll"));
    KeySimPlug(0x21, "Reader A");
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog());
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
    const Texts& texts = Expected();
    ToolProcess tool;
    ASSERT_TRUE(tool.Launch(ToolPath()));
    ASSERT_TRUE(tool.WaitForDialog());
    tool.Press(IDC_YES);
    ASSERT_TRUE(tool.WaitForFinished());
    EXPECT_EQ(tool.ReadState().message, texts.failed);
    tool.Press(IDOK);
    EXPECT_TRUE(tool.WaitForExit());
}

}  // namespace
