#!/usr/bin/env bash
# Measures the device emulator's own cost: an install's flash phase (15,115 requests: per 64 KiB
# block a read, an erase and 64 writes of 1 KiB) against a plain erase-and-write of the same
# blocks (458 requests), side by side through the same preloaded emulator, with the ratio. The
# target is an install within 3 times the plain writer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBM_BENCH=ON -DBM_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j 2 --target emulator_bench
build/bench/tests/bench/emulator_bench
