#!/usr/bin/env bash
# build-examples.sh PREFIX OUT: builds examples/ against the library installed (or unpacked) under
# PREFIX alone, twice: with pkg-config into OUT/pkgconfig and with find_package into OUT/cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath "$1")
out=$2
pc=$(find "$prefix" -name zunVidStreamLib2.pc)
# PKG_CONFIG_LIBDIR instead of _PATH: no .pc file of the system's may stand in.
mkdir -p "$out/pkgconfig"
for example in sender receiver; do
    cc -Wall -Wextra -Werror examples/$example.c \
        $(PKG_CONFIG_LIBDIR=$(dirname "$pc") pkg-config --cflags --libs zunVidStreamLib2) \
        -o "$out/pkgconfig/$example"
done
cmake -S examples -B "$out/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
found=$(sed -n 's/^zunVidStreamLib2_DIR:PATH=//p' "$out/cmake/CMakeCache.txt")
case $found in
    "$prefix"/*) ;;
    *) echo "find_package took zunVidStreamLib2 from $found, not from $prefix" >&2; exit 1 ;;
esac
cmake --build "$out/cmake" >/dev/null
