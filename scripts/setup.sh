#!/usr/bin/env bash
# Installs what the build and the test bed need on Debian 12, only where it is
# missing: the i686 MinGW-w64 cross compiler, 32-bit Wine, Xvfb, the locales
# and CJK font for the user-interface languages, and the tools the tests
# use, and any package named on its command line. Run twice, it installs
# nothing the second time.
#
# A mirror can serve a package index that does not match its Release file
# for hours ("File has unexpected size ... Mirror sync in progress?"). Then
# a 32-bit package cannot be installed beside its 64-bit twin from the other
# suites (both halves of a Multi-Arch pair must have one version), so for the
# one install the suite whose index failed is ranked below the others. The
# machine's own apt configuration is never changed.
set -euo pipefail

# fonts-wine: Wine's own fonts, among them the one that draws the caption
# buttons of a window. wine64: the tests also run the tool on a 64-bit
# Windows (WOW64). python3-pefile and python3-asn1crypto: the checks of the
# shipped exe's header and of a release's signature.
# osslsigncode, softhsm2 and libengine-pkcs11-openssl: signing a release with
# a key in a PKCS#11 token, and its test. qemu-system-x86 and kmod: the
# VM that runs the suite where this machine cannot run 32-bit code.
# git and iproute2: the release's clones, and the loopback that the signing
# test's time-stamp server needs inside the VM. zip and unzip: the test pack.
packages=(cmake make g++-mingw-w64-i686-posix wine wine32:i386 wine64 xvfb xauth locales
          fonts-wqy-microhei fonts-wine imagemagick icoutils openssl xdotool googletest
          clang libclang-rt-14-dev python3 python3-pefile python3-asn1crypto
          osslsigncode softhsm2 libengine-pkcs11-openssl git iproute2 qemu-system-x86 kmod
          zip unzip
          "$@")

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
apt_get() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@"
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

    # The index update, tried three times. What it could not fetch is kept
    # as "suite arch" pairs, from the URLs of its "Failed to fetch" lines
    # (.../dists/<suite>/<component>/binary-<arch>/...).
    failed=() updated=no errors=
    for try in 1 2 3; do
        if errors=$(apt_get update -qq 2>&1 >/dev/null); then
            updated=yes failed=()
            break
        fi
        failed=()
        while read -r url; do
            [[ $url =~ /dists/([^/]+)/ ]] || continue
            suite=${BASH_REMATCH[1]} arch=
            [[ $url =~ /binary-([^/]+)/ ]] && arch=${BASH_REMATCH[1]}
            failed+=("$suite $arch")
        done < <(printf '%s\n' "$errors" | sed -n 's/.*Failed to fetch \([^ ]*\).*/\1/p' | sort -u)
        mapfile -t failed < <(printf '%s\n' "${failed[@]}" | sort -u)
        if [ $try -lt 3 ]; then sleep $((try * 5)); fi
    done
    if [ $updated = no ] && [ ${#failed[@]} -eq 0 ]; then
        # It failed without naming an index (no network, say): the lists
        # already on the machine may still do.
        echo "setup: apt-get update failed ($(printf '%s\n' "$errors" | tail -n 1)); installing from the package lists already here" >&2
    fi

    # A preferences folder for this install alone: the machine's own parts,
    # plus each failed suite at a priority below that of the others (500)
    # and of what is installed (100).
    prefs=()
    if [ ${#failed[@]} -gt 0 ]; then
        prefdir=$(mktemp -d)
        trap 'rm -rf "$prefdir"' EXIT
        cp -a /etc/apt/preferences.d/. "$prefdir/" 2>/dev/null || true
        suites=()
        for f in "${failed[@]}"; do
            suite=${f%% *} arch=${f#* }
            echo "setup: the package index of ${suite}${arch:+ (${arch})} is out of step with its Release file; installing with ${suite} ranked below the other suites"
            suites+=("$suite")
        done
        for suite in $(printf '%s\n' "${suites[@]}" | sort -u); do
            printf 'Package: *\nPin: release n=%s\nPin-Priority: 50\n\nPackage: *\nPin: release a=%s\nPin-Priority: 50\n\n' \
                "$suite" "$suite" >>"$prefdir/zz-setup-index-out-of-step.pref"
        done
        prefs=(-o "Dir::Etc::PreferencesParts=$prefdir")
    fi

    if ! out=$(apt_get install -y -qq --no-install-recommends "${prefs[@]}" "${missing[@]}" 2>&1); then
        printf '%s\n' "$out" | tail -n 20 >&2
        if [ ${#failed[@]} -gt 0 ]; then
            echo "setup: could not install ${missing[*]} with the out-of-step index of $(printf '%s\n' "${failed[@]}" | sed 's/ \(.\)/ (\1/; s/[^ ]$/&)/; s/ $//' | paste -sd, | sed 's/,/, /g')" >&2
        else
            echo "setup: could not install ${missing[*]}" >&2
        fi
        exit 1
    fi
fi

# Wine takes its user-interface language from LANG; each locale the tests
# run under (cmake/Languages.cmake) must exist.
. "$(dirname "$0")/lib/languages.sh"
for loc in $(test_locales); do
    if ! locale -a 2>/dev/null | grep -qix "${loc}.utf8"; then
        echo "setup: generating locale ${loc}.UTF-8"
        as_root localedef -i "$loc" -f UTF-8 "${loc}.UTF-8"
    fi
done
