#include "relaxation_model.h"

#include "device_state.h"
#include "relaxation_kernels.cuh"
#include "startup.h"

namespace {

const array_id maps[] = {arr_kappax, arr_kappau, arr_apmlu1, arr_bpmlu1, arr_apmlx1,
                         arr_bpmlx1, arr_apmlu2, arr_bpmlu2, arr_apmlx2, arr_bpmlx2};
// The updates divide by these.
const array_id divisors[] = {arr_rho, arr_K, arr_kappax, arr_kappau};
// kappax divides the pressure gradient, kappau the velocity derivatives.
const array_id stretching[] = {arr_kappax, arr_kappau};
// The host arrays of the maps follow every other host array, in this order.
const array_id host_maps[] = {arr_kappax, arr_kappau, arr_apmlx1, arr_bpmlx1, arr_apmlu1,
                              arr_bpmlu1, arr_apmlx2, arr_bpmlx2, arr_apmlu2, arr_bpmlu2};
const array_id allocations[] = {arr_p,          arr_u,          arr_w,          arr_kappax,     arr_kappau,
                                arr_apmlu1,     arr_bpmlu1,     arr_apmlx1,     arr_bpmlx1,     arr_apmlu2,
                                arr_bpmlu2,     arr_apmlx2,     arr_bpmlx2,     arr_psi_dudx_1, arr_psi_dudx_2,
                                arr_psi_dwdy_1, arr_psi_dwdy_2, arr_psi_dpdx_1, arr_psi_dpdx_2, arr_psi_dpdy_1,
                                arr_psi_dpdy_2, arr_rho,        arr_K,          arr_beta,       arr_dmap,
                                arr_dcmap};
const array_id clears[] = {arr_p,          arr_u,          arr_w,          arr_psi_dudx_1,
                           arr_psi_dudx_2, arr_psi_dwdy_1, arr_psi_dwdy_2, arr_psi_dpdx_1,
                           arr_psi_dpdx_2, arr_psi_dpdy_1, arr_psi_dpdy_2};
const array_id uploads[] = {arr_rho,    arr_K,      arr_beta,   arr_dcmap,  arr_kappax,
                            arr_kappau, arr_apmlu1, arr_bpmlu1, arr_apmlx1, arr_bpmlx1,
                            arr_apmlu2, arr_bpmlu2, arr_apmlx2, arr_bpmlx2, arr_dmap};
const array_id releases[] = {arr_p,          arr_u,          arr_w,          arr_psi_dpdx_1, arr_psi_dpdy_1,
                             arr_psi_dpdx_2, arr_psi_dpdy_2, arr_psi_dudx_1, arr_psi_dwdy_1, arr_psi_dudx_2,
                             arr_psi_dwdy_2, arr_kappax,     arr_apmlx1,     arr_bpmlx1,     arr_apmlx2,
                             arr_bpmlx2,     arr_kappau,     arr_apmlu1,     arr_bpmlu1,     arr_apmlu2,
                             arr_bpmlu2,     arr_rho,        arr_K,          arr_beta,       arr_dmap,
                             arr_dcmap};
const field_on_stream exchange_after_u[] = {{arr_u, halo_stream_id},
                                            {arr_w, halo_stream_id},
                                            {arr_psi_dpdx_1, memvar_x_stream_id},
                                            {arr_psi_dpdx_2, memvar_x_stream_id},
                                            {arr_psi_dpdy_1, memvar_y_stream_id},
                                            {arr_psi_dpdy_2, memvar_y_stream_id}};
const field_on_stream exchange_after_p[] = {{arr_p, halo_stream_id},
                                            {arr_psi_dudx_1, memvar_x_stream_id},
                                            {arr_psi_dudx_2, memvar_x_stream_id},
                                            {arr_psi_dwdy_1, memvar_y_stream_id},
                                            {arr_psi_dwdy_2, memvar_y_stream_id}};
const field_on_stream time_shift[] = {
    {arr_p, compute_stream_id},           {arr_u, compute_stream_id},           {arr_w, compute_stream_id},
    {arr_psi_dpdx_1, halo_stream_id},     {arr_psi_dpdy_1, halo_stream_id},     {arr_psi_dpdx_2, halo_stream_id},
    {arr_psi_dpdy_2, memvar_x_stream_id}, {arr_psi_dudx_1, memvar_x_stream_id}, {arr_psi_dwdy_1, memvar_x_stream_id},
    {arr_psi_dudx_2, memvar_y_stream_id}, {arr_psi_dwdy_2, memvar_y_stream_id}};

cudaError_t launch_fd_u(const device_state& st, const scalar_inputs& s, int k, int L, dim3 grid, dim3 block,
                        cudaStream_t stream, int region_start, int region_end, int region_offset)
{
    return LAUNCH_KERNEL(multiple_relaxation::fd_u, grid, block, stream, st.arrays[arr_rho][k], st.arrays[arr_K][k],
                         st.arrays[arr_dmap][k], st.dcmap[k], st.arrays[arr_kappax][k], st.arrays[arr_apmlx1][k],
                         st.arrays[arr_bpmlx1][k], st.arrays[arr_apmlx2][k], st.arrays[arr_bpmlx2][k],
                         st.arrays[arr_p][k], st.arrays[arr_u][k], st.arrays[arr_w][k], st.arrays[arr_psi_dpdx_1][k],
                         st.arrays[arr_psi_dpdy_1][k], st.arrays[arr_psi_dpdx_2][k], st.arrays[arr_psi_dpdy_2][k],
                         halo_width, L, s.nX, s.nY, s.dX, s.dT, s.ndmap, region_start, region_end, region_offset);
}

cudaError_t launch_fd_p(const device_state& st, const scalar_inputs& s, int k, int L, dim3 grid, dim3 block,
                        cudaStream_t stream, int region_start, int region_end, int region_offset)
{
    return LAUNCH_KERNEL(multiple_relaxation::fd_p, grid, block, stream, st.arrays[arr_K][k], st.arrays[arr_beta][k],
                         st.arrays[arr_dmap][k], st.dcmap[k], st.arrays[arr_kappau][k], st.arrays[arr_apmlu1][k],
                         st.arrays[arr_bpmlu1][k], st.arrays[arr_apmlu2][k], st.arrays[arr_bpmlu2][k],
                         st.arrays[arr_p][k], st.arrays[arr_u][k], st.arrays[arr_w][k], st.arrays[arr_psi_dudx_1][k],
                         st.arrays[arr_psi_dwdy_1][k], st.arrays[arr_psi_dudx_2][k], st.arrays[arr_psi_dwdy_2][k],
                         halo_width, L, s.nX, s.nY, s.dX, s.dT, s.ndmap, region_start, region_end, region_offset);
}

} // namespace

const solver_model relaxation_model = {
    make_array_list(maps),
    make_array_list(host_maps),
    make_array_list(allocations),
    make_array_list(clears),
    make_array_list(uploads),
    make_array_list(releases),
    make_field_stream_list(exchange_after_u),
    make_field_stream_list(exchange_after_p),
    make_field_stream_list(time_shift),
    144, // 11 two-level fields and 14 single-level maps
    1,
    "[Rank %2d | %s | GPU %d] GPU memory estimate (local_nx=%d, nY=%d):\n"
    "  TOTAL ESTIMATED (user allocs)    : %10.2f GB\n"
    "  Context overhead (pre-alloc)     : %10.2f GB\n"
    "  PREDICTED nvtop total            : %10.2f GB\n"
    "  GPU free / total                 : %.2f / %.2f GB\n",
    1,
    launch_fd_u,
    launch_fd_p,
    make_array_list(divisors),
    make_array_list(stretching),
};
