#!/usr/bin/env bash
# Measures the CRC-32 throughput: the bit-by-bit definition, the product's table-driven
# crc32_update and zlib's crc32 over one 64 MiB buffer, with the two ratios; then the boot's
# verify-and-extract of 1, 16 and 64 MiB application images: a plain read, write and unpack of
# the same bytes, the boot without signatures and the boot with a signature, and the signature's
# cost as a ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DBM_BENCH=ON -DBM_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target crc32_bench boot_bench
build/bench/tests/bench/crc32_bench
build/bench/tests/bench/boot_bench
