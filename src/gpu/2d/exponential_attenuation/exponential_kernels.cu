#include "exponential_kernels.cuh"

#include "stencil.cuh"

namespace exponential_attenuation {

HOST_FMA_CLONES
__global__ void fd_u(const float* rho, const float* K, const float* dmap, const int* dcmap, const float* a_exp,
                     const float* p, float* u, float* w, int halo_width, int gpu_domain_local_nx, int nX, int nY,
                     float dX, float dT, int ndmap, int region_start, int region_end, int region_offset)
{
    (void)nX;
    stencil_point pt;
    if (!locate_point(halo_width, gpu_domain_local_nx, nY, region_start, region_end, region_offset, pt))
        return;
    const int idx = pt.idx;
    const int idx_next = pt.idx_next;
    const derivative_pair g = forward_stencil(p, lookup_coefficients(dmap, dcmap, ndmap, idx), halo_width, nY, pt, dX);

    u[idx_next] = fmaf(-g.x, velocity_factor(dT, rho[idx], K[idx], p[idx]), u[idx]);
    w[idx_next] = fmaf(-g.y, velocity_factor(dT, rho[idx], K[idx], p[idx]), w[idx]);
    u[idx_next] = a_exp[idx] * u[idx_next];
    w[idx_next] = a_exp[idx] * w[idx_next];
}

HOST_FMA_CLONES
__global__ void fd_p(const float* K, const float* beta, const float* dmap, const int* dcmap, const float* a_exp,
                     float* p, const float* u, const float* w, int halo_width, int gpu_domain_local_nx, int nX, int nY,
                     float dX, float dT, int ndmap, int region_start, int region_end, int region_offset)
{
    (void)nX;
    stencil_point pt;
    if (!locate_point(halo_width, gpu_domain_local_nx, nY, region_start, region_end, region_offset, pt))
        return;
    const int idx = pt.idx;
    const int idx_next = pt.idx_next;
    const derivative_pair d =
        backward_stencil(u, w, lookup_coefficients(dmap, dcmap, ndmap, idx), halo_width, nY, pt, dX);

    const float div = d.x + d.y;
    const float s = (K[idx] * dT) * div;
    const float q = (1.0f / K[idx]) * (1.0f - (beta[idx] + beta[idx]));
    const float f = fmaf(p[idx], q, 1.0f);
    const float p_new = fmaf(-s, f, p[idx]);
    p[idx_next] = p_new;
    p[idx_next] = a_exp[idx] * p_new;
}

} // namespace exponential_attenuation
