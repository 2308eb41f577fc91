#!/usr/bin/env bash
# Runs a command with the simulated board booting the target program: the 32-bit big-endian
# PowerPC bootmanager of the "target" preset under qemu-ppc, with the device emulator built for
# the target preloaded into the emulated process only. The switch's other programs stay the
# host's busybox and stubs: the emulated program's shell commands and the application start
# leave the emulator.
#
#   scripts/target-board.sh build/debug/sim/bmsim boot DIR --time-scale 0.05
#   scripts/target-board.sh build/debug/tests/scenario_tests --gtest_filter='BootSpine.*'
#
# It stages a root file system in build/target/board: the stubs of sim/rootfs, qemu-ppc, the
# target libraries the program needs and the program, and points bmsim at them through
# BMSIM_PROGRAM, BMSIM_DEVICES_LIB and BMSIM_ROOTFS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=$root/build/target
stage=$target/board
program=$target/src/bootmanager
ctl=$target/src/bmctl
devices=$target/sim/libbmsim_devices.so
sysroot=/usr/powerpc-linux-gnu
inside=/usr/lib/bmsim-target   # where the emulator and the program sit on the board

if [ $# -eq 0 ]; then
  echo "usage: scripts/target-board.sh COMMAND [ARGUMENTS]" >&2
  exit 2
fi
for file in "$program" "$ctl" "$devices"; do
  [ -f "$file" ] || { echo "target-board: $file is missing: build the target preset first" >&2; exit 1; }
done
qemu=$(command -v qemu-ppc) || { echo "target-board: qemu-ppc is missing (package qemu-user)" >&2; exit 1; }

# The shared libraries a target file needs, and theirs, by name.
needed() { powerpc-linux-gnu-readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
library_closure() {
  local -A seen=()
  local queue=("$@") name file
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for name in $(needed "$file"); do
      [ -n "${seen[$name]:-}" ] && continue
      seen[$name]=1
      queue+=("$sysroot/lib/$name")
      echo "$name"
    done
  done
}

rm -rf "$stage"
mkdir -p "$stage/rootfs$inside" "$stage/rootfs$sysroot/lib"
cp -a "$root/sim/rootfs/." "$stage/rootfs/"
cp "$qemu" "$stage/rootfs$inside/qemu-ppc"
cp "$program" "$stage/rootfs$inside/bootmanager"
cp "$ctl" "$stage/rootfs$inside/bmctl"
cp -L "$sysroot/lib/ld.so.1" "$stage/rootfs$sysroot/lib/"
for name in $(library_closure "$program" "$ctl" "$devices"); do
  cp -L "$sysroot/lib/$name" "$stage/rootfs$sysroot/lib/"
done

# What the board starts as its program. The launcher hands it the emulator library in
# LD_PRELOAD; qemu-ppc is a host program, so the library goes to the emulated process alone.
cat >"$stage/bootmanager" <<EOF
#!/bin/sh
preload=\$LD_PRELOAD
unset LD_PRELOAD
exec $inside/qemu-ppc -L $sysroot \${preload:+-E LD_PRELOAD=\$preload} $inside/bootmanager
EOF
chmod +x "$stage/bootmanager"
# bmctl the same way, started by the stub /sbin/bmctl with its arguments
cat >"$stage/bmctl" <<EOF
#!/bin/sh
preload=\$LD_PRELOAD
unset LD_PRELOAD
exec $inside/qemu-ppc -L $sysroot \${preload:+-E LD_PRELOAD=\$preload} $inside/bmctl "\$@"
EOF
chmod +x "$stage/bmctl"

export BMSIM_PROGRAM=$stage/bootmanager BMSIM_CTL=$stage/bmctl BMSIM_DEVICES_LIB=$devices BMSIM_ROOTFS=$stage/rootfs
exec "$@"
