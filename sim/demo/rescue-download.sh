#!/usr/bin/env bash
# The serial download of a package, by one command: makes a package of a kernel image and an
# application image (the demo application, version 1.0.0.3), boots the board into its rescue
# menu and drives the console with rescue-download.script, which sends the package with
# XMODEM-1K and installs it into slot 2 and the kernel partition. Then checks both.
#
#   sim/demo/rescue-download.sh BOARD [PACKAGE_DIR]
#
#   BOARD        a board directory; made with 'bmsim new' when it is none yet
#   PACKAGE_DIR  where the package and its images are made and kept; a temporary folder by default
#   The tools are the release build's (build/release) unless BMSIM and BMIMAGE name others.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bmsim=$(realpath -m "${BMSIM:-$root/build/release/sim/bmsim}")
bmimage=$(realpath -m "${BMIMAGE:-$root/build/release/tools/bmimage/bmimage}")

if [ $# -lt 1 ] || [ $# -gt 2 ]; then sed -n '7,11s/^# \{0,1\}//p' "$0" >&2; exit 2; fi
for tool in "$bmsim" "$bmimage"; do
  [ -x "$tool" ] || { echo "rescue-download: $tool not found (build the release preset)" >&2; exit 1; }
done
board=$(realpath -m "$1")
if [ $# -eq 2 ]; then
  package=$(realpath -m "$2")
  mkdir -p "$package"
else
  package=$(mktemp -d /tmp/bm-rescue.XXXXXX)
  trap 'rm -rf "$package"' EXIT
fi

# the package: a stand-in kernel and the demo application
head -c 65536 <(yes 'demo kernel') >"$package/kernel.bin"
rm -rf "$package/app"
cp -R "$here/app" "$package/app"
echo 1.0.0.3 >"$package/app/home/bin/version"
chmod 0755 "$package/app/home/bin/install.sh" "$package/app/home/bin/mp.elf.strip"
tar --owner=0 --group=0 --numeric-owner -czf "$package/app.tar.gz" -C "$package/app" home
"$bmimage" create --type kernel --version 1.0.0.3 -o "$package/kernel.img" "$package/kernel.bin"
"$bmimage" create --type application --version 1.0.0.3 -o "$package/app.img" "$package/app.tar.gz"
"$bmimage" pack -o "$package/package.img" "$package/kernel.img" "$package/app.img"

# the board, in its rescue menu for this boot; its environment comes back afterwards
[ -f "$board/eeprom.bin" ] || "$bmsim" new "$board"
mapfile -t saved < <("$bmsim" env "$board")
"$bmsim" env "$board" diagnostics=rescue
echo "rescue-download: booting $board into its rescue menu"
status=0
(cd "$package" && "$bmsim" boot "$board" --time-scale 0.1 --timeout 60 --script "$here/rescue-download.script") ||
  status=$?
if [ ${#saved[@]} -eq 0 ]; then "$bmsim" env "$board" --clear; else "$bmsim" env "$board" "${saved[@]}"; fi
[ "$status" -eq 0 ] || { echo "rescue-download: bmsim boot ended with status $status" >&2; exit 1; }

# what the switch holds now
echo
if cmp -s -n "$(stat -c %s "$package/kernel.img")" "$package/kernel.img" "$board/mtd/kernel.bin" &&
  cmp -s "$package/app.img" "$board/user/images/image2"; then
  echo "rescue-download: the kernel partition holds kernel.img and slot 2 holds app.img"
else
  echo "rescue-download: the package was not installed" >&2
  exit 1
fi
"$bmsim" eeprom "$board"
