#!/usr/bin/env bash
# Installs the library into a temporary prefix, builds examples/ against it twice (pkg-config,
# then find_package) and runs each build's sender against the other's receiver over
# "Local (Memory)" and over UDP on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "${BUILD_DIR:-build}" --prefix "$prefix" >/dev/null

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name zunVidStreamLib2.pc)")
mkdir "$work/pkgconfig"
for example in sender receiver; do
    cc -Wall -Wextra -Werror examples/$example.c $(pkg-config --cflags --libs zunVidStreamLib2) \
        -o "$work/pkgconfig/$example"
done
cmake -S examples -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$work/cmake" >/dev/null

export LD_LIBRARY_PATH=$(pkg-config --variable=libdir zunVidStreamLib2)
# The receiver starts first so that no frame goes to nobody; each side is bounded in time.
exchange() {
    local protocol=$1 port=$2 senders=$3 receivers=$4
    echo "--- $protocol: $senders/sender -> $receivers/receiver"
    timeout 20 "$work/$receivers/receiver" "$protocol" "$port" 10 10 >"$work/received" &
    local receiver=$!
    sleep 0.3
    timeout 20 "$work/$senders/sender" "$protocol" "$port" 127.0.0.1 2
    local status=0
    wait "$receiver" || status=$?
    tail -n 2 "$work/received"
    return "$status"
}
exchange memory 23588 cmake pkgconfig
exchange udp 23589 pkgconfig cmake
