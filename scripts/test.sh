#!/usr/bin/env bash
# Builds and runs every test:
#   1. the host build with AddressSanitizer and UndefinedBehaviorSanitizer: unit tests and the
#      scenario tests that boot the real program on the simulated board;
#   2. the 32-bit big-endian PowerPC build: its unit tests under qemu-ppc, and the scenarios
#      with the target program on the simulated board;
#   3. the scenarios on the virtual machine of the switch (a real kernel under the target program),
#      compared with the simulated board's; its first build compiles a kernel (about 5 minutes);
#   4. a bounded fuzzing run of the image parser (BM_FUZZ_SECONDS, default 60; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs=$(nproc)

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

scripts/test-target.sh
scripts/test-machine.sh

fuzz_seconds=${BM_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds"
fi
