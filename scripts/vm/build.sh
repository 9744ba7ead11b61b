#!/usr/bin/env bash
# Builds the VM (an emulated PC) that runs the Windows programs of the suite
# on a machine whose kernel cannot run 32-bit code: Debian's own 64-bit kernel
# (which can), and a small initramfs of our own that mounts this machine's
# root, read-only, as the VM's root. The VM so runs this machine's own
# Wine, Xvfb and tools, with nothing installed twice. Everything comes from
# Debian's packages (downloaded, never installed here).
#
#   scripts/vm/build.sh          prints the folder of the VM, built if needed
#
# The VM is kept in VM_CACHE (default /var/cache/vkksvinittool-vm), so that
# every clone on this machine shares it; it is built anew when this script's
# commands change (not its comments). Remove that folder (and its lock beside it) to throw it away.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
cache=${VM_CACHE:-/var/cache/vkksvinittool-vm}

# The kernel and the shell of the initramfs, and the drivers it loads: the
# host's root and the shared folders come over 9p, the command's output over
# a virtio console.
kernel_package=linux-image-amd64
busybox_package=busybox-static
modules=(virtio_pci 9pnet_virtio 9p virtio_console overlay)

stamp=$(grep -v '^[[:space:]]*#' "$0" | sha256sum | cut -c1-16)
# One at a time: a second caller (two VMs started at once) waits, and then
# finds the VM made. (The lock lies beside the cache, which a build empties.)
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9
if [ -f "$cache/$stamp/ready" ]; then
    echo "$cache/$stamp"
    exit 0
fi

# (Its one progress line is vm-run's, which runs it.)
echo "vm-run: creating the VM (once, about a minute)" >&2
"$src/scripts/setup.sh" >&2
rm -rf "$cache"
work="$cache/$stamp.tmp"
mkdir -p "$work"
cd "$work"

# The versioned kernel package the meta package names, and busybox.
kpkg=$(apt-cache depends "$kernel_package" | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
[ -n "$kpkg" ] || { echo "vm/build: apt knows no $kernel_package" >&2; exit 1; }
apt-get download -q=2 "$kpkg" "$busybox_package" 2>/dev/null ||
    apt-get download "$kpkg" "$busybox_package" >&2
mkdir kernel busybox initrd
dpkg-deb -x linux-image-*.deb kernel
dpkg-deb -x busybox-static_*.deb busybox
kver=$(ls kernel/lib/modules)
depmod -b kernel "$kver"

# The initramfs: busybox, the drivers (each after what it needs), /init.
mkdir -p initrd/bin initrd/lib/modules initrd/proc initrd/sys initrd/dev initrd/newroot initrd/ctl initrd/lower
cp busybox/bin/busybox initrd/bin/
: >initrd/modules
moddir=kernel/lib/modules/$kver
for m in "${modules[@]}"; do
    line=$(grep -E "(^|/)$m\.ko(\.[a-z]+)?:" "$moddir/modules.dep")
    deps=(${line#*:})
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do echo "${deps[i]}"; done
    echo "${line%%:*}"
done | awk '!seen[$0]++' | while read -r ko; do
    cp "$moddir/$ko" initrd/lib/modules/
    echo "${ko##*/}" >>initrd/modules
done

cat >initrd/init <<'EOF'
#!/bin/busybox sh
# The VM's first process: the drivers, this machine's root as the
# VM's root (read-only, with a memory layer on top for what programs write),
# the shared folders at their own paths, then the command's script.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod /lib/modules/$m; done
ctl=$(sed -n 's/.* vm\.ctl=\([^ ]*\).*/\1/p' /proc/cmdline)
o=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o $o ctl /ctl
mount -t 9p -o $o,ro,cache=loose hostroot /lower
mkdir -p /rw && mount -t tmpfs -o size=75% rw /rw && mkdir -p /rw/upper /rw/work
if ! mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /newroot; then
    echo "vm: cannot lay a writable layer over the root" >/ctl/fault
    echo o >/proc/sysrq-trigger; sleep 60
fi
mount -t tmpfs tmp /newroot/tmp
for d in proc sys dev; do mount --move /$d /newroot/$d; done
mkdir -p /newroot$ctl && mount --move /ctl /newroot$ctl
# "share TAG PATH": a host folder, read-write; "scratch - PATH": an empty
# folder in memory. Parents come before children.
while read -r kind tag path; do
    mkdir -p "/newroot$path"
    case $kind in
        share) mount -t 9p -o $o,cache=loose "$tag" "/newroot$path" ;;
        scratch) mount -t tmpfs scratch "/newroot$path" ;;
    esac
done <"/newroot$ctl/mounts"
exec switch_root /newroot /bin/bash "$ctl/guest.sh" "$ctl"
EOF
chmod +x initrd/init
(cd initrd && find . | ../busybox/bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >initrd.img

mkdir "$cache/$stamp"
mv "kernel/boot/vmlinuz-$kver" "$cache/$stamp/vmlinuz"
mv initrd.img "$cache/$stamp/initrd.img"
echo "$kpkg $(dpkg-deb -f linux-image-*.deb Version)" >"$cache/$stamp/kernel"
cd /
rm -rf "$work"
touch "$cache/$stamp/ready"
echo "$cache/$stamp"
