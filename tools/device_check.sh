#!/usr/bin/env bash
# The check of the CUDA build against the host runtime, and its timing.
#
# Usage: tools/device_check.sh [--host-only] [--alter] [nX nY nT]
#   nX nY nT     size of the check cases (default 771 525 400; nX >= 136, nY >= 40)
#   --host-only  no GPU needed: the host build stands in for the CUDA build, on
#                3 simulated GPUs under the deferred schedule against 1 eager,
#                on 1 deferred against 3 eager, and on 1 presented as 2 and as
#                3 logical GPUs, deferred, against 2 and 3 eager; the block
#                shapes are timed on a small case (CI runs this)
#   --alter      changes one sample of the first file compared, to show that
#                the check then fails
# Environment: DEVICE_CHECK_LARGE, the side of the square timing case
# (default 8192; 256 with --host-only); OUT, a folder that receives a copy of
# the log as it grows and, in failed_runs.log, the standard error of each
# failed run or build.
#
# First builds and runs the GPU probe (tessaro_gpu_info): without a usable GPU
# the check ends there. Then builds the host flavour and, per update-block
# shape (16x16, 4x32, 2x64, 1x128), the CUDA flavour under build-check/, for
# the local GPUs' architectures only where the default list holds them. For
# each program, check case (1 and 2, tessaro_example_inputs check-case) and
# memory-saving mode (off, on), runs the CUDA build on 1 GPU
# (CUDA_VISIBLE_DEVICES), on that GPU presented as 2 and as 3 logical GPUs
# (TESSARO_LOGICAL_GPUS) and on every GPU, each against the host runtime with
# as many simulated GPUs, and compares genout.dat byte for byte, any NaN equal
# to any NaN; a comparison counts only when at least half of the samples are
# non-zero and finite. Each other shape runs both cases on the 3 logical GPUs
# against the same host runs. Then, per shape, times each program on one GPU
# on the large case: the stepping alone, from two runs of different nT;
# point-steps per second and, for the exponential program, the effective
# bandwidth at 92 bytes per point-step and its fraction of the GPU's peak. The
# genout.dat of each shape's longer run is compared with that of 16x16. The
# last line is the verdict, and the exit status follows it: 0 for "device
# check: PASS (n comparisons)", 1 for "device check: FAIL (k of n differ or
# failed)". Everything is logged to build-check/device_check.log.
set -uo pipefail
# A relative OUT names a folder of the caller's directory.
[ -z "${OUT:-}" ] || OUT=$(realpath -m -- "$OUT")
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

host_only=0 alter=0 sizes=()
for arg in "$@"; do
    case $arg in
    --host-only) host_only=1 ;;
    --alter) alter=1 ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) sizes+=("$arg") ;;
    esac
