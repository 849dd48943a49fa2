#!/usr/bin/env bash
# Builds mirvol and starts one host with mirror disks NMP3 and NMP1; it runs
# in the foreground until Ctrl-C. Its kernel log goes to ./mirvol-demo.log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j "$(nproc)"
mkdir -p /tmp/mirvol-demo/mnt
exec ./build/host/mirvold --mount /tmp/mirvol-demo/mnt --control /tmp/mirvol-demo/control.sock \
  --log ./mirvol-demo.log nmp_minor=3,1
