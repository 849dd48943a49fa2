#!/usr/bin/env bash
# Builds mirvol and runs its tests. With "asan" or "tsan", builds and runs
# them under AddressSanitizer + UndefinedBehaviorSanitizer or
# ThreadSanitizer instead, each in its own build folder. With "fuzz", builds
# the libFuzzer targets with clang and runs each one over its seed corpus
# (every file once) and then for MIRVOL_FUZZ_SECONDS (default 30) of
# fuzzing from the fixed MIRVOL_FUZZ_SEED (default 1), so that a run meets
# the inputs the last run met; any crash, hang, leak or sanitizer report
# fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
bash scripts/setup.sh

fuzz_stage() {
  local dir=build-fuzz secs=${MIRVOL_FUZZ_SECONDS:-30} seed=${MIRVOL_FUZZ_SEED:-1}
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: skipped, the targets need root for a network namespace of their own"
    return 0
  fi
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DMIRVOL_FUZZ=ON \
    -DMIRVOL_BENCH=OFF >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  local passed=0 failed=0 exe target seeds work
  for exe in "$dir"/tests/fuzz/fuzz_*; do
    [ -x "$exe" ] || continue
    target=${exe##*/fuzz_}
    seeds=tests/fuzz/corpus/$target
    work=$(mktemp -d /tmp/mirvol-fuzz-XXXXXX)
    mkdir "$work/corpus"
    local ok=1 dirs=("$work/corpus")
    [ -d "$seeds" ] && dirs+=("$seeds")
    # The corpus as a regression run: every kept input once.
    if [ -d "$seeds" ] && ! timeout 600 "$exe" -timeout=120 "$seeds"/* >"$work/regression.log" 2>&1; then
      ok=0
      echo "fuzz: $target failed on its corpus:"
      sed -n 's/^Running: /input /p' "$work/regression.log" | tail -n 1
      sed -n '/ERROR/,$p' "$work/regression.log" | sed -n 1,60p
    fi
    if [ $ok = 1 ] && ! timeout $((secs + 600)) "$exe" -seed="$seed" -max_total_time="$secs" -timeout=120 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$work/" \
        "${dirs[@]}" >"$work/fuzz.log" 2>&1; then
      ok=0
      echo "fuzz: $target found a fault:"
      sed -n '/ERROR/,$p' "$work/fuzz.log" | sed -n 1,60p
      for f in "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-*; do
        [ -e "$f" ] || continue
        echo "input $f:"
        od -An -tx1 "$f" | sed -n 1,40p
      done
    fi
    if [ $ok = 1 ]; then
      passed=$((passed + 1))
      echo "fuzz: $target clean ($(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log") runs)"
      rm -rf "$work"
    else
      failed=$((failed + 1))
      echo "fuzz: $target: logs kept in $work"
    fi
  done
  echo "fuzz: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

if [ "$kind" = fuzz ]; then
  fuzz_stage
  exit
fi

case "$kind" in
  plain) dir=build; flags=() ;;
  asan)  dir=build-asan; flags=(-DMIRVOL_ASAN=ON -DMIRVOL_BENCH=OFF) ;;
  tsan)  dir=build-tsan; flags=(-DMIRVOL_TSAN=ON -DMIRVOL_BENCH=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan|fuzz]" >&2; exit 2 ;;
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
