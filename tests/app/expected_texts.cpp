#include "expected_texts.h"

#include <cstdlib>
#include <cstring>

#include "common/function_lookup.h"

namespace {

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

const char* UiLanguageName()
{
    typedef LANGID(WINAPI * GetLanguage)();
    GetLanguage get = LookUpOptional<GetLanguage>(GetModuleHandleA("kernel32.dll"), "GetUserDefaultUILanguage");
    LANGID language = get != NULL ? get() : GetUserDefaultLangID();
    return language == 0x0804 ? "zh_CN" : language == 0x0404 ? "zh_TW" : "en";
}

}  // namespace

const Texts& ExpectedTexts()
{
    const char* language = getenv("E2E_LANGUAGE");
    if (language == NULL || *language == '\0') language = UiLanguageName();
    for (const Texts& texts : kTexts) {
        if (strcmp(language, texts.language) == 0) return texts;
    }
    return kTexts[0];
}
