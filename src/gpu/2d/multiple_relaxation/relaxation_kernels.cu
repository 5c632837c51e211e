#include "relaxation_kernels.cuh"

#include "stencil.cuh"

namespace multiple_relaxation {

// Each memory variable becomes bpml * psi + apml * (its derivative), the decay
// fused and the feed rounded; the new values are read back from the next level.
HOST_FMA_CLONES
__global__ void fd_u(const float* rho, const float* K, const float* dmap, const int* dcmap, const float* kappax,
                     const float* apmlx1, const float* bpmlx1, const float* apmlx2, const float* bpmlx2,
                     const float* p, float* u, float* w, float* psi_dpdx_1, float* psi_dpdy_1, float* psi_dpdx_2,
                     float* psi_dpdy_2, int halo_width, int gpu_domain_local_nx, int nX, int nY, float dX, float dT,
                     int ndmap, int region_start, int region_end, int region_offset)
{
    (void)nX;
    stencil_point pt;
    if (!locate_point(halo_width, gpu_domain_local_nx, nY, region_start, region_end, region_offset, pt))
        return;
    const int idx = pt.idx;
    const int idx_next = pt.idx_next;
    const derivative_pair g = forward_stencil(p, lookup_coefficients(dmap, dcmap, ndmap, idx), halo_width, nY, pt, dX);

    psi_dpdx_1[idx_next] = fmaf(psi_dpdx_1[idx], bpmlx1[idx], apmlx1[idx] * g.x);
    psi_dpdx_2[idx_next] = fmaf(psi_dpdx_2[idx], bpmlx2[idx], apmlx2[idx] * g.x);
    psi_dpdy_1[idx_next] = fmaf(psi_dpdy_1[idx], bpmlx1[idx], apmlx1[idx] * g.y);
    psi_dpdy_2[idx_next] = fmaf(psi_dpdy_2[idx], bpmlx2[idx], apmlx2[idx] * g.y);

    const float b_x = velocity_factor(dT, rho[idx], K[idx], p[idx]);
    const float x_x = (psi_dpdx_1[idx_next] + g.x / kappax[idx]) + psi_dpdx_2[idx_next];
    u[idx_next] = fmaf(-x_x, b_x, u[idx]);

    const float b_y = velocity_factor(dT, rho[idx], K[idx], p[idx]);
    const float x_y = (psi_dpdy_1[idx_next] + g.y / kappax[idx]) + psi_dpdy_2[idx_next];
    w[idx_next] = fmaf(-x_y, b_y, w[idx]);
}

HOST_FMA_CLONES
__global__ void fd_p(const float* K, const float* beta, const float* dmap, const int* dcmap, const float* kappau,
                     const float* apmlu1, const float* bpmlu1, const float* apmlu2, const float* bpmlu2, float* p,
                     const float* u, const float* w, float* psi_dudx_1, float* psi_dwdy_1, float* psi_dudx_2,
                     float* psi_dwdy_2, int halo_width, int gpu_domain_local_nx, int nX, int nY, float dX, float dT,
                     int ndmap, int region_start, int region_end, int region_offset)
{
    (void)nX;
    stencil_point pt;
    if (!locate_point(halo_width, gpu_domain_local_nx, nY, region_start, region_end, region_offset, pt))
        return;
    const int idx = pt.idx;
    const int idx_next = pt.idx_next;
    const derivative_pair d =
        backward_stencil(u, w, lookup_coefficients(dmap, dcmap, ndmap, idx), halo_width, nY, pt, dX);

    psi_dudx_1[idx_next] = fmaf(psi_dudx_1[idx], bpmlu1[idx], apmlu1[idx] * d.x);
    psi_dudx_2[idx_next] = fmaf(psi_dudx_2[idx], bpmlu2[idx], apmlu2[idx] * d.x);
    psi_dwdy_1[idx_next] = fmaf(psi_dwdy_1[idx], bpmlu1[idx], apmlu1[idx] * d.y);
    const float psi_dwdy_2_new = fmaf(psi_dwdy_2[idx], bpmlu2[idx], apmlu2[idx] * d.y);
    psi_dwdy_2[idx_next] = psi_dwdy_2_new;

    const float kappa = kappau[idx];
    const float k = K[idx];
    // Stretched derivatives first, then the memory variables in store order.
    const float s =
        ((((d.y / kappa + d.x / kappa) + psi_dudx_1[idx_next]) + psi_dudx_2[idx_next]) + psi_dwdy_1[idx_next]) +
        psi_dwdy_2_new;
    const float beta_here = beta[idx];
    const float q = (1.0f - (beta_here + beta_here)) * (1.0f / k);
    const float f = fmaf(q, p[idx], 1.0f);
    p[idx_next] = fmaf(-(s * (k * dT)), f, p[idx]);
}

} // namespace multiple_relaxation
