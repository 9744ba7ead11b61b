#!/usr/bin/env bash
# Runs one command in the VM (see vm/build.sh), on a machine whose
# kernel cannot run 32-bit code, or anywhere with VM=1; elsewhere it runs the
# command directly.
#
#   scripts/vm-run.sh [--share DIR]... [--scratch DIR]... [--timeout SECONDS] -- COMMAND [ARGS...]
#
# In the VM the source tree and each --share folder are this machine's own,
# read-write, at the same paths; the rest of this machine's files are there
# too, as a copy in memory that the VM may change (nothing goes back). Each
# --scratch folder is an empty folder in the VM's memory instead (for Wine
# prefixes, which must not lie on a shared folder). The command runs in the
# current folder where that lies inside a shared one (else in the tree), with
# this environment, and no standard input. Its output comes live, and its exit
# status is vm-run's. A VM that hangs is stopped after --timeout seconds
# (default: the VM's limit vm_command of cmake/TimeLimits.cmake); one that
# does not boot, crashes or ends without the command's exit status fails
# with one line saying which (exit 124 for the time limit, 125 for the
# others).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/wine.sh"
. "$src/scripts/lib/time-limits.sh"

shares=("$src") scratch=() timeout=$(vm_time_limit vm_command)
while [ $# -gt 0 ]; do
    case $1 in
        --share) shares+=("$(cd "$2" && pwd)"); shift 2 ;;
        --scratch) scratch+=("$(realpath -m "$2")"); shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: vm-run.sh [--share DIR]... [--scratch DIR]... [--timeout SECONDS] -- COMMAND [ARGS...]" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "vm-run: no command" >&2; exit 2; }

if [ "${VM:-0}" != 1 ] && can_run_32bit; then
    exec timeout --foreground "$timeout" "$@"
fi

vm=$("$src/scripts/vm/build.sh")
# The VM's own cache of new Wine prefixes (see use_wine_prefix).
mkdir -p "$vm/prefixes"
shares+=("$vm/prefixes")
ctl=$(mktemp -d /tmp/vm-run.XXXXXX)
qemu_pid= cat_pid= sleep_pid=
cleanup() {
    [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
    [ -z "$cat_pid" ] || kill "$cat_pid" 2>/dev/null || true
    [ -z "$sleep_pid" ] || kill "$sleep_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$ctl"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$ctl/share"
c=$ctl/share

# What the VM runs, and where.
printf '%q ' "$@" >"$c/command"
cwd=$src
for d in "${shares[@]}"; do
    case $PWD/ in "$d"/*) cwd=$PWD ;; esac
done
echo "$cwd" >"$c/cwd"
export -p | grep -vE '^declare -x (HOME|PWD|OLDPWD|SHLVL|_|DISPLAY|XAUTHORITY|XDG_[A-Z_]*|DBUS_[A-Z_]*|WAYLAND_DISPLAY|TERM|SSH_[A-Z_]*|TMPDIR|VM|VM_PREFIX_CACHE)=' >"$c/env" || true
echo "export VM_PREFIX_CACHE=$(printf '%q' "$vm/prefixes")" >>"$c/env"
: >"$c/stdin"
cp "$src/scripts/vm/guest.sh" "$c/guest.sh"

# The folders, parents first.
virtfs=(-virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
        -virtfs "local,path=$c,mount_tag=ctl,security_model=none")
i=0
{
    for d in "${shares[@]}"; do echo "share s$i $d"; i=$((i + 1)); done
    for d in "${scratch[@]}"; do echo "scratch - $d"; done
} | sort -k3 -u >"$c/mounts"
i=0
for d in "${shares[@]}"; do
    virtfs+=(-virtfs "local,path=$d,mount_tag=s$i,security_model=none,multidevs=remap")
    i=$((i + 1))
done

mkfifo "$ctl/out"
cat "$ctl/out" &
cat_pid=$!
qemu-system-x86_64 -accel tcg,thread=multi -cpu qemu64 -smp "${VM_CPUS:-2}" -m "${VM_MEMORY:-8192}" \
    -nodefaults -display none -monitor none -no-reboot \
    -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
    -append "console=ttyS0 quiet panic=-1 vm.ctl=$c" \
    -serial "file:$ctl/console.log" \
    -device virtio-serial-pci -chardev "file,id=out,path=$ctl/out" -device virtconsole,chardev=out \
    "${virtfs[@]}" </dev/null 2>"$ctl/qemu.log" &
qemu_pid=$!
# The time limit: whichever ends first, the VM or the sleep.
sleep "$timeout" </dev/null >/dev/null 2>&1 &
sleep_pid=$!
wait -n "$qemu_pid" "$sleep_pid" || true
if kill -0 "$qemu_pid" 2>/dev/null && ! kill -0 "$sleep_pid" 2>/dev/null; then
    touch "$ctl/timed-out"
fi
kill "$sleep_pid" 2>/dev/null || true
sleep_pid=
qemu_rc=0
kill "$qemu_pid" 2>/dev/null || true
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=
wait "$cat_pid" 2>/dev/null || true
cat_pid=

fault() {
    echo "vm-run: $*" >&2
    tail -n 15 "$ctl/console.log" "$ctl/qemu.log" 2>/dev/null | sed 's/^/vm-run:   /' >&2
    exit 125
}
if [ -f "$c/status" ]; then
    exit "$(cat "$c/status")"
elif [ -f "$ctl/timed-out" ]; then
    echo "vm-run: the VM did not finish within $timeout s; it was stopped" >&2
    exit 124
elif [ -f "$c/fault" ]; then
    fault "the VM did not boot: $(cat "$c/fault")"
elif grep -qE "Kernel panic|Oops|BUG:" "$ctl/console.log" 2>/dev/null; then
    fault "the VM crashed"
elif [ ! -f "$c/booted" ]; then
    fault "the VM did not boot (qemu exit $qemu_rc)"
else
    fault "the VM ended without the command's exit status (qemu exit $qemu_rc)"
fi
