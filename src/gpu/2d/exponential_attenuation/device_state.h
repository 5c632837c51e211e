// Per-GPU streams and device arrays, in tables of 8 indexed by GPU.
#pragma once

#include "decomposition.h"
#include "device_arrays.h"
#include "platform.h"
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
