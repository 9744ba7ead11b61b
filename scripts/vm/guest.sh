#!/bin/bash
# Runs inside the VM, as its first process once its root is this
# machine's: the command that scripts/vm-run.sh left in the control folder,
# its output to the virtio console, its exit status back into the folder,
# then the VM powers off.
ctl=$1
mount -t devpts devpts /dev/pts 2>/dev/null
mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm
ip link set lo up
hostname vkksv-vm 2>/dev/null
# The console keeps its settings only while it is open: held open here, with
# no line-ending translation.
exec 3<>/dev/hvc0
stty raw -echo <&3 2>/dev/null
: >"$ctl/booted"
# Its output goes through a pipe, as it would on the machine outside: the
# console is a terminal, and programs would colour what they print there.
(
    set -a
    . "$ctl/env"
    set +a
    export HOME=/root VM_GUEST=1
    cd "$(cat "$ctl/cwd")" && eval "$(cat "$ctl/command")"
) <"$ctl/stdin" 2>&1 | cat >&3
echo "${PIPESTATUS[0]}" >"$ctl/status.tmp" && mv "$ctl/status.tmp" "$ctl/status"
sync
echo o >/proc/sysrq-trigger
sleep 60
