#!/usr/bin/env bash
# Runs one fuzz target for SECONDS over the corpus in the tree. New inputs
# go to a scratch folder, crashes to the build folder: the tree is only read.
#   run_fuzz.sh TARGET SECONDS CORPUS OUT_DIR
set -euo pipefail
target=$1 seconds=$2 corpus=$3 out=$4
mkdir -p "$out/found"
exec "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/found" "$corpus"