done
if [ ${#sizes[@]} -ne 0 ] && [ ${#sizes[@]} -ne 3 ]; then
    echo "usage: $0 [--host-only] [--alter] [nX nY nT]" >&2
    exit 2
fi
nX=${sizes[0]:-771} nY=${sizes[1]:-525} nT=${sizes[2]:-400}
large=${DEVICE_CHECK_LARGE:-$([ $host_only = 1 ] && echo 256 || echo 8192)}
whole() { [[ $1 =~ ^[0-9]+$ ]] && [ "${#1}" -le 9 ]; }
if ! whole "$nX" || ! whole "$nY" || ! whole "$nT" || ! whole "$large" || [ "$nX" -lt 136 ] || [ "$nY" -lt 40 ] ||
    [ "$nT" -lt 1 ] || [ "$large" -lt 136 ]; then
    echo "$0: the cases need nX >= 136, nY >= 40, nT >= 1 and DEVICE_CHECK_LARGE >= 136" >&2
    exit 2
fi
jobs=$(nproc 2>/dev/null || echo 4)
shapes=(16x16 4x32 2x64 1x128)
programs=(tessaro_2d_exponential_attenuation_multi_gpu tessaro_2d_2_relax_multi_gpu)
declare -A program_dir=([tessaro_2d_exponential_attenuation_multi_gpu]=exponential_attenuation
    [tessaro_2d_2_relax_multi_gpu]=multiple_relaxation)
declare -A program_name=([tessaro_2d_exponential_attenuation_multi_gpu]=exponential
    [tessaro_2d_2_relax_multi_gpu]=two-relaxation)
# Timed steps beyond the short run's 10, and the budget after which no more
# timing runs start (the whole check stays within 8 minutes on one H100).
declare -A timed_steps=([tessaro_2d_exponential_attenuation_multi_gpu]=300 [tessaro_2d_2_relax_multi_gpu]=150)
[ $host_only = 1 ] && timed_steps=([tessaro_2d_exponential_attenuation_multi_gpu]=20 [tessaro_2d_2_relax_multi_gpu]=10)
timing_budget_s=400

out=$root/build-check
mkdir -p "$out"
log=$out/device_check.log
: > "$log"
# The log, and its copy in $OUT where the caller names a folder.
logs=("$log")
kept=""
if [ -n "${OUT:-}" ]; then
    if mkdir -p "$OUT" 2> /dev/null && [ -d "$OUT" ] && : > "$OUT/device_check.log" 2> /dev/null; then
        kept=$OUT
        logs+=("$kept/device_check.log")
        rm -f "$kept/failed_runs.log"
    else
        echo "$0: OUT=$OUT is not a folder that can be written; the log stays in $log" >&2
    fi
fi
say() { echo "$*" | tee -a "${logs[@]}"; }
# keep_failed LABEL FILE: the end of FILE, the error of a failed run or build,
# into $OUT/failed_runs.log, once.
keep_failed() {
    [ -n "$kept" ] || return 0
    grep -qxF "== $1" "$kept/failed_runs.log" 2> /dev/null && return 0
    { echo "== $1"; tail -n 200 "$2" 2> /dev/null; } >> "$kept/failed_runs.log"
}

# No setting of the caller's may steer the runs.
for v in $(compgen -e); do
    case $v in TESSARO_HOST_* | TESSARO_LOGICAL_GPUS | DIVEV_MEMORY_SAVING) unset "$v" ;; esac
done

# plan_configs FIRST_GPU NGPUS: each configuration of the comparisons, a
# label, the tested run's environment and the reference's simulated GPU
# count; the other block shapes run under the one of 3 logical GPUs
# (shape_config).
plan_configs() {
    configs=()
    local n deferred=TESSARO_HOST_SCHEDULE=deferred
    if [ $host_only = 1 ]; then
        configs+=("host runtime on 3 GPUs, deferred, against 1 eager|TESSARO_HOST_GPUS=3 $deferred|1")
        configs+=("host runtime on 1 GPU, deferred, against 3 eager|TESSARO_HOST_GPUS=1 $deferred|3")
        for n in 2 3; do
            configs+=("host runtime on 1 GPU as $n logical GPUs, deferred, against $n eager|TESSARO_HOST_GPUS=1 $deferred TESSARO_LOGICAL_GPUS=$n|$n")
        done
    else
        configs+=("CUDA on 1 GPU against the host runtime on 1|CUDA_VISIBLE_DEVICES=$1|1")
        for n in 2 3; do
            configs+=("CUDA on 1 GPU as $n logical GPUs against the host runtime on $n|CUDA_VISIBLE_DEVICES=$1 TESSARO_LOGICAL_GPUS=$n|$n")
        done
    fi
    shape_config=$((${#configs[@]} - 1))
    if [ $host_only = 0 ] && [ "$2" -gt 1 ]; then
        configs+=("CUDA on $2 GPUs against the host runtime on $2||$2")
    fi
}
plan_configs 0 1

compared=0 failed=0
verdict() {
    if [ $failed -eq 0 ] && [ $compared -gt 0 ]; then
        say "device check: PASS ($compared comparisons)"
        exit 0
    fi
    say "device check: FAIL ($failed of $compared differ or failed)"
    exit 1
}
# Nothing could be compared: every planned comparison failed (as many as on
# one GPU): 8 per configuration, and per other block shape 4 on the check
# cases and 2 on the large case.
fail_all() {
    compared=$((8 * ${#configs[@]} + 6 * (${#shapes[@]} - 1)))
    failed=$compared
    verdict
}

say "device check, $(date -u '+%Y-%m-%d %H:%M UTC'), $([ $host_only = 1 ] && echo 'host runtime only' || echo 'CUDA build against the host runtime')"
say "cases: $nX x $nY, $nT steps; timing case: $large x $large"

# The tools the check needs, listed before anything starts.
nvcc=$(command -v nvcc || { [ -x /usr/local/cuda/bin/nvcc ] && echo /usr/local/cuda/bin/nvcc; } || true)
missing=()
for tool in cmake awk od dd stat date; do
    command -v $tool > /dev/null || missing+=("$tool")
done
command -v c++ > /dev/null || command -v g++ > /dev/null || missing+=("a C++ compiler (c++ or g++)")
command -v ninja > /dev/null || command -v make > /dev/null || missing+=("ninja or make")
[ $host_only = 1 ] || [ -n "$nvcc" ] || missing+=("nvcc (CUDA 13)")
if [ ${#missing[@]} -gt 0 ]; then
    say "missing tools: $(printf '%s, ' "${missing[@]}" | sed 's/, $//')"
    fail_all
fi
if [ $host_only = 0 ] && ! command -v nvidia-smi > /dev/null; then
    say "(nvidia-smi not found: it is optional; the GPUs are described by tessaro_gpu_info)"
fi

# build DIR [cmake settings]: configures (Ninja where there is one) and builds
# the programs and tools (only $build_target where that is set), quietly; on
# failure shows the end of the log.
build() {
    local dir=$1
    shift
    local generator=() target=()
    [ -f "$dir/CMakeCache.txt" ] || ! command -v ninja > /dev/null || generator=(-G Ninja)
    [ -z "${build_target:-}" ] || target=(--target "$build_target")
    if cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "$@" > "$dir.log" 2>&1 &&
        cmake --build "$dir" -j"$jobs" "${target[@]}" >> "$dir.log" 2>&1; then
        return 0
    fi
    say "build of $dir failed (log: $dir.log):"
    tail -n 20 "$dir.log" | tee -a "${logs[@]}"
    keep_failed "build of $dir" "$dir.log"
    return 1
}

# The GPUs first: "index name capability peak-GB/s" lines, the first visible
# one for the single-GPU runs.
peak=0 ngpus=3 first_gpu=0
cuda_settings=()
if [ $host_only = 0 ]; then
    say "== GPU probe"
    build_target=tessaro_gpu_info build "$out/probe" -DTESSARO_RUNTIME=cuda -DCMAKE_CUDA_COMPILER="$nvcc" || fail_all
    if ! gpus=$("$out/probe/tessaro_gpu_info" 2> "$out/probe/err.log"); then
        say "tessaro_gpu_info: $(cat "$out/probe/err.log")"
        keep_failed "tessaro_gpu_info" "$out/probe/err.log"
        fail_all
    fi
    ngpus=$(echo "$gpus" | wc -l)
    first_gpu=${CUDA_VISIBLE_DEVICES:-0}
    first_gpu=${first_gpu%%,*}
    plan_configs "$first_gpu" "$ngpus"
    say "$(echo "$gpus" | awk -F'\t' '{ printf "GPU %s: %s, compute capability %s, peak memory bandwidth %s GB/s\n", $1, $2, $3, $4 }')"
    peak=$(echo "$gpus" | head -n 1 | cut -f 4)
    if [ "${peak:-0}" = 0 ]; then
        # The runtime gave no memory clock: the peak of a few known GPUs.
        case $(echo "$gpus" | head -n 1 | cut -f 2) in
        *H200*) peak=4800 ;;
        *"H100 NVL"*) peak=3900 ;;
        *H100*PCIe*) peak=2000 ;;
        *H100*) peak=3350 ;;
        *A100*80GB*) peak=2039 ;;
        *A100*) peak=1555 ;;
        *) peak=0 ;;
        esac
    fi
    command -v nvidia-smi > /dev/null &&
        say "driver: $(nvidia-smi --query-gpu=driver_version --format=csv,noheader 2>/dev/null | head -n 1)"
    say "nvcc: $("$nvcc" --version | tail -n 1)"
    cuda_settings=(-DTESSARO_RUNTIME=cuda -DCMAKE_CUDA_COMPILER="$nvcc")
    # Machine code for the local GPUs alone is what the default build runs
    # there, where its list holds their architectures; otherwise the default
    # build would run its PTX, and that is what is checked.
    local_archs=$(echo "$gpus" | cut -f 3 | tr -d . | sort -u | sed 's/$/-real/' | paste -sd ';')
    default_archs=$(sed -n 's/^ *set(CMAKE_CUDA_ARCHITECTURES \(.*\))$/\1/p' CMakeLists.txt)
    IFS=';' read -ra archs <<< "$local_archs"
    listed=${#archs[@]}
    for arch in "${archs[@]}"; do
        [[ " $default_archs " == *" $arch "* || " $default_archs " == *" ${arch%-real} "* ]] || listed=0
    done
    if [ "$listed" -gt 0 ]; then
        cuda_settings+=(-DCMAKE_CUDA_ARCHITECTURES="$local_archs")
        say "CUDA builds for the local architectures alone: $local_archs"
    else
        cuda_settings+=(-UCMAKE_CUDA_ARCHITECTURES)
        say "CUDA builds for the default architectures ($default_archs): the local ones ($local_archs) are not among them"
    fi
fi

say "== builds"
build "$out/host-16x16" || fail_all
tool=$out/host-16x16/examples/tessaro_example_inputs
flavour=host
[ $host_only = 1 ] || flavour=cuda
for shape in "${shapes[@]}"; do
    [ "$flavour-$shape" = host-16x16 ] && continue
    build "$out/$flavour-$shape" -DTESSARO_UPDATE_BLOCK="$shape" "${cuda_settings[@]}" || fail_all
done
say "built in $SECONDS s"
executable() { echo "$out/$1/src/gpu/2d/${program_dir[$2]}/$2"; }

# run DIR EXE [VAR=value...]: runs EXE in DIR (inputs there), output to
# run.log and err.log, its wall time in DIR/seconds; status as the program's.
run() {
    local dir=$1 exe=$2
    shift 2
    local start end status
    start=$(date +%s.%N)
    (cd "$dir" && env "$@" "$exe" > run.log 2> err.log)
    status=$?
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }' > "$dir/seconds"
    echo $status > "$dir/status"
    return $status
}

# The error of a failed run: its status and the end of its standard error (or
# output, where it wrote no error).
run_error() {
    local dir=$1 text
    text=$(tail -n 5 "$dir/err.log" 2>/dev/null)
    [ -n "$text" ] || text=$(tail -c 400 "$dir/run.log" 2>/dev/null | tr '\b' ' ' | tail -n 3)
    echo "status $(cat "$dir/status"): $text"
}

# Changes the lowest bit of the sample in the middle of FILE.
alter_one_sample() {
    local file=$1 size offset byte
    size=$(stat -c %s "$file")
    local middle=$((size / 8))
    offset=$((4 * middle)) # the first byte (lowest on x86) of the middle sample
    byte=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
    # shellcheck disable=SC2059 # the format is the byte
    printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
    say "  (--alter: sample $((offset / 4)) of $file changed by one unit in the last place)"
}

# compare LABEL TESTED_DIR REFERENCE_DIR: one comparison of genout.dat.
compare() {
    local label=$1 tested=$2 reference=$3
    compared=$((compared + 1))
    say "[$compared] $label"
    local dir
    for dir in "$tested" "$reference"; do
        if [ "$(cat "$dir/status")" != 0 ]; then
            say "  FAILED: the run in $dir ended with $(run_error "$dir")"
            keep_failed "the run in $dir" "$dir/err.log"
            failed=$((failed + 1))
            return
        fi
    done
    if [ $alter = 1 ]; then
        alter_one_sample "$tested/genout.dat"
        alter=0
    fi
    local result
    result=$("$tool" compare "$reference" "$tested")
    local status=$?
    say "$result"
    if [ $status -ne 0 ]; then
        say "  FAILED"
        failed=$((failed + 1))
    fi
}

# case_dir NAME CASE nX nY nT: a fresh run directory holding the case, its
# path on standard output; status 1 when the case cannot be written.
case_dir() {
    local dir=$out/runs/$1
    rm -rf "$dir" && mkdir -p "$dir" && "$tool" check-case "$dir" "$2" "$3" "$4" "$5" > /dev/null || return 1
    echo "$dir"
}
case_failed() {
    say "cannot write check case $1 into $out/runs"
    fail_all
}

say "== the CUDA build against the host runtime"
[ $host_only = 1 ] && say "(host only: the host build stands in for the CUDA build)"
# compare_run LABEL NAME BUILD PROGRAM CASE SAVING TESTED_ENV REFERENCE_GPUS:
# runs BUILD in a fresh copy of the case (runs/NAME-BUILD), and the host
# runtime in another (runs/NAME-reference) at the same time, unless that
# holds its run already; then compares the two.
compare_run() {
    local label=$1 name=$2 build=$3 program=$4 which=$5 saving=$6 tested_env=$7 reference_gpus=$8
    local tested reference reference_run=""
    tested=$(case_dir "$name-$build" "$which" "$nX" "$nY" "$nT") || case_failed "$which"
    reference=$out/runs/$name-reference
    if [ ! -f "$reference/status" ]; then
        reference=$(case_dir "$name-reference" "$which" "$nX" "$nY" "$nT") || case_failed "$which"
        run "$reference" "$(executable host-16x16 "$program")" DIVEV_MEMORY_SAVING="$saving" \
            TESSARO_HOST_GPUS="$reference_gpus" &
        reference_run=$!
    fi
    # shellcheck disable=SC2086 # the environment's words are meant to split
    run "$tested" "$(executable "$build" "$program")" DIVEV_MEMORY_SAVING="$saving" $tested_env
    [ -z "$reference_run" ] || wait "$reference_run"
    compare "${program_name[$program]}, case $which, memory saving $([ "$saving" = 1 ] && echo on || echo off): $label" \
        "$tested" "$reference"
}
rm -rf "$out/runs"
for program in "${programs[@]}"; do
    for which in 1 2; do
        for saving in 0 1; do
            for c in "${!configs[@]}"; do
                IFS='|' read -r label tested_env reference_gpus <<< "${configs[$c]}"
                compare_run "$label" "${program_name[$program]}-case$which-saving$saving-config$c" "$flavour-16x16" \
                    "$program" $which $saving "$tested_env" "$reference_gpus"
            done
        done
    done
done
# The other block shapes on the same cases: grids that do not divide the
# updated part, sources and receivers next to its far edges.
IFS='|' read -r label tested_env reference_gpus <<< "${configs[$shape_config]}"
for shape in "${shapes[@]}"; do
    [ "$shape" = 16x16 ] && continue
    for program in "${programs[@]}"; do
        for which in 1 2; do
            compare_run "blocks of $shape, $label" "${program_name[$program]}-case$which-saving0-config$shape_config" \
                "$flavour-$shape" "$program" $which 0 "$tested_env" "$reference_gpus"
        done
    done
done

say "== update-block shapes on the $large x $large case, one GPU"
# Per shape and program: two runs of 10 and 10 + timed_steps steps; the
# stepping's rate from their difference.
# shellcheck disable=SC2059 # the format is the four bytes, lowest first
write_int() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($2 & 255)) $(($2 >> 8 & 255)) $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" > "$1"; }
large_case=""
not_run=0 # shape comparisons skipped for the time budget
declare -A rate
single_gpu=(CUDA_VISIBLE_DEVICES="$first_gpu")
[ $host_only = 1 ] && single_gpu=(TESSARO_HOST_GPUS=1)
for shape in "${shapes[@]}"; do
    for program in "${programs[@]}"; do
        steps=${timed_steps[$program]}
        if [ $SECONDS -gt $timing_budget_s ]; then
            say "$shape ${program_name[$program]}: not timed, past the time budget of $timing_budget_s s"
            [ "$shape" = 16x16 ] || not_run=$((not_run + 1))
            continue
        fi
        if [ -z "$large_case" ]; then
            large_case=$(case_dir large 1 "$large" "$large" $((10 + steps > 310 ? 10 + steps : 310))) ||
                case_failed 1
        fi
        dirs=()
        for n in 10 $((10 + steps)); do
            dir=$out/runs/large-${program_name[$program]}-$shape-$n
            rm -rf "$dir" && mkdir -p "$dir"
            ln -s "$large_case"/*.dat "$dir"/ # gigabytes: linked, not copied
            rm -f "$dir/nT.dat" && write_int "$dir/nT.dat" $n
            run "$dir" "$(executable "$flavour-$shape" "$program")" "${single_gpu[@]}"
            dirs+=("$dir")
        done
        if [ "$(cat "${dirs[0]}/status")" = 0 ] && [ "$(cat "${dirs[1]}/status")" = 0 ]; then
            rate[$shape,$program]=$(awk -v a="$(cat "${dirs[0]}/seconds")" -v b="$(cat "${dirs[1]}/seconds")" \
                -v p=$((large * large)) -v s="$steps" 'BEGIN { printf "%.4g", (b > a) ? p * s / (b - a) : 0 }')
        else
            for dir in "${dirs[@]}"; do
                [ "$(cat "$dir/status")" = 0 ] && continue
                say "$shape ${program_name[$program]}: run failed: $(run_error "$dir")"
                keep_failed "the run in $dir" "$dir/err.log"
            done
        fi
        if [ "$shape" != 16x16 ]; then
            compare "${program_name[$program]}, $large x $large, $((10 + steps)) steps: blocks of $shape against 16x16" \
                "${dirs[1]}" "$out/runs/large-${program_name[$program]}-16x16-$((10 + steps))"
        fi
    done
done
say ""
say "Stepping rate on one $([ $host_only = 1 ] && echo 'simulated ')GPU, $large x $large points, from runs of 10 and 10 + n steps"
say "(bandwidth: 92 bytes per point-step; peak: $([ "$peak" = 0 ] && echo unknown || echo "$peak GB/s"))"
say "$(printf '%-7s  %-14s %-11s %-9s %s' block 'exponential' 'GB/s' 'of peak' 'two-relaxation')"
for shape in "${shapes[@]}"; do
    e=${rate[$shape,${programs[0]}]:-} r=${rate[$shape,${programs[1]}]:-}
    say "$(awk -v shape="$shape" -v e="$e" -v r="$r" -v peak="$peak" 'BEGIN {
        es = e == "" ? "-" : sprintf("%.3g", e)
        bw = e == "" ? "-" : sprintf("%.0f", e * 92 / 1e9)
        fr = (e == "" || peak == 0) ? "-" : sprintf("%.1f %%", 100 * e * 92 / 1e9 / peak)
        rs = r == "" ? "-" : sprintf("%.3g", r)
        printf "%-7s  %-14s %-11s %-9s %s", shape, es, bw, fr, rs
    }')"
done
say "(point-steps per second; the whole check took $SECONDS s)"
[ $not_run = 0 ] || say "$not_run block-shape comparisons not run: past the time budget"
verdict
