// Two-level fields: 2 * L * nY floats per GPU, x-slices [0, L) the current
// level and [L, 2L) the next. The time shift copies next onto current; the halo
// exchange sends next-level edge columns into the neighbours' ghost columns.
#pragma once

#include "platform.h"

// dst[i] = src[i] for i < n. Launch in blocks of 32 over n.
__global__ void proceed_time(float* dst, const float* src, int n);

// Enqueues the peer copies of one field between neighbouring GPUs on the
// sending GPU's stream: GPU g's next-level columns [hw, 2hw) into GPU g-1's
// [L-hw, L), and [L-2hw, L-hw) into GPU g+1's [0, hw). Does not wait. Returns
// the first failure of a copy call, or cudaSuccess; `failed_gpu`, when given,
// then receives the sending GPU of that copy.
cudaError_t exchange_halos_async(float* const* fields, const int* gpu_domain_local_nx, const cudaStream_t* streams,
                                 int ngpus, int nY, int halo_width, int* failed_gpu = nullptr);
// The same with an x-slice of extent1 * extent2 values.
cudaError_t exchange_halos_async(float* const* fields, const int* gpu_domain_local_nx, const cudaStream_t* streams,
                                 int ngpus, int extent1, int extent2, int halo_width, int* failed_gpu = nullptr);
