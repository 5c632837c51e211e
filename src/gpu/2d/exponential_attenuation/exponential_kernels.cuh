// Velocity and pressure updates with exponential attenuation. Launch over
// (region width, nY) with the first grid dimension along x.
#pragma once

#include "platform.h"

namespace exponential_attenuation {

// u, w at the next level = a_exp * (u, w - dT / (rho * (1 + p/K)) * grad p).
__global__ void fd_u(const float* rho, const float* K, const float* dmap, const int* dcmap, const float* a_exp,
                     const float* p, float* u, float* w, int halo_width, int gpu_domain_local_nx, int nX, int nY,
                     float dX, float dT, int ndmap, int region_start, int region_end, int region_offset);

// p at the next level = a_exp * (p - K dT div(u, w) (1 + (1 - 2 beta) p / K)).
__global__ void fd_p(const float* K, const float* beta, const float* dmap, const int* dcmap, const float* a_exp,
                     float* p, const float* u, const float* w, int halo_width, int gpu_domain_local_nx, int nX, int nY,
                     float dX, float dT, int ndmap, int region_start, int region_end, int region_offset);

} // namespace exponential_attenuation
