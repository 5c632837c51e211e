// Velocity and pressure updates with two relaxation mechanisms and stretching
// maps. Launch over (region width, nY) with the first grid dimension along x.
#pragma once

#include "platform.h"

namespace multiple_relaxation {

__global__ void fd_u(const float* rho, const float* K, const float* dmap, const int* dcmap, const float* kappax,
                     const float* apmlx1, const float* bpmlx1, const float* apmlx2, const float* bpmlx2,
                     const float* p, float* u, float* w, float* psi_dpdx_1, float* psi_dpdy_1, float* psi_dpdx_2,
                     float* psi_dpdy_2, int halo_width, int gpu_domain_local_nx, int nX, int nY, float dX, float dT,
                     int ndmap, int region_start, int region_end, int region_offset);

__global__ void fd_p(const float* K, const float* beta, const float* dmap, const int* dcmap, const float* kappau,
                     const float* apmlu1, const float* bpmlu1, const float* apmlu2, const float* bpmlu2, float* p,
                     const float* u, const float* w, float* psi_dudx_1, float* psi_dwdy_1, float* psi_dudx_2,
                     float* psi_dwdy_2, int halo_width, int gpu_domain_local_nx, int nX, int nY, float dX, float dT,
                     int ndmap, int region_start, int region_end, int region_offset);

} // namespace multiple_relaxation
