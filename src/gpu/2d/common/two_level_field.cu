// Time shift and halo exchange of two-level fields.
#include "two_level_field.cuh"

#include "logical_gpus.h"

#include <cstddef>

__global__ void proceed_time(float* dst, const float* src, int n)
{
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n)
        dst[i] = src[i];
}

namespace {

// slice is the number of floats per x-slice.
cudaError_t exchange_slices(float* const* fields, const int* gpu_domain_local_nx, const cudaStream_t* streams,
                            int ngpus, int slice, int halo_width, int* failed_gpu)
{
    size_t bytes = static_cast<size_t>(4 * halo_width * slice);
    if (ngpus <= 1)
        return cudaSuccess;
    cudaError_t first_error = cudaSuccess;
    auto keep = [&](cudaError_t e, int sender) {
        if (first_error != cudaSuccess || e == cudaSuccess)
            return;
        first_error = e;
        if (failed_gpu != nullptr)
            *failed_gpu = sender;
    };
    for (int g = 0; g < ngpus; ++g) {
        int L = gpu_domain_local_nx[g];
        if (g > 0) {
            int dst = (2 * gpu_domain_local_nx[g - 1] - halo_width) * slice;
            int src = (L + halo_width) * slice;
            keep(logical_memcpy_peer_async(fields[g - 1] + dst, g - 1, fields[g] + src, g, bytes, streams[g]), g);
        }
        if (g < ngpus - 1) {
            int dst = gpu_domain_local_nx[g + 1] * slice;
            int src = (2 * L - 2 * halo_width) * slice;
            keep(logical_memcpy_peer_async(fields[g + 1] + dst, g + 1, fields[g] + src, g, bytes, streams[g]), g);
        }
    }
    return first_error;
}

} // namespace

cudaError_t exchange_halos_async(float* const* fields, const int* gpu_domain_local_nx, const cudaStream_t* streams,
                                 int ngpus, int nY, int halo_width, int* failed_gpu)
{
    return exchange_slices(fields, gpu_domain_local_nx, streams, ngpus, nY, halo_width, failed_gpu);
}

cudaError_t exchange_halos_async(float* const* fields, const int* gpu_domain_local_nx, const cudaStream_t* streams,
                                 int ngpus, int extent1, int extent2, int halo_width, int* failed_gpu)
{
    return exchange_slices(fields, gpu_domain_local_nx, streams, ngpus, extent1 * extent2, halo_width, failed_gpu);
}
