#!/usr/bin/env bash
# Builds and runs every test: the host build with sanitizers (unit and scenario tests).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs=$(nproc)

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"

# The same unit tests built for the 32-bit big-endian PowerPC target, run under qemu-ppc, and
# the scenarios with the target program on the simulated board.
scripts/test-target.sh
