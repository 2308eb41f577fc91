#!/usr/bin/env bash
# Checks the style and builds and runs every test:
#   0. clang-format over the C++ files and shellcheck over the shell scripts, both as checks only;
#   1. the host build with AddressSanitizer and UndefinedBehaviorSanitizer: unit tests, the
#      scenario tests that boot the real program on the simulated board, and the install sweeps
#      (a power cut or device fault at each request of an install; their counts are printed);
#   2. the 32-bit big-endian PowerPC build: its unit tests under qemu-ppc, and the scenarios
#      with the target program on the simulated board;
#   3. the scenarios on the virtual machine of the switch (a real kernel under the target program),
#      compared with the simulated board's; its first build compiles a kernel (about 5 minutes);
#   4. a bounded fuzzing run of every fuzz target (BM_FUZZ_SECONDS each, default 20; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
jobs=$(nproc)

git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
# the shell scripts: by name, and the stubs and init that say so in their first line
git ls-files -z | while IFS= read -r -d '' file; do
  if [[ $file == *.sh ]] || { [ -f "$file" ] && head -n 1 "$file" | grep -qE '^#!.*[/ ](ba|da)?sh$'; }; then
    printf '%s\0' "$file"
  fi
done | xargs -0 shellcheck -S warning
echo "style: clang-format and shellcheck found nothing"

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
# the install sweeps write what they found here, shown after the run
export BM_SWEEP_REPORT=$PWD/build/debug/sweep-report.txt
rm -f "$BM_SWEEP_REPORT"
ctest --preset debug -j "$jobs"
cat "$BM_SWEEP_REPORT"

scripts/test-target.sh
scripts/test-machine.sh

fuzz_seconds=${BM_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds"
fi
