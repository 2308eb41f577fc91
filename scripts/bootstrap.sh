#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing (Debian 12). It needs root only
# when something is missing. scripts/test.sh, demo.sh, fuzz.sh and bench.sh call it first; the
# scripts they run in turn (test-target.sh, test-machine.sh, the machine's build scripts) rely on
# it having run.
set -euo pipefail

packages=(
  cmake make g++ pkg-config file       # the build
  dpkg-dev                             # cpack's Debian packages: the host package's library dependencies
  lintian help2man                     # the packages' review, and manual pages made of the --help texts
  libgtest-dev googletest              # unit tests; the sources also build GoogleTest for the target
  libbenchmark-dev zlib1g-dev          # the CRC benchmark (zlib is the peer it is measured against)
  libi2c-dev                           # SMBus byte-data transfers of the product
  openssl                              # the signatures test: keys and signatures made by the common tool
  bubblewrap busybox-static            # the simulated board's sandbox and its root file system
  lrzsz                                # the XMODEM sender and receiver of the serial download
  clang libclang-rt-14-dev             # libFuzzer for the fuzz targets
  clang-format shellcheck              # the style checks of scripts/test.sh
  g++-powerpc-linux-gnu qemu-user      # the 32-bit big-endian PowerPC target and its emulator
)
# The switch as a virtual machine (bmsim boot --machine qemu): its kernel's source and build
# tools, the machine, the jffs2 maker, the initramfs archiver, the USB stick's FAT tools and the
# device-tree compiler (the machine's UART described as a 16550A).
# Optional: where they cannot be installed, the machine's tests say they were skipped.
machine_packages=(
  linux-source-6.1 flex bison bc cpio qemu-system-ppc mtd-utils dosfstools mtools device-tree-compiler
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

missing=()
for p in "${machine_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } ||
    echo "bootstrap: the virtual machine's packages could not be installed; its tests will be skipped" >&2
fi
