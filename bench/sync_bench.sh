#!/usr/bin/env bash
# Builds and runs bench/sync_bench (see bench/README.md), after installing what
# it compares against: unison, rclone, curl and rsync, only those missing. The
# project's own packages (the compiler, Qt, the suite's FTP and WebDAV servers)
# come from scripts/setup, which this runs first.
#
#   bench/sync_bench.sh [sync_bench options]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup"

tools=(unison rclone curl rsync)
missing=()
for p in "${tools[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "sync_bench.sh: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DTANDEMORA_BENCH=ON -DTANDEMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target sync_bench -j "${BENCH_JOBS:-3}" >/dev/null
exec "$build/bench/sync_bench" "$@"
