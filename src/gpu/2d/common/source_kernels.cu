// Source injection kernels.
#include "source_kernels.cuh"

#include <cstdint>

namespace {

// Thread i's point and, when the point lies in [x_lo, x_hi), its element k of
// the current level.
__device__ __forceinline__ bool source_target(const int* coords, int n, int nY, int x_lo, int x_hi, int x_offset,
                                              int& i, int& k)
{
    i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return false;
    const int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return false;
    k = (x - x_offset) * nY + coords[2 * i + 1];
    return true;
}

} // namespace

__global__ void inject_source(float* field, const int* coords, const float* signal, int n, int t, int nY, int nTic,
                              int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i, k;
    if (source_target(coords, n, nY, x_lo, x_hi, x_offset, i, k))
        field[k] = signal[static_cast<int64_t>(i) * nTic + t]; // 64-bit series index
}

__global__ void inject_source_additive(float* field, const int* coords, const float* signal, int n, int t, int nY,
                                       int nTic, int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                       int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i, k;
    if (source_target(coords, n, nY, x_lo, x_hi, x_offset, i, k))
        field[k] = signal[i * nTic + t] + field[k];
}

__global__ void inject_source_slice(float* field, const int* coords, const float* slice, int n, int nY, int x_lo,
                                    int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i, k;
    if (source_target(coords, n, nY, x_lo, x_hi, x_offset, i, k))
        field[k] = slice[i];
}

__global__ void inject_source_additive_slice(float* field, const int* coords, const float* slice, int n, int nY,
                                             int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                             int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i, k;
    if (source_target(coords, n, nY, x_lo, x_hi, x_offset, i, k))
        field[k] = slice[i] + field[k];
}

__global__ void inject_source_zero(float* field, const int* coords, int n, int nY, int x_lo, int x_hi, int x_offset,
                                   int gpu_domain_local_nx)
{
    (void)gpu_domain_local_nx;
    int i, k;
    if (source_target(coords, n, nY, x_lo, x_hi, x_offset, i, k))
        field[k] = 0.0f;
}
