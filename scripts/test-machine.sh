#!/usr/bin/env bash
# Runs the scenarios on the switch's virtual machine (bmsim boot --machine qemu): builds the
# kernel, busybox and the initramfs (each cached), then runs the Machine* scenario tests of the
# host build (the debug preset's, or those of BM_HOST_BUILD), which boot each scenario on the
# machine and on the simulated board and compare what came out.
# Skips, with one line, only where the machine's packages cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

missing=""
for tool in qemu-system-ppc powerpc-linux-gnu-gcc mkfs.jffs2 mkfs.vfat mcopy cpio flex bison bc; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
[ -f /usr/src/linux-source-6.1.tar.xz ] || missing="$missing linux-source-6.1"
scripts/build-busybox.sh --source >/dev/null 2>&1 || missing="$missing busybox-1.36.1.tar.xz(../shared/third-party)"
if [ -n "$missing" ]; then
  echo "test-machine: SKIPPED: missing$missing (not installable here, or not found);" \
       "the scenarios on the virtual machine did not run."
  exit 0
fi

started=$(date +%s)
scripts/build-initramfs.sh
echo "test-machine: the machine was ready in $(($(date +%s) - started)) s"

if [ -z "${BM_HOST_BUILD:-}" ]; then
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$jobs" --target scenario_tests
fi
export BMSIM_MACHINE_DIR=$PWD/build/machine
scenario_tests=${BM_HOST_BUILD:-build/debug}/tests/scenario_tests
# The serial download on the machine has been seen to stall after the slot write, once in some
# dozens of runs, not yet understood: a case that fails runs once more, and the run says so. A
# case that fails twice fails the run.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$scenario_tests" --gtest_filter='*Machine*' --gtest_brief=1 | tee "$log"; then
  failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z][^ ,]*\).*/\1/p' "$log" | sort -u | paste -sd:)
  [ -n "$failed" ] || exit 1
  echo "test-machine: FAILED ONCE: $failed; running it again"
  "$scenario_tests" --gtest_filter="$failed" --gtest_brief=1
  echo "test-machine: $failed failed once and passed when run again"
fi
