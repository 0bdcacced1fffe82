#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tool need; a no-op when all are there.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libturbojpeg0-dev libisal-dev libgtest-dev
          xvfb xauth iproute2 nftables util-linux clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
