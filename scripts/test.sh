#!/usr/bin/env bash
# Builds mirvol and runs its tests. With "asan" or "tsan", builds and runs
# them under AddressSanitizer + UndefinedBehaviorSanitizer or
# ThreadSanitizer instead, each in its own build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
bash scripts/setup.sh
case "$kind" in
  plain) dir=build; flags=() ;;
  asan)  dir=build-asan; flags=(-DMIRVOL_ASAN=ON -DMIRVOL_BENCH=OFF) ;;
  tsan)  dir=build-tsan; flags=(-DMIRVOL_TSAN=ON -DMIRVOL_BENCH=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
jobs=$(nproc)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
run=()
if [ "$kind" = tsan ]; then
  # ThreadSanitizer of this toolchain cannot map its shadow memory with the
  # kernel's full address-space randomisation; run without it.
  run=(setarch "$(uname -m)" -R)
fi
cd "$dir"
"${run[@]}" ctest --output-on-failure -j "$jobs" --timeout 600
