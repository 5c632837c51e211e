// Output sampling kernels.
#include "output_kernels.cuh"

__global__ void compute_genout_frame_multi(int* out_index, float* out_values, const float* p, const int* out_desc,
                                           int out_count, int gpu_domain_local_nx, int nY, int x_lo, int x_hi,
                                           int margin, int x_offset)
{
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= out_count)
        return;
    int d0 = out_desc[3 * i];
    int y = out_desc[3 * i + 1];
    int x = out_desc[3 * i + 2];
    int r = d0 + x_offset;
    bool valid = x_lo <= x && x < x_hi && 0 <= r && r < gpu_domain_local_nx && margin <= y && y < nY - margin;
    if (valid) {
        int k = (r + gpu_domain_local_nx) * nY + y;
        out_values[i] = p[k];
        out_index[i] = k;
    } else {
        out_values[i] = 0.0f;
        out_index[i] = -1;
    }
}

__global__ void extract_pressure_values(const int* out_index, float* out_values, const float* p, int out_count)
{
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= out_count)
        return;
    int k = out_index[i];
    out_values[i] = k >= 0 ? p[k] : 0.0f;
}
