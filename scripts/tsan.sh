#!/usr/bin/env bash
# Builds with ThreadSanitizer into build-tsan (or $TSAN_BUILD_DIR) and runs the tests labelled
# "receive" (the receive worker, its hand-over of frames and the window's receive path) and
# "library" (the library's own tests: its threads, queues, read buffer and transports).
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
build_dir=${TSAN_BUILD_DIR:-build-tsan}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUN_SANITIZE=thread -DZUN_WITH_BENCH=OFF
cmake --build "$build_dir"
# Any report fails the run. Qt is not instrumented, so what it does inside (its own futex
# mutexes, QtTest's watchdog thread) is left out and our side is checked.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ignore_noninstrumented_modules=1 ${TSAN_OPTIONS:-}"
# Full-HD throughput cases are left out: under ThreadSanitizer's slowdown they miss their
# deadline, and the same paths run here with smaller frames.
ctest --test-dir "$build_dir" -L 'receive|library' -E 'FullHdRaw' --output-on-failure --timeout 300 -j2
