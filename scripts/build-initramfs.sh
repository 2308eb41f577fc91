#!/usr/bin/env bash
# Builds the initramfs of the switch's virtual machine: the statically linked target programs
# (target-static preset: bootmanager and bmctl), the static busybox, the machine's init and the switch's
# stubs (sim/rootfs's application launcher and debug server, sim/machine/rootfs's recording
# wrappers around busybox's mount, umount, flash_eraseall and rx). Builds the kernel and busybox
# first (both cached); the archive itself is cached by a hash of everything in it.
#
#   scripts/build-initramfs.sh [OUT]   # OUT gets vmlinux, busybox and initramfs.cpio
#
# OUT is where a build's bmsim looks for the machine: BUILD/sim/machine (the build's target
# `machine` runs this script so); by default the release build's, build/release/sim/machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/release/sim/machine}
cache=${BM_MACHINE_CACHE:-$root/build/machine-cache}

"$root/scripts/build-kernel.sh" "$out"
"$root/scripts/build-busybox.sh" "$out"
cmake --preset target-static -S "$root" >/dev/null
cmake --build "$root/build/target-static" -j "$(nproc)" --target bootmanager bmctl >/dev/null
program=$root/build/target-static/src/bootmanager
ctl=$root/build/target-static/src/bmctl

# The files of the archive: source, then path inside.
files=(
  "$out/busybox" bin/busybox
  "$program" sbin/bootmanager
  "$ctl" sbin/bmctl
  "$root/sim/machine/init" init
  "$root/sim/rootfs/bin/backtrace" bin/backtrace
  "$root/sim/rootfs/bin/gdbserver" bin/gdbserver
  "$root/sim/machine/rootfs/bin/mount" bin/mount
  "$root/sim/machine/rootfs/bin/umount" bin/umount
  "$root/sim/machine/rootfs/usr/sbin/flash_eraseall" usr/sbin/flash_eraseall
  "$root/sim/machine/rootfs/usr/bin/rx" usr/bin/rx
)
key=$( {
  cat "$0"
  for ((i = 0; i < ${#files[@]}; i += 2)); do
    echo "${files[i + 1]} $(sha256sum <"${files[i]}")"
  done
} | sha256sum | cut -c1-16)
entry=$cache/initramfs-$key

if [ ! -f "$entry/initramfs.cpio" ]; then
  stage=$cache/initramfs-stage
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,mnt/usb,etc,user}
  for ((i = 0; i < ${#files[@]}; i += 2)); do
    cp -L "${files[i]}" "$stage/${files[i + 1]}"
  done
  chmod 0755 "$stage/init" "$stage/bin/"* "$stage/sbin/"* "$stage/usr/bin/"* "$stage/usr/sbin/"*
  ln -s busybox "$stage/bin/sh"
  mkdir -p "$entry.tmp"
  # Not compressed: the emulated processor would take longer to inflate it than the host takes
  # to read it.
  (cd "$stage" && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0 >"$entry.tmp/initramfs.cpio")
  rm -rf "$entry" "$stage"
  mv "$entry.tmp" "$entry"
fi

ln -sfn "$entry/initramfs.cpio" "$out/initramfs.cpio"
echo "build-initramfs: $out/initramfs.cpio ($(basename "$entry"))"
