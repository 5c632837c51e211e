#!/usr/bin/env bash
# Throughput of one program on a generated case, start-up and output included:
# grid point-steps per second and the effective memory bandwidth (at least 92 bytes per point and step for
# the exponential program: 36 in fd_u, 32 in fd_p, 24 in the time shift).
#
# Usage: bench/run_bench.sh [BUILD_DIR] [nX nY nT] [PROGRAM]
#   BUILD_DIR  default build (host runtime; a CUDA build runs on the GPU)
#   PROGRAM    tessaro_2d_exponential_attenuation_multi_gpu (default) or
#              tessaro_2d_2_relax_multi_gpu
# Environment: TESSARO_HOST_THREADS as for any run (unset: all cores).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
nX=${2:-1000} nY=${3:-1000} nT=${4:-100}
program=${5:-tessaro_2d_exponential_attenuation_multi_gpu}
exe=$(find "$build/src" -name "$program" -type f -perm -u+x | head -n 1)
[ -n "$exe" ] || { echo "no $program under $build/src" >&2; exit 1; }
out="$root/bench/out"
rm -rf "$out" && mkdir -p "$out"
"$build/examples/tessaro_example_inputs" write "$out" "$nX" "$nY" "$nT" > /dev/null
start=$(date +%s.%N)
(cd "$out" && "$exe" > run.log)
end=$(date +%s.%N)
# Bytes per point and step are given for the exponential program only.
bytes=0
[ "$program" = tessaro_2d_exponential_attenuation_multi_gpu ] && bytes=92
awk -v s="$start" -v e="$end" -v nx="$nX" -v ny="$nY" -v nt="$nT" -v p="$program" -v b="$bytes" \
    -v t="${TESSARO_HOST_THREADS:-all}" '
BEGIN {
    sec = e - s; pts = nx * ny * nt
    printf "%s, %d x %d, %d steps, host threads %s: %.2f s, %.3g point-steps/s", p, nx, ny, nt, t, sec, pts / sec
    if (b > 0)
        printf ", %.2f GB/s effective", pts * b / sec / 1e9
    printf "\n"
}'
