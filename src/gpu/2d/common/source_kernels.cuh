// Source injection into the current level of a two-level field. One thread per
// listed point {x, y}; only points with x in [x_lo, x_hi) are acted on, at
// element (x - x_offset) * nY + y. Launch in blocks of 256 over the points.
#pragma once

#include "platform.h"

__global__ void inject_source(float* field, const int* coords, const float* signal, int n, int t, int nY, int nTic,
                              int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width);
__global__ void inject_source_additive(float* field, const int* coords, const float* signal, int n, int t, int nY,
                                       int nTic, int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                       int halo_width);
__global__ void inject_source_slice(float* field, const int* coords, const float* slice, int n, int nY, int x_lo,
                                    int x_hi, int x_offset, int gpu_domain_local_nx, int halo_width);
__global__ void inject_source_additive_slice(float* field, const int* coords, const float* slice, int n, int nY,
                                             int x_lo, int x_hi, int x_offset, int gpu_domain_local_nx,
                                             int halo_width);
__global__ void inject_source_zero(float* field, const int* coords, int n, int nY, int x_lo, int x_hi, int x_offset,
                                   int gpu_domain_local_nx);
