#!/usr/bin/env bash
# On a machine with a GPU: builds the host and the CUDA flavour, runs both
# programs on the same inputs with each, checks that genout.dat is the same bit
# for bit, and times the CUDA build. Results go to standard output (and to
# $OUT/device_check.txt when OUT is set).
# Usage: tools/device_check.sh [nX nY nT]   (default 400 300 400)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
nX=${1:-400} nY=${2:-300} nT=${3:-400}
jobs=$(nproc)
nvcc=$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)
log=${OUT:+$OUT/device_check.txt}
say() { echo "$*"; [ -z "$log" ] || echo "$*" >> "$log"; }

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
cmake --build build -j"$jobs" > /dev/null
cmake -S . -B build-cuda -DCMAKE_BUILD_TYPE=Release -DTESSARO_RUNTIME=cuda -DCMAKE_CUDA_COMPILER="$nvcc" > /dev/null
cmake --build build-cuda -j"$jobs" > /dev/null
say "$(nvidia-smi --query-gpu=name,driver_version --format=csv,noheader 2>/dev/null || echo 'GPU: unknown')"

status=0
for program in tessaro_2d_exponential_attenuation_multi_gpu tessaro_2d_2_relax_multi_gpu; do
    for flavour in build build-cuda; do
        dir="$root/bench/out/$flavour-$program"
        rm -rf "$dir" && mkdir -p "$dir"
        build/examples/tessaro_example_inputs write "$dir" "$nX" "$nY" "$nT" > /dev/null
        exe=$(find "$flavour/src" -name "$program" -type f | head -n 1)
        start=$(date +%s.%N)
        (cd "$dir" && "$root/$exe" > run.log 2> err.log) || { say "$flavour $program failed: $(cat "$dir/err.log")"; status=1; }
        end=$(date +%s.%N)
        say "$(awk -v s="$start" -v e="$end" -v f="$flavour" -v p="$program" -v n=$((nX * nY * nT)) \
            'BEGIN { printf "%s %s: %.2f s, %.3g point-steps/s\n", f, p, e - s, n / (e - s) }')"
    done
    if cmp -s "bench/out/build-$program/genout.dat" "bench/out/build-cuda-$program/genout.dat"; then
        say "$program: genout.dat identical on the host runtime and the GPU"
    else
        say "$program: genout.dat DIFFERS between the host runtime and the GPU"
        status=1
    fi
done
exit $status
