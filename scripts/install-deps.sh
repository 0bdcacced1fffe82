#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the tool and its package need, and any
# more named as arguments, when some are missing and apt-get is there to install them. Elsewhere
# it names them and returns, so the build goes on and CMake's errors say what is really missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libturbojpeg0-dev libisal-dev libgtest-dev
          xvfb xauth iproute2 nftables util-linux clang libclang-rt-14-dev
          dpkg-dev file desktop-file-utils help2man lintian ethtool "$@")
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null ||
   { [ -n "$sudo" ] && ! command -v sudo >/dev/null; }; then
    echo "cannot install packages here; the build needs these or their equivalents:" >&2
    echo "  ${packages[*]}" >&2
    exit 0
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
