#!/usr/bin/env bash
# The demo board's boot to its banner ("Demo switch application OS"), on the sandbox and on the
# switch's virtual machine side by side in one run: RUNS boots of each, in turn, each timed from
# bmsim's start to the banner's line on the console; then the medians and their ratio. The
# machine's first boot of a board, which makes the jffs2 image of /user, is shown apart: later
# boots keep the image while /user is as the last boot left it.
#
#   scripts/machine-boot-time.sh [RUNS]   # default 5
#
# Uses the host build BM_HOST_BUILD (default build/release, built first) and its machine (made
# first, cached).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
host=${BM_HOST_BUILD:-}
if [ -z "$host" ]; then
  host=$root/build/release
  cmake --preset release -S "$root" >/dev/null
  cmake --build "$host" -j "$(nproc)" --target bootmanager bmimage bmsim bmsim_devices >/dev/null
fi
"$root/scripts/build-initramfs.sh" "$host/sim/machine" >/dev/null
bmsim=$host/sim/bmsim
work=$(mktemp -d /tmp/bm-boottime.XXXXXX)
trap 'rm -rf "$work"' EXIT

# the demo board of scripts/demo.sh: the demo application in slot 1, boot slot 1
tree=$work/app
cp -R "$root/sim/demo/app" "$tree"
echo 1.0.0.1 >"$tree/home/bin/version"
chmod 0755 "$tree/home/bin/install.sh" "$tree/home/bin/mp.elf.strip"
tar --owner=0 --group=0 --numeric-owner -czf "$work/app.tar.gz" -C "$tree" home
"$host/tools/bmimage/bmimage" create --type application --version 1.0.0.1 -o "$work/image1" "$work/app.tar.gz" >/dev/null
for backend in sandbox qemu; do
  "$bmsim" new "$work/$backend" >/dev/null
  cp "$work/image1" "$work/$backend/user/images/image1"
  "$bmsim" eeprom "$work/$backend" 0x100 1
done

# Milliseconds from bmsim's start to the banner (0: not shown); the run is awaited to its end.
to_banner() {  # backend
  local start=${EPOCHREALTIME/./} shown=0 line
  while IFS= read -r line; do
    if [ "$shown" = 0 ] && [[ $line == *"Demo switch application OS"* ]]; then
      shown=$(( (${EPOCHREALTIME/./} - start) / 1000 ))
    fi
  done < <("$bmsim" boot "$work/$1" --machine "$1" --timeout 60 </dev/null 2>/dev/null || true)
  echo "$shown"
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "machine-boot-time: the machine's first boot of the board: $(to_banner qemu) ms to the banner"
sandbox=()
qemu=()
for ((run = 1; run <= runs; ++run)); do
  sandbox+=("$(to_banner sandbox)")
  qemu+=("$(to_banner qemu)")
  echo "machine-boot-time: run $run: sandbox ${sandbox[-1]} ms, machine ${qemu[-1]} ms"
done
s=$(median "${sandbox[@]}")
q=$(median "${qemu[@]}")
echo "machine-boot-time: medians of $runs: sandbox $s ms, machine $q ms, ratio" \
     "$(awk -v q="$q" -v s="$s" 'BEGIN { printf "%.2f", (s > 0 ? q / s : 0) }')"
