#include "exponential_model.h"

#include "device_state.h"
#include "exponential_kernels.cuh"
#include "startup.h"

namespace {

const array_id maps[] = {arr_a_exp};
// The updates divide by these.
const array_id divisors[] = {arr_rho, arr_K};
const array_id allocations[] = {arr_p, arr_u, arr_w, arr_rho, arr_K, arr_beta, arr_a_exp, arr_dmap, arr_dcmap};
const array_id clears[] = {arr_p, arr_u, arr_w};
const array_id uploads[] = {arr_rho, arr_K, arr_beta, arr_dcmap, arr_a_exp, arr_dmap};
const array_id releases[] = {arr_p, arr_u, arr_w, arr_rho, arr_K, arr_beta, arr_dmap, arr_dcmap, arr_a_exp};
const field_on_stream exchange_after_u[] = {{arr_u, halo_stream_id}, {arr_w, halo_stream_id}};
const field_on_stream exchange_after_p[] = {{arr_p, halo_stream_id}};
const field_on_stream time_shift[] = {{arr_p, compute_stream_id}, {arr_u, compute_stream_id}, {arr_w, compute_stream_id}};

cudaError_t launch_fd_u(const device_state& st, const scalar_inputs& s, int k, int L, dim3 grid, dim3 block,
                        cudaStream_t stream, int region_start, int region_end, int region_offset)
{
    return LAUNCH_KERNEL(exponential_attenuation::fd_u, grid, block, stream, st.arrays[arr_rho][k], st.arrays[arr_K][k],
                         st.arrays[arr_dmap][k], st.dcmap[k], st.arrays[arr_a_exp][k], st.arrays[arr_p][k],
                         st.arrays[arr_u][k], st.arrays[arr_w][k], halo_width, L, s.nX, s.nY, s.dX, s.dT, s.ndmap,
                         region_start, region_end, region_offset);
}

cudaError_t launch_fd_p(const device_state& st, const scalar_inputs& s, int k, int L, dim3 grid, dim3 block,
                        cudaStream_t stream, int region_start, int region_end, int region_offset)
{
    return LAUNCH_KERNEL(exponential_attenuation::fd_p, grid, block, stream, st.arrays[arr_K][k], st.arrays[arr_beta][k],
                         st.arrays[arr_dmap][k], st.dcmap[k], st.arrays[arr_a_exp][k], st.arrays[arr_p][k],
                         st.arrays[arr_u][k], st.arrays[arr_w][k], halo_width, L, s.nX, s.nY, s.dX, s.dT, s.ndmap,
                         region_start, region_end, region_offset);
}

} // namespace

const solver_model exponential_model = {
    make_array_list(maps),
    {nullptr, 0},
    make_array_list(allocations),
    make_array_list(clears),
    make_array_list(uploads),
    make_array_list(releases),
    make_field_stream_list(exchange_after_u),
    make_field_stream_list(exchange_after_p),
    make_field_stream_list(time_shift),
    44, // p, u, w at two levels; rho, K, beta, a_exp, dcmap
    0,
    "[Rank %2d | %s | GPU %d] GPU memory estimate (local_nx=%d, nY=%d):\n"
    "  TOTAL ESTIMATED (user allocs)  : %10.2f GB\n"
    "  Context overhead (pre-alloc)   : %10.2f GB\n"
    "  PREDICTED nvtop total          : %10.2f GB\n"
    "  GPU free / total               : %.2f / %.2f GB\n",
    0,
    launch_fd_u,
    launch_fd_p,
    make_array_list(divisors),
    {nullptr, 0},
};
