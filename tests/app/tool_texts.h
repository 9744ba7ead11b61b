// The texts the tool shows, per language of cmake/Languages.cmake (by its
// tag, which the build passes to a test as E2E_LANGUAGE): what the tests
// expect to read on the screen. A language the tool lacks shows English.
#pragma once

#include <string.h>

struct LanguageTexts {
    const char* tag;
    const wchar_t* caption;
    const wchar_t* warning;
    const wchar_t* ok;
    const wchar_t* failed;
    const wchar_t* yes;
    const wchar_t* no;
    const wchar_t* okButton;
    const wchar_t* aboutItem;  // the system menu's About item
};

// English first: the texts of any language the tool lacks.
const LanguageTexts kLanguageTexts[] = {
    {"en", L"KSV BLE USBKey Initialization Tool(Varkeld)",
     L"After initialization, all data inside USBKey, including the certificate and PIN, will be "
     L"cleared. Do you want to continue?",
     L"KSV BLE USBKey initialization successful.", L"KSV BLE USBKey initialization failed!",
     L"Yes", L"No", L"OK", L"About VKKSVInitTool(&A)..."},
    {"zh_CN", L"KSV蓝牙网盾初始化工具（Varkeld）",
     L"初始化后，蓝牙网盾内的所有数据，包括证书以及密码都将被清除，是否继续？",
     L"KSV蓝牙网盾初始化成功。", L"KSV蓝牙网盾初始化失败！", L"是", L"否", L"确定",
     L"关于 VKKSVInitTool(&A)..."},
    {"zh_TW", L"KSV藍牙網盾初始化工具（Varkeld）",
     L"初始化後，藍牙網盾內的所有數據，包括證書以及密碼都將被清除，是否繼續？",
     L"KSV藍牙網盾初始化成功。", L"KSV藍牙網盾初始化失敗！", L"是", L"否", L"確定",
     L"關於 VKKSVInitTool(&A)..."},
};

// The About box, in Chinese (PRC) in every language.
const wchar_t kAboutCaption[] = L"关于 VKKSVInitTool";
const wchar_t kAboutVersionLine[] = L"VKKSVInitTool 1.0 版";
const wchar_t kAboutOkButton[] = L"确定";

// The texts of the language with that tag; English for any other or none.
inline const LanguageTexts& TextsFor(const char* tag)
{
    for (const LanguageTexts& texts : kLanguageTexts) {
        if (tag != NULL && strcmp(tag, texts.tag) == 0) return texts;
    }
    return kLanguageTexts[0];
}
