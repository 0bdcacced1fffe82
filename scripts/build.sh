#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR), passing any extra arguments to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir"
