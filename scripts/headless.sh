#!/usr/bin/env bash
# A server's build: with the window off into build-headless (or $HEADLESS_BUILD_DIR), it builds
# the library, zunstream and every test that needs no widget, links nothing of Qt Widgets or
# Gui, and runs zunstream's tests over loopback: zunstream is the one program built here from
# other parts than in the suite's build, while the library's tests are the same sources built
# the same way and ran there. Then a build without tests is only configured and must hold no
# test and no benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
build_dir=${HEADLESS_BUILD_DIR:-build-headless}
cmake -S . -B "$build_dir" -G Ninja -DZUN_WITH_WINDOW=OFF
cmake --build "$build_dir"
for program in "$build_dir/cli/zunstream" "$build_dir"/stream/libzunVidStreamLib2.so; do
    if ldd "$program" | grep -E 'libQt6(Widgets|Gui)'; then
        echo "$program links Qt Widgets or Gui" >&2
        exit 1
    fi
done
ctest --test-dir "$build_dir" -L cli -E InPrivateNamespace --output-on-failure --timeout 300 -j2

bare_dir=$build_dir/no-tests
cmake -S . -B "$bare_dir" -G Ninja -DZUN_WITH_WINDOW=OFF -DBUILD_TESTING=OFF >/dev/null
if ninja -C "$bare_dir" -t targets all | grep -E '(^|/)(tst_[a-z]+|zunbench|zunstreampeer)(:| )'; then
    echo "BUILD_TESTING=OFF still builds tests or benchmarks" >&2
    exit 1
fi
echo "headless: zunstream's tests passed; without tests no test or benchmark is built"
