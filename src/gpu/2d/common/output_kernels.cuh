// Pressure sampling at the output points of one GPU, from the next level of p.
// Launch in blocks of 16 over the points.
#pragma once

#include "platform.h"

// First output step: decides which points can be sampled, keeps their index
// into p in out_index (-1 for a point that gives +0.0) and samples them.
__global__ void compute_genout_frame_multi(int* out_index, float* out_values, const float* p, const int* out_desc,
                                           int out_count, int gpu_domain_local_nx, int nY, int x_lo, int x_hi,
                                           int margin, int x_offset);
// Later output steps: gathers by the kept index.
__global__ void extract_pressure_values(const int* out_index, float* out_values, const float* p, int out_count);
