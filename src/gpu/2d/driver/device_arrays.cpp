#include "device_arrays.h"

const char* array_name(array_id id)
{
    static const char* const names[arr_count] = {
        "p",      "u",      "w",      "psi_dpdx_1", "psi_dpdy_1", "psi_dpdx_2", "psi_dpdy_2", "psi_dudx_1", "psi_dwdy_1",
        "psi_dudx_2", "psi_dwdy_2", "rho", "K", "beta", "a_exp", "kappax", "kappau", "apmlx1", "bpmlx1", "apmlx2",
        "bpmlx2", "apmlu1", "bpmlu1", "apmlu2", "bpmlu2", "dcmap", "dmap"};
    return names[id];
}

int is_two_level(array_id id) { return id <= arr_psi_dwdy_2; }
