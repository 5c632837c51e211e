// Source injection kernels.
#include "source_kernels.cuh"

#include <cstdint>

__global__ void inject_source(float* field, const int* coords, const float* signal, int n, int t, int nY, int nTic,
                              int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return;
    int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return;
    float sample = signal[static_cast<int64_t>(i) * nTic + t];
    int y = coords[2 * i + 1];
    field[(x - x_offset) * nY + y] = sample;
}

__global__ void inject_source_additive(float* field, const int* coords, const float* signal, int n, int t, int nY,
                                       int nTic, int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                       int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return;
    int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return;
    float sample = signal[i * nTic + t];
    int k = (x - x_offset) * nY + coords[2 * i + 1];
    field[k] = sample + field[k];
}

__global__ void inject_source_slice(float* field, const int* coords, const float* slice, int n, int nY, int x_lo,
                                    int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return;
    int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return;
    field[(x - x_offset) * nY + coords[2 * i + 1]] = slice[i];
}

__global__ void inject_source_additive_slice(float* field, const int* coords, const float* slice, int n, int nY,
                                             int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                             int halo_width)
{
    (void)gpu_domain_local_nx;
    (void)halo_width;
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return;
    int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return;
    int k = (x - x_offset) * nY + coords[2 * i + 1];
    field[k] = slice[i] + field[k];
}

__global__ void inject_source_zero(float* field, const int* coords, int n, int nY, int x_lo, int x_hi, int x_offset,
                                   int gpu_domain_local_nx)
{
    (void)gpu_domain_local_nx;
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= n)
        return;
    int x = coords[2 * i];
    if (x < x_lo || x >= x_hi)
        return;
    field[(x - x_offset) * nY + coords[2 * i + 1]] = 0.0f;
}
