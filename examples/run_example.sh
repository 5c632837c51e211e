#!/usr/bin/env bash
# Runs the exponential-attenuation program on the example input set.
# Usage: examples/run_example.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out="$root/examples/out"
rm -rf "$out" && mkdir -p "$out"
"$build/examples/tessaro_example_inputs" write "$out"
(cd "$out" && "$build/src/gpu/2d/exponential_attenuation/tessaro_2d_exponential_attenuation_multi_gpu" > run.log)
grep -a -E '^(Number of GPUs|Done\.)' "$out/run.log"
"$build/examples/tessaro_example_inputs" summary "$out"
echo "Full program output: $out/run.log"
