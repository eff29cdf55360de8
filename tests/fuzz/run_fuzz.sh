#!/usr/bin/env bash
# Runs one fuzz target for SECONDS over the corpus in the tree. New inputs
# go to a scratch folder, crashes to the build folder: the tree is only read.
# The seed is fixed so that a CI run explores the same inputs every time
# (a slower machine just gets less far); finding new ones is the long
# runs' job (docs/fuzzing.md). VX_FUZZ_SEED overrides it.
#   run_fuzz.sh TARGET SECONDS CORPUS OUT_DIR
set -euo pipefail
target=$1 seconds=$2 corpus=$3 out=$4
mkdir -p "$out/found"
exec "$target" -seed="${VX_FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/found" "$corpus"
