#include "output_step.h"

#include "cuda_check.h"
#include "logical_gpus.h"
#include "output_kernels.cuh"

// The two assertions hold in every build type.
#undef NDEBUG
#include <cassert>

void run_output_step(const host_inputs& in, const decomposition& d, const device_state& st, float* genout_frame_host,
                     float_writer* writer, int t)
{
    const int* gpu_domain_local_nx = d.gpu_domain_local_nx;
    const int* output_domain_local_nx = d.output_domain_local_nx;
    for (int gpu_id = 0; gpu_id < d.ngpus; ++gpu_id) {
        check_cuda(logical_set_device(gpu_id), "cudaSetDevice", gpu_id);
        const int count = st.out_count[gpu_id];
        if (count == 0)
            continue;
        const int offset = d.output_start[gpu_id] - d.gpu_start[gpu_id];
        assert(offset >= 0);
        assert(offset + output_domain_local_nx[gpu_id] <= gpu_domain_local_nx[gpu_id]);
        const dim3 grid((count + 15) / 16), block(16);
        const float* p = st.arrays[arr_p][gpu_id];
        cudaError_t launched =
            t == 0 ? LAUNCH_KERNEL(compute_genout_frame_multi, grid, block, st.output_stream[gpu_id],
                                   st.out_index[gpu_id], st.out_values[gpu_id], p, st.out_desc[gpu_id], count,
                                   gpu_domain_local_nx[gpu_id], in.s.nY, d.output_start[gpu_id],
                                   d.output_end[gpu_id], halo_width, offset)
                   : LAUNCH_KERNEL(extract_pressure_values, grid, block, st.output_stream[gpu_id],
                                   st.out_index[gpu_id], st.out_values[gpu_id], p, count);
        check_cuda(launched, "sampling kernel launch", gpu_id);
    }

    int slot = 0; // GPU k's samples start after those of the GPUs below it
    for (int k = 0; k < d.ngpus; ++k) {
        const int count = st.out_count[k];
        if (count == 0)
            continue;
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaMemcpyAsync(genout_frame_host + slot, st.out_values[k], 4 * static_cast<size_t>(count),
                                   cudaMemcpyDeviceToHost, st.output_stream[k]),
                   "cudaMemcpyAsync", k);
        slot += count;
    }
    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaStreamSynchronize(st.output_stream[k]), "cudaStreamSynchronize", k);
    }

    float_writer_submit(writer, genout_frame_host, static_cast<uint64_t>(in.s.ncoordsout), t == in.s.nT - 1);

    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaStreamSynchronize(st.compute_stream[k]), "cudaStreamSynchronize", k);
        check_cuda(cudaStreamSynchronize(st.output_stream[k]), "cudaStreamSynchronize", k);
    }
}
