// Per-GPU streams and device arrays, in tables of 8 indexed by GPU.
#pragma once

#include "decomposition.h"
#include "device_arrays.h"
#include "platform.h"
#include "solver_model.h"
#include "source_families.h"

struct device_state {
    int ngpus;
    cudaStream_t compute_stream[max_gpus];
    cudaStream_t halo_stream[max_gpus];
    cudaStream_t memvar_x_stream[max_gpus];
    cudaStream_t memvar_y_stream[max_gpus];
    cudaStream_t output_stream[max_gpus];
    float* arrays[arr_count][max_gpus]; // float arrays by name (dcmap lives in `dcmap`)
    int* dcmap[max_gpus];
    int* coords[family_count][max_gpus];
    float* series[family_count][max_gpus];
    // output sampling (pinned host table and its device copy, samples, indices)
    int out_count[max_gpus];
    int* out_desc_host[max_gpus];
    int* out_desc[max_gpus];
    float* out_values[max_gpus];
    int* out_index[max_gpus];
};

// The per-GPU table of one stream of the stream set.
inline const cudaStream_t* stream_table(const device_state& st, stream_id id)
{
    switch (id) {
    case compute_stream_id: return st.compute_stream;
    case halo_stream_id: return st.halo_stream;
    case memvar_x_stream_id: return st.memvar_x_stream;
    case memvar_y_stream_id: return st.memvar_y_stream;
    default: return st.output_stream;
    }
}
