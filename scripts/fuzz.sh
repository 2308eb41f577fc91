#!/usr/bin/env bash
# Fuzzes every parser of what reaches the switch from outside with libFuzzer, each target for a
# bounded time from a seed corpus:
#   image_fuzz            the header parser, the boot path's walk and bmimage's listing
#   fuzz_install_walk     a package as the installer walks, verifies and writes it (to a
#                         simulated board's flash)
#   fuzz_slot_image       a slot file as the slot boot finds, reads and verifies its image
#   fuzz_rescue_image     the rescue partition's image (header check, read, CRC)
#   fuzz_console_answers  the USB chooser's answer, the slot question's line, md5sum's output
#   fuzz_boot_settings    the boot-loader environment's options, an application's env-setup file
#   fuzz_signatures       the signature images after an image, and a key file's PEM text
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]   default 20 s per target, every target; exits non-zero
#                                           when a target finds a fault
# Findings (crashing or hanging inputs) are kept in build/fuzz/findings/TARGET-*; each target's
# working corpus in build/fuzz/corpus/TARGET grows across runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image_fuzz fuzz_install_walk fuzz_slot_image fuzz_rescue_image fuzz_console_answers fuzz_boot_settings fuzz_signatures)
fi
build=${BM_FUZZ_BUILD_DIR:-build/fuzz}
scripts/bootstrap.sh

# build the targets and the seed writer with clang
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DBM_FUZZ=ON -DBM_BUILD_TESTS=OFF -DBM_BUILD_SIM=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" fuzz_seed_corpus

# fresh seeds; the working corpora grow across runs
rm -rf "$build/seeds"
mkdir -p "$build/seeds/images" "$build/seeds/texts" "$build/findings"
"$build/tests/fuzz/fuzz_seed_corpus" "$build/seeds"

for target in "${targets[@]}"; do
  case "$target" in
    fuzz_console_answers | fuzz_boot_settings) seeds=("$build/seeds/texts") ;;
    fuzz_signatures) seeds=("$build/seeds/images" "$build/seeds/texts") ;;
    *) seeds=("$build/seeds/images") ;;
  esac
  mkdir -p "$build/corpus/$target"
  echo "fuzz: running $target for ${seconds} s"
  status=0
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/findings/$target-" -print_final_stats=1 "$build/corpus/$target" "${seeds[@]}" \
    >"$build/$target.log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY|^artifact' "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target found a fault (status $status); the input is in $build/findings/" >&2
    exit 1
  fi
  echo "fuzz: $target: no finding in ${seconds} s"
done
