// The five source families in schedule order. Each is a point list with its
// count, a target field, a kernel pair and, for all but icczero, a time series.
#pragma once

#include "device_arrays.h"

enum family_id { family_icc, family_icc_add, family_icczero, family_icc_u, family_icc_w, family_count };

enum source_action { action_write, action_add, action_zero };

struct source_family {
    const char* list_name;   // "icc"
    const char* series_name; // "divev", or nullptr for icczero
    const char* slice_name;  // "divev_slice_host", or nullptr
    array_id target;         // p, u or w
    source_action action;
};

extern const source_family source_families[family_count];

// Order of the families' device tables (allocation, upload, release):
// icc, icczero, icc_add, icc_u, icc_w.
extern const family_id table_order[family_count];
