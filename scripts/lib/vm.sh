# Sourced by the commands in scripts/ that run Windows programs: the VM (an
# emulated PC, docs/vm.md) that runs them where this machine cannot run
# 32-bit code.
. "$(dirname "${BASH_SOURCE[0]}")/wine.sh"
. "$(dirname "${BASH_SOURCE[0]}")/time-limits.sh"

# Whether this shell runs inside the VM (scripts/vm/guest.sh sets
# VM_GUEST=1 there).
in_vm_guest() {
    [ "${VM_GUEST:-}" = 1 ]
}

#   continue_in_vm <build folder> [--scratch DIR]... [--share DIR]... -- "$0" "$@"
# Where the split between this machine and the VM lies, for the
# commands that run Windows programs (test.sh, demo.sh, bench.sh,
# screenshots.sh). Each does its setup and build here, then calls this:
# where this machine cannot run 32-bit programs (or with VM=1), it runs the
# calling command again inside the VM (scripts/vm-run.sh), with the
# build folder shared and each scratch DIR (its Wine prefixes) in the VM's
# memory, and exits with its status; there VM_GUEST=1 (in_vm_guest) tells the
# command that the setup and the build are done. Elsewhere, and inside the
# VM, it returns, and the command goes on.
continue_in_vm() {
    in_vm_guest && return 0
    [ "${VM:-0}" = 1 ] || ! can_run_32bit || return 0
    local build=$1 args=()
    shift
    while [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    if [ "${VM:-0}" = 1 ]; then
        phase "running under Wine in the VM (VM=1)"
    else
        phase "this machine cannot run 32-bit programs: running under Wine in the VM"
    fi
    BUILD_DIR=$build exec "$(dirname "${BASH_SOURCE[0]}")/../vm-run.sh" --share "$build" --timeout "${VM_TIMEOUT:-$(vm_time_limit vm_suite)}" \
        "${args[@]}" -- env VM_GUEST=1 "$@"
}
