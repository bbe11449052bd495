#!/usr/bin/env bash
# The agent's CPU while a 30 fps video plays on the shared screen, at 1080p and 4K, through the
# agent's PipeWire stream sampled as the screen reader samples it (bench/PipeWireCpuBench.cpp). Needs
# pipewire, pw-link and gst-launch-1.0; starts a PipeWire daemon of its own.
#   bench/pipewire-cpu.sh <build tree configured with -DWS_BUILD_BENCH=ON> [seconds=20]
set -euo pipefail
tree=$(cd "${1:?build tree}" && pwd)
seconds=${2:-20}
cmake --build "$tree" -j2 --target pipewire_cpu_bench >/dev/null
echo "== machine"; nproc; grep -m1 'model name' /proc/cpuinfo; uptime
for size in "1920 1080" "3840 2160"; do
  # shellcheck disable=SC2086
  "$tree/bench/pipewire_cpu_bench" $size 30 "$seconds"
done
