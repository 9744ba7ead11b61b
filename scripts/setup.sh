#!/usr/bin/env bash
# Installs what the build and the test bed need on Debian 12, only where it is
# missing: the i686 MinGW-w64 cross compiler, 32-bit Wine, Xvfb, the locales
# and CJK font for the three user-interface languages, and the tools the tests
# use. Run twice, it installs nothing the second time.
set -euo pipefail

# fonts-wine: Wine's own fonts, among them the one that draws the caption
# buttons of a window. wine64: the tests also run the tool on a 64-bit
# Windows (WOW64). python3-pefile: the check of the shipped exe's header.
# osslsigncode, softhsm2 and libengine-pkcs11-openssl: signing a release with
# a key in a PKCS#11 token, and its test.
packages=(cmake make g++-mingw-w64-i686-posix wine wine32:i386 wine64 xvfb xauth locales
          fonts-wqy-microhei fonts-wine imagemagick icoutils openssl xdotool googletest
          clang libclang-rt-14-dev python3 python3-pefile
          osslsigncode softhsm2 libengine-pkcs11-openssl)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its user-interface language from LANG; each must exist.
for loc in en_US zh_CN zh_TW de_DE; do
    if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
        echo "setup: generating locale ${loc}.UTF-8"
        as_root localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
    fi
done
