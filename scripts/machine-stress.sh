#!/usr/bin/env bash
# The stall check of the switch's virtual machine: in place of the program, a loop that shows a
# console line, writes 3 bytes to the EEPROM (as the program's own writes do) and pauses 0.1 s,
# run on the machine for a bounded time. A stall is the console quiet for 3 s or more: QEMU's main
# loop asleep with the guest's timer armed (sim/README.md). Each stall is ended by typing a key on
# the console, and counted. Prints the writes and the stalls.
#
#   scripts/machine-stress.sh [--without-wakeup] [SECONDS]   # SECONDS: default 300
#
# --without-wakeup runs the machine's start without its main-loop wake-up, to show the stall.
# Uses the host build's bmsim and machine (BM_HOST_BUILD, default build/debug; the machine made by
# scripts/test-machine.sh or the build's target `machine`).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
host=${BM_HOST_BUILD:-$root/build/debug}
wakeup=1
if [ "${1:-}" = --without-wakeup ]; then
  wakeup=0
  shift
fi
seconds=${1:-300}
machine=$host/sim/machine
for piece in vmlinux initramfs.cpio; do
  [ -f "$machine/$piece" ] || { echo "machine-stress: $machine/$piece is missing: make it with scripts/build-initramfs.sh $machine" >&2; exit 1; }
done

work=$(mktemp -d /tmp/bm-stress.XXXXXX)
trap 'exec 3>&-; rm -rf "$work"' EXIT
# The loop goes in as /sbin/bootmanager of a second archive after the machine's own: the kernel
# unpacks both, the later file wins.
mkdir -p "$work/overlay/sbin" "$work/machine"
cat >"$work/overlay/sbin/bootmanager" <<'LOOP'
#!/bin/sh
n=0
while :; do
    n=$((n + 1))
    echo "write $n"
    i2cset -y 0 0x54 0x01 $((0x40 | (n & 0xff) << 8)) w
    sleep 0.1
done
LOOP
chmod 0755 "$work/overlay/sbin/bootmanager"
(cd "$work/overlay" && find . | cpio --quiet -o -H newc -R 0:0 | gzip) >"$work/overlay.cpio.gz"
cat "$machine/initramfs.cpio" "$work/overlay.cpio.gz" >"$work/machine/initramfs.cpio"
ln -s "$(readlink -f "$machine/vmlinux")" "$work/machine/vmlinux"
script=$root/sim/machine/start.sh
if [ "$wakeup" = 0 ]; then
  grep -v 'id=tick' "$script" >"$work/start.sh"
  script=$work/start.sh
fi
"$host/sim/bmsim" new "$work/board" >/dev/null

mkfifo "$work/keys"
exec 3<>"$work/keys"
writes=0
stalls=0
while :; do
  if IFS= read -r -t 3 line; then
    case $line in write*) writes=$((writes + 1)) ;; esac
  elif [ $? -gt 128 ]; then
    if [ "$writes" -gt 0 ]; then
      stalls=$((stalls + 1))
      echo "machine-stress: stall $stalls after write $writes"
    fi
    printf '\n' >&3
  else
    break
  fi
done < <(BMSIM_MACHINE_DIR=$work/machine BMSIM_MACHINE_SCRIPT=$script \
           "$host/sim/bmsim" boot "$work/board" --machine qemu --timeout "$seconds" <&3 2>&1 || true)
echo "machine-stress: $([ "$wakeup" = 1 ] && echo with || echo without) the wake-up, $seconds s:" \
     "$writes writes, $stalls stalls"
