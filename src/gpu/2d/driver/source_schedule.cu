#include "source_schedule.h"

#include "cuda_check.h"
#include "logical_gpus.h"
#include "source_kernels.cuh"

#include <cstdint>

namespace {

struct region {
    int lo, hi;
};

// The regions of GPU k on halo_stream: its own halo regions (the left one
// first), then the ghost columns it holds, which are its neighbours' halo
// regions. A ghost copy equals the owner's at the start of a step, so the same
// writes, additions and zeros there keep both copies equal.
int halo_side_regions(const decomposition& d, int k, region* out)
{
    int n = 0;
    if (d.ngpus <= 1)
        return 0;
    if (k > 0)
        out[n++] = {d.halo_start[2 * k - 1], d.halo_end[2 * k - 1]};
    if (k < d.ngpus - 1)
        out[n++] = {d.halo_start[2 * k], d.halo_end[2 * k]};
    if (k > 0)
        out[n++] = {d.halo_start[2 * k - 2], d.halo_end[2 * k - 2]};
    if (k < d.ngpus - 1)
        out[n++] = {d.halo_start[2 * k + 1], d.halo_end[2 * k + 1]};
    return n;
}

void gather_slices(const host_inputs& in, int t)
{
    for (int f = 0; f < family_count; ++f) {
        const int n = in.count[f];
        if (!source_families[f].series_name || n <= 0)
            continue;
        const float* series = in.series[f][0];
        float* slice = in.slice_host[f];
        for (int i = 0; i < n; ++i)
            slice[i] = series[static_cast<int64_t>(i) * in.s.nTic + t];
    }
}

cudaError_t launch_family(const host_inputs& in, const device_state& st, family_id f, int k, int t, region r,
                          int x_offset, int L, cudaStream_t stream)
{
    const int n = in.count[f];
    const dim3 grid((n + 255) / 256), block(256);
    float* field = st.arrays[source_families[f].target][k];
    const int* coords = st.coords[f][k];
    const float* series = st.series[f][k];
    const int nY = in.s.nY, nTic = in.s.nTic;
    switch (source_families[f].action) {
    case action_zero:
        return LAUNCH_KERNEL(inject_source_zero, grid, block, stream, field, coords, n, nY, r.lo, r.hi, x_offset, L);
    case action_add:
        if (in.memory_saving)
            return LAUNCH_KERNEL(inject_source_additive_slice, grid, block, stream, field, coords, series, n, nY, r.lo,
                                 r.hi, x_offset, L, halo_width);
        return LAUNCH_KERNEL(inject_source_additive, grid, block, stream, field, coords, series, n, t, nY, nTic, r.lo,
                             r.hi, x_offset, L, halo_width);
    default:
        if (in.memory_saving)
            return LAUNCH_KERNEL(inject_source_slice, grid, block, stream, field, coords, series, n, nY, r.lo, r.hi,
                                 x_offset, L, halo_width);
        return LAUNCH_KERNEL(inject_source, grid, block, stream, field, coords, series, n, t, nY, nTic, r.lo, r.hi,
                             x_offset, L, halo_width);
    }
}

} // namespace

void apply_sources(const host_inputs& in, const decomposition& d, const device_state& st, int t)
{
    if (in.memory_saving && t < in.s.nTic)
        gather_slices(in, t);

    int acted[max_gpus] = {0};
    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        const int L = d.gpu_domain_local_nx[k], x_offset = d.gpu_start[k];
        region halo_side[4];
        const int nhalo = halo_side_regions(d, k, halo_side);
        for (int fi = 0; fi < family_count; ++fi) {
            const family_id f = static_cast<family_id>(fi);
            const bool has_series = source_families[f].series_name != nullptr;
            if (in.count[f] <= 0 || (has_series && t >= in.s.nTic))
                continue;
            if (in.memory_saving && has_series) {
                check_cuda(cudaMemcpyAsync(st.series[f][k], in.slice_host[f], 4 * static_cast<size_t>(in.count[f]),
                                           cudaMemcpyHostToDevice, st.compute_stream[k]),
                           "cudaMemcpyAsync", k);
                check_cuda(cudaStreamSynchronize(st.compute_stream[k]), "cudaStreamSynchronize", k);
            }
            for (int h = 0; h < nhalo; ++h)
                check_cuda(launch_family(in, st, f, k, t, halo_side[h], x_offset, L, st.halo_stream[k]),
                           "source kernel launch", k);
            check_cuda(launch_family(in, st, f, k, t, {d.body_start[k], d.body_end[k]}, x_offset, L,
                                     st.compute_stream[k]),
                       "source kernel launch", k);
            acted[k] = 1;
        }
    }
    // The updates read source columns across the halo/body boundary, from the
    // other stream: complete every GPU's source writes first.
    for (int k = 0; k < d.ngpus; ++k) {
        if (!acted[k])
            continue;
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaStreamSynchronize(st.halo_stream[k]), "cudaStreamSynchronize", k);
        check_cuda(cudaStreamSynchronize(st.compute_stream[k]), "cudaStreamSynchronize", k);
    }
}
