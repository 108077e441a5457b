#!/usr/bin/env bash
# The engine's GoogleTest suites, built and run twice: a plain Release build,
# then under AddressSanitizer + UndefinedBehaviorSanitizer. No Python needed.
# Exits non-zero on any failure or sanitizer report.
#
#   scripts/engine-tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt-deps.sh
ensure_apt "${ENGINE_APT_PACKAGES[@]}"
JOBS=${BRINDLE_JOBS:-2}
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)

build_and_test() {  # $1: build dir under build/, rest: extra cmake arguments
  local dir=build/$1
  shift
  echo "--- engine tests: $dir $*"
  cmake -S . -B "$dir" "${GEN[@]}" -DBRINDLE_BUILD_EXTENSION=OFF -DBRINDLE_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

build_and_test engine-rel -DCMAKE_BUILD_TYPE=Release -DBRINDLE_SANITIZE=

ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test engine-asan -DCMAKE_BUILD_TYPE=Release -DBRINDLE_SANITIZE=address,undefined
