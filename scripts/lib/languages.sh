# The table of languages, cmake/Languages.cmake, for the scripts: one
# language(<locale> <language id> <tag> <code page> <font>) row a language of
# the tool, one fallback(<locale> ...) row a language it lacks.
languages_table="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/cmake/Languages.cmake"

# The tool's locales, one a line.
tool_locales() {
    sed -n 's/^language(\([^ )]*\).*/\1/p' "$languages_table"
}

# The tool's locales and the fallback's: every locale the tests run under.
test_locales() {
    sed -n 's/^\(language\|fallback\)(\([^ )]*\).*/\2/p' "$languages_table"
}

# The dialog fonts that need a stand-in on Linux, one name a line.
dialog_fonts() {
    sed -n 's/^language([^ ]* [^ ]* [^ ]* [^ ]* *\([^ )]*\)).*/\1/p' "$languages_table" |
        tr '/' '\n' | grep -vx -- '-' | sort -u
}
