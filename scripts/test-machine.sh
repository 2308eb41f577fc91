#!/usr/bin/env bash
# Runs the scenarios on the switch's virtual machine (bmsim boot --machine qemu): builds the
# kernel, busybox and the initramfs (each cached) into the host build (the debug preset's, or
# BM_HOST_BUILD), then runs its Machine/* scenario tests, which boot each scenario on the machine
# and on the simulated board and compare what came out.
# Skips, with one line, only where the machine's packages cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

missing=""
for tool in qemu-system-ppc powerpc-linux-gnu-gcc mkfs.jffs2 mkfs.vfat mcopy cpio flex bison bc dtc; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
[ -f /usr/src/linux-source-6.1.tar.xz ] || missing="$missing linux-source-6.1"
scripts/build-busybox.sh --source >/dev/null 2>&1 || missing="$missing busybox-1.36.1.tar.xz(../shared/third-party)"
if [ -n "$missing" ]; then
  echo "test-machine: SKIPPED: missing$missing (not installable here, or not found);" \
       "the scenarios on the virtual machine did not run."
  exit 0
fi

host=${BM_HOST_BUILD:-build/debug}
if [ -z "${BM_HOST_BUILD:-}" ]; then
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$jobs" --target scenario_tests
fi
started=$(date +%s)
export BMSIM_MACHINE_DIR=$PWD/$host/sim/machine
scripts/build-initramfs.sh "$BMSIM_MACHINE_DIR"
echo "test-machine: the machine was ready in $(($(date +%s) - started)) s"

# A case that fails fails the run. Each failed case prints, under its failure, its board's
# machine.log (QEMU's and the start script's messages, with QEMU's state when the machine was
# still running), and the console's last bytes with the seconds at which they came.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$host/tests/scenario_tests" --gtest_filter='Machine/*' --gtest_brief=1 | tee "$log"; then
  failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z][^ ,]*\).*/\1/p' "$log" | sort -u | paste -sd' ')
  echo "test-machine: FAILED: ${failed:-the scenario tests}; under each failure above: the board's" \
       "machine.log, QEMU's state and the console's last bytes with their times"
  exit 1
fi
