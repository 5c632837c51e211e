// What distinguishes one program from the other for the shared driver: its
// maps, its device arrays and their orders, its exchanges and time shifts, its
// memory report and its two update kernels. Everything else is shared.
#pragma once

#include "device_arrays.h"
#include "platform.h"

#include <cstdint>

struct device_state;
struct scalar_inputs;

enum stream_id { compute_stream_id, halo_stream_id, memvar_x_stream_id, memvar_y_stream_id, output_stream_id };

struct array_list {
    const array_id* ids;
    int count;
};

struct field_on_stream {
    array_id field;
    stream_id stream;
};

struct field_stream_list {
    const field_on_stream* entries;
    int count;
};

// Launches one update kernel of GPU k (window width L) on the region
// [region_start, region_end) with region_offset = region_start - gpu_start.
typedef cudaError_t (*update_launcher)(const device_state& st, const scalar_inputs& s, int k, int L, dim3 grid,
                                       dim3 block, cudaStream_t stream, int region_start, int region_end,
                                       int region_offset);

struct solver_model {
    array_list maps;               // maps read after "beta.dat", in reading order
    array_list host_maps_last;     // maps whose host arrays come last, in this order; the others follow beta
    array_list allocation_order;   // device arrays before the source tables
    array_list clear_order;        // two-level fields cleared at start-up
    array_list upload_order;       // GPU windows and dmap, before the source tables
    array_list release_order;      // device arrays before the source tables
    field_stream_list exchange_after_u;
    field_stream_list exchange_after_p;
    field_stream_list time_shift;
    uint64_t bytes_per_point;      // device bytes per GPU-window point
    int count_zero_points;         // the memory estimate counts the icczero table
    const char* memory_report_format;
    int peer_access_required;
    update_launcher fd_u;
    update_launcher fd_p;
    array_list divisor_maps;       // maps the updates divide by: finite and positive where they reach
    array_list stretching_maps;    // maps that divide both derivatives, and so the squared speed
};

template <typename T, int N> constexpr array_list make_array_list(const T (&ids)[N]) { return {ids, N}; }
template <int N> constexpr field_stream_list make_field_stream_list(const field_on_stream (&entries)[N])
{
    return {entries, N};
}
