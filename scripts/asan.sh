#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan (or
# $ASAN_BUILD_DIR) and runs the whole test suite there. Any report fails the run: the build
# does not recover from a finding, and the options below stop at the first one.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
build_dir=${ASAN_BUILD_DIR:-build-asan}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUN_SANITIZE=address,undefined -DZUN_WITH_BENCH=OFF
cmake --build "$build_dir"
export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1 strict_string_checks=1 detect_stack_use_after_return=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}"
ctest --test-dir "$build_dir" --output-on-failure --timeout 300 -j2
