#!/usr/bin/env bash
# Writes the test pack: one zip that runs the suite's test programs on a
# Windows PC, without Wine, ctest or a shell (see docs/test-pack.md). It
# holds the tool, the key simulator, the test programs, their data and the
# runner RunTests.exe, with RunTests.wsb and RunTests-sandbox.cmd to run it in
# Windows Sandbox, in one folder:
#
#   dist/VKKSVInitTool-tests-<version>-<commit>.zip
#
#   scripts/pack-tests.sh [--build DIR] [--no-build] [--tool EXE] [--runner EXE]
#                         [--commit C] [--dist DIR]
#
# --build: the build folder (default: build/ in the source tree), built
#     first unless --no-build.
# --tool, --runner: the tool and RunTests.exe to pack (default: the
#     build's; a release gives its own, signed when it is).
# --commit: the commit named in the zip's name (default: the checkout's).
# --dist: where the zip goes (default: dist/ in the source tree).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/progress.sh"
. "$src/scripts/lib/release.sh"

build="$src/build" dist="$src/dist" tool= runner= commit= do_build=1
while [ $# -gt 0 ]; do
    case $1 in
        --no-build) do_build=0; shift; continue ;;
        --build) build=$2 ;;
        --tool) tool=$2 ;;
        --runner) runner=$2 ;;
        --commit) commit=$2 ;;
        --dist) dist=$2 ;;
        *) fail "unknown option $1 (see the top of $0)" ;;
    esac
    [ $# -ge 2 ] || fail "$1 needs a value"
    shift 2
done
build=$(realpath -m "$build")
dist=$(realpath -m "$dist")
if [ -z "$commit" ]; then
    commit=$(git -C "$src" rev-parse --short=12 HEAD 2>/dev/null) ||
        fail "$src is not a git clone; give --commit"
    [ -z "$(git -C "$src" status --porcelain)" ] ||
        phase "note: uncommitted changes in $src are in this pack's programs"
fi
commit=${commit:0:12}
version=$(sed -n 's/^project([A-Za-z0-9]* VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
name="VKKSVInitTool-tests-$version-$commit"

if [ $do_build = 1 ]; then
    "$src/scripts/setup.sh"
    phase "building in $build"
    mkdir -p "$build"
    { cmake --preset windows-i686 -S "$src" -B "$build" && cmake --build "$build" -j "$(nproc)"; } \
        >"$build/build.log" || fail "the build failed (its output: $build/build.log)"
fi
tool=${tool:-$build/app/VKKSVInitTool.exe}
runner=${runner:-$build/pack/RunTests.exe}

work=$(mktemp -d "${TMPDIR:-/tmp}/vkksv-pack.XXXXXX")
trap 'rm -rf "$work"' EXIT
pack="$work/$name"
mkdir -p "$pack/tests" "$pack/data" "$pack/simulator"
cp "$runner" "$pack/RunTests.exe"
cp "$src/pack/README.txt" "$src/pack/RunTests.wsb" "$pack/"
# cmd.exe reads a batch file by CRLF lines.
sed 's/$/\r/' "$src/pack/RunTests-sandbox.cmd" >"$pack/RunTests-sandbox.cmd"
# The folder RunTests.wsb maps writable, for the report and results (with a
# file, as the zip keeps no empty folder).
mkdir -p "$pack/sandbox-results"
printf 'RunTests.wsb puts the report and results\\ of a run in Windows Sandbox here.\r\n' \
    >"$pack/sandbox-results/README.txt"
printf 'VKKSVInitTool test pack %s, commit %s\r\n' "$version" "$commit" >"$pack/PACK.txt"
cp "$tool" "$pack/VKKSVInitTool.exe"
# The simulator without its state (each copy starts with no key).
(cd "$build/simulator" &&
    find . \( -name '*.exe' -o -name '*.dll' \) -exec cp --parents {} "$pack/simulator/" \;)
# The test programs and what they plant, as the build lists them.
while read -r file; do
    cp "$file" "$pack/tests/"
done <"$build/pack/pack_files.txt"
cp "$src"/tests/data/*.der "$src"/tests/data/*.cer "$src"/tests/data/*.bin "$pack/data/"

# The same files give the same zip: fixed times, sorted names, no extra fields.
find "$pack" -exec touch -h -d '2000-01-01 00:00:00 UTC' {} +
mkdir -p "$dist"
rm -f "$dist/$name.zip"
(cd "$work" && find "$name" | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$dist/$name.zip")
phase "wrote $dist/$name.zip"
