#!/usr/bin/env bash
# Installs what is missing, builds the library and runs every test: the plain
# build, then ThreadSanitizer, then AddressSanitizer with UndefinedBehavior-
# Sanitizer, then each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-30}

build_and_test() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

echo "== plain build"
build_and_test build
echo "== ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test build-tsan -DVANTREL_SANITIZE=thread -DVANTREL_BENCH=OFF
echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
  build_and_test build-asan -DVANTREL_SANITIZE=address,undefined -DVANTREL_BENCH=OFF

echo "== fuzzing, ${fuzz_seconds}s per target"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_FUZZ=ON -DVANTREL_SANITIZE=address,undefined -DVANTREL_TESTS=OFF -DVANTREL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs"
bash fuzz/run.sh build-fuzz "$fuzz_seconds"
