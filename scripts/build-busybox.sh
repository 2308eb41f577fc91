#!/usr/bin/env bash
# Builds the static busybox of the switch's virtual machine for 32-bit big-endian PowerPC from
# the release source in ../shared/third-party, with the applets of sim/machine/busybox.config.
# Cached by a hash of its inputs, so that a second run only links it into place.
#
#   scripts/build-busybox.sh [OUT]    # OUT: default build/machine; gets busybox
#   scripts/build-busybox.sh --source # prints the source it would build, or fails without one
#
# The source is BM_BUSYBOX_SOURCE (default ../shared/third-party/busybox-1.36.1.tar.xz beside
# the repository); the cache folder is BM_MACHINE_CACHE (default build/machine-cache).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/machine}
cache=${BM_MACHINE_CACHE:-$root/build/machine-cache}
source=${BM_BUSYBOX_SOURCE:-}
if [ -z "$source" ]; then
  # A worktree's shared folder sits beside the main repository.
  for dir in "$root/../shared" "$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null)/../../shared"; do
    [ -f "$dir/third-party/busybox-1.36.1.tar.xz" ] && source=$dir/third-party/busybox-1.36.1.tar.xz && break
  done
fi
fragment=$root/sim/machine/busybox.config
[ -f "$source" ] || { echo "build-busybox: the busybox source is missing (BM_BUSYBOX_SOURCE)" >&2; exit 1; }
if [ "$out" = --source ]; then
  echo "$source"
  exit 0
fi
command -v powerpc-linux-gnu-gcc >/dev/null || { echo "build-busybox: powerpc-linux-gnu-gcc is missing" >&2; exit 1; }

key=$( {
  cat "$fragment" "$0"
  basename "$source"
  sha256sum <"$source"
  powerpc-linux-gnu-gcc --version | head -1
} | sha256sum | cut -c1-16)
entry=$cache/busybox-$key

if [ ! -f "$entry/busybox" ]; then
  started=$(date +%s)
  work=$cache/busybox-work
  rm -rf "$work"
  mkdir -p "$work"
  tar -xf "$source" -C "$work" --strip-components=1
  # allnoconfig, then the fragment's settings in place of the same symbols' lines
  make -C "$work" -s allnoconfig >/dev/null
  symbols=$(sed -n 's/^\(CONFIG_[A-Z0-9_]*\)=.*/\1/p' "$fragment")
  grep -v -w -F "$symbols" "$work/.config" >"$work/.config.base" || true
  grep '^CONFIG_' "$fragment" >>"$work/.config.base"
  mv "$work/.config.base" "$work/.config"
  make -C "$work" -s oldconfig < <(yes "") >/dev/null
  missing=$(grep '^CONFIG_' "$fragment" | while read -r line; do
    grep -qx "$line" "$work/.config" || echo "$line"
  done)
  if [ -n "$missing" ]; then
    echo "build-busybox: the configuration lacks:" $missing >&2
    exit 1
  fi
  echo "build-busybox: building with $(nproc) jobs"
  make -C "$work" -s -j "$(nproc)" busybox >/dev/null
  mkdir -p "$entry.tmp"
  cp "$work/busybox" "$work/.config" "$entry.tmp/"
  rm -rf "$entry" "$work"
  mv "$entry.tmp" "$entry"
  echo "build-busybox: built in $(($(date +%s) - started)) s"
fi

mkdir -p "$out"
ln -sfn "$entry/busybox" "$out/busybox"
echo "build-busybox: $out/busybox ($(basename "$entry"))"
