#!/usr/bin/env bash
# Builds the kernel of the switch's virtual machine (QEMU's ppce500 machine) from Debian's
# linux-source-6.1 with the cross compiler: the kernel's tinyconfig plus the fragment
# sim/machine/kernel.config. Results are cached by a hash of their inputs, so that a second run
# only links them into place.
#
#   scripts/build-kernel.sh [OUT]    # OUT: default build/machine; gets vmlinux
#
# The cache folder is BM_MACHINE_CACHE (default build/machine-cache).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/machine}
cache=${BM_MACHINE_CACHE:-$root/build/machine-cache}
tarball=/usr/src/linux-source-6.1.tar.xz
fragment=$root/sim/machine/kernel.config
cross=powerpc-linux-gnu-

for tool in "${cross}gcc" flex bison bc; do
  command -v "$tool" >/dev/null || { echo "build-kernel: $tool is missing (scripts/bootstrap.sh)" >&2; exit 1; }
done
[ -f "$tarball" ] || { echo "build-kernel: $tarball is missing (package linux-source-6.1)" >&2; exit 1; }

# --- the inputs' hash: the fragment, this script, the source package's and compiler's versions
key=$( {
  cat "$fragment" "$0"
  echo "$(basename "$tarball") $(dpkg-query -W -f='${Version}' linux-source-6.1)"
  "${cross}gcc" --version | head -1
} | sha256sum | cut -c1-16)
entry=$cache/kernel-$key

if [ ! -f "$entry/vmlinux" ]; then
  started=$(date +%s)
  work=$cache/kernel-work
  rm -rf "$work"
  mkdir -p "$work"
  echo "build-kernel: unpacking $(basename "$tarball")"
  tar -xf "$tarball" -C "$work" --strip-components=1
  # The platform's progress lines go straight to the UART, whatever the log level, and would
  # stand before the switch's own console output.
  platform=$work/arch/powerpc/platforms/85xx/qemu_e500.c
  sed -i -e '/ppc_md.progress("qemu_e500_setup_arch()", 0);/d' -e '/\.progress[[:space:]]*= udbg_progress,/d' "$platform"
  if grep -q progress "$platform"; then echo "build-kernel: $platform still prints progress" >&2; exit 1; fi
  # i2c-stub is offered as a module only; built in, it takes its address from the kernel command
  # line and registers its bus after the MPC controller's, as i2c-1.
  sed -i '/^config I2C_STUB$/,/^$/{/depends on m$/d}' "$work/drivers/i2c/Kconfig"
  make_kernel() { make -C "$work" -s ARCH=powerpc CROSS_COMPILE="$cross" "$@"; }
  make_kernel tinyconfig >/dev/null
  (cd "$work" && KCONFIG_CONFIG=.config scripts/kconfig/merge_config.sh -m .config "$fragment" >/dev/null)
  make_kernel olddefconfig >/dev/null
  # An option the kernel dropped (a missing dependency) would leave the machine without a driver.
  missing=$(grep '^CONFIG_' "$fragment" | while read -r line; do
    grep -qx "$line" "$work/.config" || echo "$line"
  done)
  if [ -n "$missing" ]; then
    echo "build-kernel: the kernel configuration lacks:" $missing >&2
    exit 1
  fi
  echo "build-kernel: building vmlinux with $(nproc) jobs"
  make_kernel -j "$(nproc)" vmlinux
  mkdir -p "$entry.tmp"
  cp "$work/vmlinux" "$work/.config" "$entry.tmp/"
  rm -rf "$entry" "$work"
  mv "$entry.tmp" "$entry"
  echo "build-kernel: built in $(($(date +%s) - started)) s"
fi

mkdir -p "$out"
ln -sfn "$entry/vmlinux" "$out/vmlinux"
echo "build-kernel: $out/vmlinux ($(basename "$entry"))"
