#!/usr/bin/env bash
# Builds the shipped tool for a release and checks that the build is
# reproducible: the checked-out commit (uncommitted changes are left out) is
# exported and built twice, each time from a clean copy in a clean build
# folder at another path, and the two programs must be the same bytes and
# hold no time stamp, folder, user or host name. Writes dist/VKKSVInitTool.exe
# and dist/SHA256SUMS (check it with: cd dist && sha256sum -c SHA256SUMS).
#
#   scripts/release.sh
#
# Anyone can rebuild a release from its commit the same way and compare the
# SHA-256 with the one published.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
dist="$src/dist"
. "$src/scripts/wine-env.sh"

"$src/scripts/setup.sh"

if ! commit=$(git -C "$src" rev-parse --verify HEAD 2>/dev/null); then
    echo "release: $src is not a git clone with a commit; a release is built from a commit" >&2
    exit 1
fi
if [ -n "$(git -C "$src" status --porcelain)" ]; then
    phase "note: uncommitted changes in $src are not part of the release"
fi

# A failed release leaves no earlier one behind that could pass for it.
rm -f "$dist/VKKSVInitTool.exe" "$dist/SHA256SUMS"

# Two folders of different names and depths, so that the builds differ in
# every path they could pick up.
first=$(mktemp -d "${TMPDIR:-/tmp}/vkksv-release.XXXXXX")
second=$(mktemp -d "${TMPDIR:-/tmp}/vkksv-release-check.XXXXXX")
keep=0
cleanup() {
    [ "$keep" = 1 ] || rm -rf "$first" "$second"
}
trap cleanup EXIT

# build <folder>: the commit's files in <folder>/source, the tool built in
# <folder>/build; the build's output goes to <folder>/build.log.
build() {
    local dir=$1
    mkdir -p "$dir/source" "$dir/build"
    git -C "$src" archive --format=tar "$commit" | tar -x -C "$dir/source"
    if ! {
        cmake --preset windows-i686 -S "$dir/source" -B "$dir/build" &&
        cmake --build "$dir/build" -j "$(nproc)" --target VKKSVInitTool
    } >"$dir/build.log" 2>&1; then
        cat "$dir/build.log" >&2
        echo "release: the build in $dir failed" >&2
        exit 1
    fi
    python3 "$dir/source/tests/app/check_reproducible.py" "$dir/build/app/VKKSVInitTool.exe" \
        "$dir/source" "$dir/build" >/dev/null ||
        { keep=1; echo "release: the program built in $dir is not reproducible (kept)" >&2; exit 1; }
}

phase "building commit $commit in $first"
build "$first"
phase "building it again in $second/one/level/deeper"
build "$second/one/level/deeper"

a="$first/build/app/VKKSVInitTool.exe"
b="$second/one/level/deeper/build/app/VKKSVInitTool.exe"
if ! cmp -s "$a" "$b"; then
    keep=1
    {
        echo "release: FAILED: the two builds of commit $commit differ:"
        echo "  $a"
        echo "  $b"
        echo "  differing bytes (offset, octal values), first 20:"
        cmp -l "$a" "$b" | head -20 | sed 's/^/    /' || true
        echo "release: no release was written to $dist; both builds are kept"
    } >&2
    exit 1
fi

mkdir -p "$dist"
cp "$a" "$dist/VKKSVInitTool.exe"
(cd "$dist" && sha256sum VKKSVInitTool.exe >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
phase "both builds are identical; wrote $dist/VKKSVInitTool.exe and $dist/SHA256SUMS:"
sed 's/^/  /' "$dist/SHA256SUMS"
