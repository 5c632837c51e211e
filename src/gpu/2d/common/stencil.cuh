// Thread mapping, coefficient lookup and the two staggered difference
// operators shared by the velocity and pressure updates of both programs.
// Every difference and sum rounds on its own; only the fmaf calls fuse.
#pragma once

#include "platform.h"

// The grid point of one update thread: local column r, its next-level column
// R = r + L, row y, element idx in the current level and in every map, and
// element idx_next in the next level.
struct stencil_point {
    int r;
    int R;
    int y;
    int idx;
    int idx_next;
};

// Maps the thread to its point. False for threads outside the launch region
// (tested on global x) and for the first and last halo_width rows.
__device__ __forceinline__ bool locate_point(int halo_width, int gpu_domain_local_nx, int nY, int region_start,
                                             int region_end, int region_offset, stencil_point& pt)
{
    const int gx = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int gy = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (gx < 0 || gx + region_start >= region_end || gy < halo_width || gy >= nY - halo_width)
        return false;
    pt.r = gx + region_offset;
    pt.R = pt.r + gpu_domain_local_nx;
    pt.y = gy;
    pt.idx = pt.r * nY + pt.y;
    pt.idx_next = pt.R * nY + pt.y;
    return true;
}

// The coefficient set of one point: entry e of set m lies at e * ndmap + m.
struct coefficient_set {
    const float* dmap;
    int ndmap;
    int m;
};

__device__ __forceinline__ coefficient_set lookup_coefficients(const float* dmap, const int* dcmap, int ndmap,
                                                               int idx)
{
    return coefficient_set{dmap, ndmap, dcmap[idx]};
}

// Weight of neighbour pair k: entry 2k + 2.
__device__ __forceinline__ float stencil_coef(const coefficient_set& set, int k)
{
    return set.dmap[(2 * k + 2) * set.ndmap + set.m];
}

// Weight of the transverse term: entry 3.
__device__ __forceinline__ float cross_coef(const coefficient_set& set)
{
    return set.dmap[3 * set.ndmap + set.m];
}

struct derivative_pair {
    float x;
    float y;
};

// Pressure gradient of F (current level): x at (r + 1/2, y), y at (r, y + 1/2),
// both divided by dX.
__device__ __forceinline__ derivative_pair forward_stencil(const float* F, const coefficient_set& set,
                                                           int halo_width, int nY, const stencil_point& pt,
                                                           float dX)
{
    const int r = pt.r;
    const int y = pt.y;
    float sx = 0.0f;
    float sy = 0.0f;
    for (int k = 0; k < halo_width; ++k) {
        const float c = stencil_coef(set, k);
        sx = fmaf(c, F[(r + k + 1) * nY + y] - F[(r - k) * nY + y], sx);
        sy = fmaf(c, F[r * nY + (y + k + 1)] - F[r * nY + (y - k)], sy);
    }
    const float tx = ((F[(r + 1) * nY + (y + 1)] - F[r * nY + (y + 1)]) + F[(r + 1) * nY + (y - 1)]) -
                     F[r * nY + (y - 1)];
    const float ty = ((F[(r + 1) * nY + (y + 1)] - F[(r + 1) * nY + y]) + F[(r - 1) * nY + (y + 1)]) -
                     F[(r - 1) * nY + y];
    const float c = cross_coef(set);
    sx = fmaf(c, tx, sx);
    sy = fmaf(c, ty, sy);
    return derivative_pair{sx / dX, sy / dX};
}

// du/dx and dw/dy of A = u and B = w (next level, column R) at the pressure
// point, both divided by dX.
__device__ __forceinline__ derivative_pair backward_stencil(const float* A, const float* B,
                                                            const coefficient_set& set, int halo_width, int nY,
                                                            const stencil_point& pt, float dX)
{
    const int R = pt.R;
    const int y = pt.y;
    float sx = 0.0f;
    float sy = 0.0f;
    for (int k = 0; k < halo_width; ++k) {
        const float c = stencil_coef(set, k);
        sx = fmaf(c, A[(R + k) * nY + y] - A[(R - k - 1) * nY + y], sx);
        sy = fmaf(c, B[R * nY + (y + k)] - B[R * nY + (y - k - 1)], sy);
    }
    const float tx = ((A[R * nY + (y + 1)] - A[(R - 1) * nY + (y + 1)]) + A[R * nY + (y - 1)]) -
                     A[(R - 1) * nY + (y - 1)];
    const float ty = ((B[(R + 1) * nY + y] - B[(R + 1) * nY + (y - 1)]) + B[(R - 1) * nY + y]) -
                     B[(R - 1) * nY + (y - 1)];
    const float c = cross_coef(set);
    sx = fmaf(c, tx, sx);
    sy = fmaf(c, ty, sy);
    return derivative_pair{sx / dX, sy / dX};
}

// dT / (rho (1 + p/K)): turns the pressure gradient into a velocity change.
__device__ __forceinline__ float velocity_factor(float dT, float rho, float K, float p)
{
    return (dT / rho) / fmaf(1.0f / K, p, 1.0f);
}
