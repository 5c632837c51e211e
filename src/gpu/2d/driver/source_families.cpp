#include "source_families.h"

const source_family source_families[family_count] = {
    {"icc", "divev", "divev_slice_host", arr_p, action_write},
    {"icc_add", "divev_add", "divev_add_slice_host", arr_p, action_add},
    {"icczero", nullptr, nullptr, arr_p, action_zero},
    {"icc_u", "divev_u", "divev_u_slice_host", arr_u, action_write},
    {"icc_w", "divev_w", "divev_w_slice_host", arr_w, action_write},
};

const family_id table_order[family_count] = {family_icc, family_icczero, family_icc_add, family_icc_u, family_icc_w};
