#!/usr/bin/env bash
# Boots the demo board: builds BootManager with its tools, makes two application images from the
# demo application in sim/demo/app (version 1.0.0.1 for slot 1, 1.0.0.2 for slot 2), puts them
# on a fresh simulated board whose EEPROM boot slot is 1, and boots it up to the application.
#
#   scripts/demo.sh [--fallback | --rescue] [--machine qemu] [DIR]
#
#   --fallback  spoil one byte of the slot-1 image, so its CRC fails and slot 2 is started
#   --rescue    instead of the boot, the serial download in the rescue menu: a package of a kernel
#               and an application 1.0.0.3 sent with XMODEM-1K and installed into slot 2 and the
#               kernel partition (sim/demo/rescue-download.sh)
#   --machine qemu  boot the board as a virtual machine of the switch (built first, cached)
#   DIR         the board directory to use (kept afterwards); a temporary one by default
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,13s/^# \{0,1\}//p' "$0"; }

fallback=0
rescue=0
board=""
machine=()
while [ $# -gt 0 ]; do
  arg=$1
  shift
  case "$arg" in
    --fallback) fallback=1 ;;
    --rescue) rescue=1 ;;
    --machine)
      [ "${1:-}" = qemu ] || { echo "demo: --machine takes 'qemu'" >&2; exit 2; }
      machine=(--machine qemu)
      shift ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "demo: unknown option '$arg'" >&2; usage >&2; exit 2 ;;
    *)
      if [ -n "$board" ]; then echo "demo: only one board directory, please" >&2; exit 2; fi
      board="$arg" ;;
  esac
done

# build
scripts/bootstrap.sh
echo "demo: building (release preset)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target bootmanager bmimage bmsim bmsim_devices >/dev/null
bmimage=build/release/tools/bmimage/bmimage
bmsim=build/release/sim/bmsim
if [ ${#machine[@]} -gt 0 ]; then
  echo "demo: building the virtual machine (cached after the first time)"
  scripts/build-initramfs.sh >/dev/null
fi

work=$(mktemp -d /tmp/bm-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ -z "$board" ]; then
  board="$work/board"
  keep_note=" (temporary)"
else
  keep_note=" (kept)"
fi

# make the two application images: the demo tree, with the image's version written into it
make_image() {
  local version=$1 out=$2
  local tree="$work/app-$version"
  cp -R sim/demo/app "$tree"
  echo "$version" >"$tree/home/bin/version"
  chmod 0755 "$tree/home/bin/install.sh" "$tree/home/bin/mp.elf.strip"
  tar --owner=0 --group=0 --numeric-owner -czf "$tree.tar.gz" -C "$tree" home
  "$bmimage" create --type application --version "$version" -o "$out" "$tree.tar.gz"
}
make_image 1.0.0.1 "$work/image1"
make_image 1.0.0.2 "$work/image2"

# the board: both slots filled, boot slot 1
"$bmsim" new "$board"
cp "$work/image1" "$board/user/images/image1"
cp "$work/image2" "$board/user/images/image2"
"$bmsim" eeprom "$board" 0x100 1
if [ "$fallback" -eq 1 ]; then
  # Flip every bit of one payload byte: the slot-1 image now fails its CRC check.
  offset=100
  byte=$(od -An -tu1 -j "$offset" -N1 "$board/user/images/image1" | tr -d ' ')
  printf "$(printf '\\%03o' $((byte ^ 0xFF)))" |
    dd of="$board/user/images/image1" bs=1 seek="$offset" conv=notrunc status=none
  echo "demo: slot 1 spoiled at byte $offset; the boot falls back to slot 2"
fi
echo "demo: board in $board$keep_note; booting it"
echo

# boot, or download a package in the rescue menu
status=0
if [ "$rescue" -eq 1 ]; then
  BMSIM=$bmsim BMIMAGE=$bmimage sim/demo/rescue-download.sh "$board" || status=$?
else
  "$bmsim" boot "$board" --timeout 60 "${machine[@]}" || status=$?
fi
echo
echo "demo: the board's log (bmsim log $board):"
"$bmsim" log "$board"
exit "$status"
