#!/usr/bin/env bash
# One run of a fuzz target: run.sh BINARY NAME SECONDS ARTIFACTS [CORPUS]
#
# Replays every seed of fuzz/corpus/NAME, then tries new inputs for SECONDS.
# New inputs worth keeping go to CORPUS (a folder that long runs keep between
# runs), or to a scratch folder that is thrown away. A crash, leak, hang or
# broken property ends the run with an error and leaves the input that caused it
# in ARTIFACTS.
set -euo pipefail
binary=$1
name=$2
seconds=$3
artifacts=$4
corpus=${5:-}
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "$corpus" ]; then
  corpus=$(mktemp -d)
  trap 'rm -rf "$corpus"' EXIT
fi
mkdir -p "$artifacts" "$corpus"

args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
      -artifact_prefix="$artifacts/$name-")
if [ -f "$here/$name.dict" ]; then
  args+=(-dict="$here/$name.dict")
fi
"$binary" "${args[@]}" "$corpus" "$here/corpus/$name"
