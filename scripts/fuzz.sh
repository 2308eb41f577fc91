#!/usr/bin/env bash
# Fuzzes the image header parser, the package walk and the package listing with libFuzzer for a
# bounded time, from a seed corpus of valid images of each header format.
#   scripts/fuzz.sh [SECONDS]     default 60; exits non-zero when the fuzzer finds a fault
# Findings (crashing or hanging inputs) are kept in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${BM_FUZZ_BUILD_DIR:-build/fuzz}
scripts/bootstrap.sh

# build the fuzz target and the seed writer with clang
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBM_FUZZ=ON -DBM_BUILD_TESTS=OFF -DBM_BUILD_SIM=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target image_fuzz fuzz_seed_corpus

# fresh seeds; the working corpus grows across runs
rm -rf "$build/seeds"
mkdir -p "$build/seeds" "$build/corpus" "$build/findings"
"$build/tests/fuzz/fuzz_seed_corpus" "$build/seeds"

# fuzz
echo "fuzz: running image_fuzz for ${seconds} s"
"$build/tests/fuzz/image_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/findings/" -print_final_stats=1 "$build/corpus" "$build/seeds"
echo "fuzz: no finding in ${seconds} s"
