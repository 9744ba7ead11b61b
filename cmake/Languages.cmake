# The tool's languages, one row each:
#
#   language(<locale> <language id> <tag> <code page> <font>)
#
# locale: the Linux locale that makes Wine's user-interface language (LANG);
# language id: the resources' LANGUAGE (resources/VKKSVInitTool.rc);
# tag: the name of the language's expected texts (tests/app/tool_texts.h,
# E2E_LANGUAGE); code page: the locale's ANSI code page; font: the face of
# its dialogs, when it needs a stand-in on Linux (scripts/lib/wine.sh maps
# each name, separated by "/", to the CJK font), or "-".
#
# fallback(<locale> <language id> <tag> <code page>) names a language the
# tool lacks: the tests run it too and expect the English resources.
#
# From here: the tests of each language (tests/app, tests/resources,
# tests/keyinit), resview's list (languages.h), the locales setup.sh makes,
# the screenshots and the font stand-ins (scripts/lib/languages.sh reads the
# rows). Adding a language: the resource script, a row here, its texts in
# tests/app/tool_texts.h, and the documents' tables.
language(en_US 0x0409 en    1252 -)
language(zh_CN 0x0804 zh_CN 936  宋体/SimSun)
language(zh_TW 0x0404 zh_TW 950  宋体/SimSun)
fallback(de_DE 0x0409 en    1252)
