#!/usr/bin/env bash
# Installs what mirvol needs to build and test on Debian 12 (run as root).
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev
      pkg-config fuse3 libfuse3-dev e2fsprogs util-linux iproute2 fio procps kmod python3
      clang libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
