#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh"
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --timeout 300 -j2
