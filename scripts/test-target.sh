#!/usr/bin/env bash
# Builds for the switch (32-bit big-endian PowerPC) and runs the unit tests there under
# user-mode emulation (qemu-ppc). Also links the static program, shows what both programs are
# and their stripped sizes, and runs the scenario tests of the host build (the debug preset's,
# or those of BM_HOST_BUILD) with the target program on the simulated board.
# Skips, with a message, only where the cross compiler or the emulator cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# --- the cross compiler and the emulator
tools_present() {
  command -v powerpc-linux-gnu-g++ >/dev/null && command -v qemu-ppc >/dev/null
}
if ! tools_present && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "test-target: installing g++-powerpc-linux-gnu qemu-user"
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends g++-powerpc-linux-gnu qemu-user; } ||
    echo "test-target: the installation failed" >&2
fi
if ! tools_present; then
  echo "test-target: SKIPPED: the PowerPC cross compiler (powerpc-linux-gnu-g++, package" \
       "g++-powerpc-linux-gnu) or the emulator (qemu-ppc, package qemu-user) is missing and" \
       "cannot be installed here; the target build and its unit tests did not run."
  exit 0
fi

# --- build and run the unit tests under qemu-ppc
cmake --preset target >/dev/null
cmake --build --preset target -j "$jobs"
ctest --preset target -j "$jobs"

# --- the static program, and what both programs are
cmake --preset target-static >/dev/null
cmake --build --preset target-static -j "$jobs" --target bootmanager

stripped_size() {
  local copy
  copy=$(mktemp)
  powerpc-linux-gnu-strip -o "$copy" "$1"
  stat -c %s "$copy"
  rm -f "$copy"
}
for program in build/target/src/bootmanager build/target-static/src/bootmanager; do
  description=$(file -b "$program")
  case "$description" in
    *"32-bit MSB"*PowerPC*) ;;
    *) echo "test-target: $program is not a 32-bit big-endian PowerPC program: $description" >&2
       exit 1 ;;
  esac
  echo "test-target: $program: $(stripped_size "$program") bytes stripped; $description"
done

# --- the target program on the simulated board: every scenario that boots bootmanager (the
# Bmsim* and BmimageCli* suites test the host tools themselves; the install sweeps take the
# host's speed, and the memory limit of a sanitizer build's bmsim reaches only a host program)
if [ -z "${BM_HOST_BUILD:-}" ]; then
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$jobs" --target scenario_tests
fi
scenario_tests=${BM_HOST_BUILD:-build/debug}/tests/scenario_tests
scripts/target-board.sh "$scenario_tests" --gtest_filter='-Bmsim*:BmimageCli*:InstallSweep*:UpdateSweep*:*TooLargeForMemory*:Machine/*' --gtest_brief=1
