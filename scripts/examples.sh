#!/usr/bin/env bash
# Installs into a temporary prefix, checks that the installed zunstream runs from there with no
# LD_LIBRARY_PATH (its RUNPATH finds the library), builds examples/ against the installed library
# twice (pkg-config, then find_package) and runs each build's sender against the other's receiver
# over "Local (Memory)" and over UDP on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "${BUILD_DIR:-build}" --prefix "$prefix" >/dev/null
env -u LD_LIBRARY_PATH "$prefix/bin/zunstream" --version
echo "--- the zunstream installed under a prefix finds its library"

"$PWD/scripts/build-examples.sh" "$prefix" "$work"
export LD_LIBRARY_PATH
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'libzunVidStreamLib2.so.1')")
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
