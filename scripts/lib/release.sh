# Sourced by release.sh, verify-release.sh and pack-tests.sh: building a
# commit the way a release does, the toolchain it is built with, and the
# Authenticode signature on a built program.

# One line saying why the script stops, then the exit code (default 1).
fail() {
    local name=${0##*/}
    echo "${name%.sh}: $1" >&2
    exit "${2:-1}"
}

# The Debian packages whose versions decide the built bytes, as
# "<package> <version>" lines.
toolchain_versions() {
    local p
    for p in g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 \
             mingw-w64-i686-dev mingw-w64-common cmake; do
        echo "$p $(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo none)"
    done
}

#   build_commit <source clone> <commit> <folder>
# The commit's files in <folder>/source, the shipped tool built in
# <folder>/build and checked to hold nothing of the machine that built it.
# Prints the built program's path; the build's output goes to
# <folder>/build.log. Fails (returns 1) when the build does.
build_commit() {
    local clone=$1 commit=$2 dir=$3
    mkdir -p "$dir/source" "$dir/build"
    git -C "$clone" archive --format=tar "$commit" | tar -x -C "$dir/source" &&
    {
        cmake --preset windows-i686 -S "$dir/source" -B "$dir/build" &&
        cmake --build "$dir/build" -j "$(nproc)" --target VKKSVInitTool &&
        /usr/bin/python3 "$dir/source/tests/app/check_reproducible.py" "$dir/build/app/VKKSVInitTool.exe" \
            "$dir/source" "$dir/build"
    } >"$dir/build.log" 2>&1 || return 1
    echo "$dir/build/app/VKKSVInitTool.exe"
}

#   extract_signature <signed exe> <out.p7s>
# The exe's signature as PKCS#7 DER. (Without -pem, osslsigncode 2.5 writes
# the whole certificate-table entry instead of the PKCS#7 alone.)
extract_signature() {
    osslsigncode extract-signature -pem -in "$1" -out "$2.pem" >/dev/null 2>&1 &&
        openssl pkcs7 -in "$2.pem" -outform DER -out "$2" 2>/dev/null
}

#   attach_signature <p7s> <unsigned exe> <out>
# The PKCS#7 DER signature put onto the exe, as it would be by signing it.
# osslsigncode 2.5 reads only a PEM signature. Attaching also checks the
# certificate chain against the system's roots and exits non-zero when they
# do not include the signer's, but writes the file: whether the result is
# right is for the caller to compare.
attach_signature() {
    rm -f "$3"
    openssl pkcs7 -inform DER -in "$1" -out "$3.sig.pem" 2>/dev/null || return 1
    osslsigncode attach-signature -sigin "$3.sig.pem" -in "$2" -out "$3" >/dev/null 2>&1 || true
    rm -f "$3.sig.pem"
    [ -f "$3" ]
}

# SHA-256 of a PEM certificate's DER, lower-case hex.
cert_sha256() {
    openssl x509 -in "$1" -outform DER | sha256sum | cut -d' ' -f1
}

#   check_signature <signed exe> <work folder>
# Checks the exe's signature as a whole: the digest it signs is the exe's
# (osslsigncode), and the PKCS#7 signature and any time-stamp check out with
# the signer's own certificate (authenticode.py). Sets sig_problem (empty when
# intact), signer_subject, signer_sha256, signer_expiry, sig_timestamp
# ("none" without one) and sig_trusted ("yes" when the system's roots vouch
# for the chain, else why not). Writes <work>/signature.p7s and
# <work>/signer.pem.
check_signature() {
    local exe=$1 work=$2 verify="$2/verify.txt" current calculated
    signer_subject= signer_sha256= signer_expiry= sig_timestamp= sig_trusted=no sig_problem=
    if ! extract_signature "$exe" "$work/signature.p7s"; then
        sig_problem="its signature cannot be read"
        return
    fi
    osslsigncode verify -in "$exe" >"$verify" 2>&1 && sig_trusted=yes
    current=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$verify")
    calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$verify")
    if [ -z "$current" ] || [ "$current" != "$calculated" ]; then
        sig_problem="the digest it signs is not the program's (the program was changed after signing)"
    fi
    local report
    report=$(/usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/authenticode.py" signature "$work/signature.p7s" "$work/signer.pem") ||
        sig_problem=${sig_problem:-$(grep failed <<<"$report" | head -1)}
    sig_timestamp=$(sed -n 's/^timestamp: //p' <<<"$report")
    if [ -f "$work/signer.pem" ]; then
        signer_subject=$(openssl x509 -in "$work/signer.pem" -noout -subject -nameopt RFC2253 |
                         sed 's/^subject=//')
        signer_sha256=$(cert_sha256 "$work/signer.pem")
        signer_expiry=$(openssl x509 -in "$work/signer.pem" -noout -enddate | sed 's/^notAfter=//')
    fi
    if [ "$sig_trusted" != yes ]; then
        sig_trusted="no ($(grep -m1 -o 'Error: .*\|Verify error: .*' "$verify" || echo 'see osslsigncode verify'))"
    fi
}
