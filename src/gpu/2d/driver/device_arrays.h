// Names of the per-GPU device arrays of both programs. A program picks its own
// arrays and their orders (solver_model.h); the host maps use the same names.
#pragma once

enum array_id {
    // two-level fields
    arr_p,
    arr_u,
    arr_w,
    arr_psi_dpdx_1,
    arr_psi_dpdy_1,
    arr_psi_dpdx_2,
    arr_psi_dpdy_2,
    arr_psi_dudx_1,
    arr_psi_dwdy_1,
    arr_psi_dudx_2,
    arr_psi_dwdy_2,
    // per-point maps (GPU window of L x-slices)
    arr_rho,
    arr_K,
    arr_beta,
    arr_a_exp,
    arr_kappax,
    arr_kappau,
    arr_apmlx1,
    arr_bpmlx1,
    arr_apmlx2,
    arr_bpmlx2,
    arr_apmlu1,
    arr_bpmlu1,
    arr_apmlu2,
    arr_bpmlu2,
    arr_dcmap, // int32
    // the whole coefficient table
    arr_dmap,
    arr_count
};

// The input stem of an array ("rho", "psi_dpdx_1", ...).
const char* array_name(array_id id);
// 1 for the two-level fields.
int is_two_level(array_id id);
