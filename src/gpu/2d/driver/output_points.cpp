#include "output_points.h"

#include "cuda_check.h"
#include "logical_gpus.h"
#include "progress_line.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

uint64_t memory_estimate(const solver_model& model, const host_inputs& in, int L, int out_count)
{
    const uint64_t nY = static_cast<uint64_t>(in.s.nY);
    uint64_t bytes = model.bytes_per_point * nY * static_cast<uint64_t>(L) + 72 * static_cast<uint64_t>(in.s.ndmap);
    const uint64_t ncoords = static_cast<uint64_t>(in.s.ncoords);
    if (in.s.ncoords > 0)
        bytes += 8 * ncoords + 4 * ncoords * (in.memory_saving ? 1 : static_cast<uint64_t>(in.s.nTic));
    if (model.count_zero_points && in.s.ncoordszero > 0)
        bytes += 8 * static_cast<uint64_t>(in.s.ncoordszero);
    return bytes + 20 * static_cast<uint64_t>(out_count);
}

static bool accepts(const decomposition& d, int k, int x, int y, int nY)
{
    return d.output_start[k] <= x && x < d.output_end[k] && y < nY;
}

int outc_point_of_slot(const host_inputs& in, const decomposition& d, int slot)
{
    const int* outc = in.outc[0];
    for (int k = 0, next = 0; k < d.ngpus; ++k)
        for (int i = 0; i < in.s.ncoordsout; ++i)
            if (accepts(d, k, outc[2 * i], outc[2 * i + 1], in.s.nY) && next++ == slot)
                return i;
    return -1;
}

float* set_up_output_points(const solver_model& model, const host_inputs& in, const decomposition& d,
                            device_state* st)
{
    const int n = in.s.ncoordsout;
    const int* outc = in.outc[0];
    // Nothing is allocated or copied for no points: those pointers stay null.
    float* frame = nullptr;
    if (n > 0) {
        check_cuda(cudaMallocHost(reinterpret_cast<void**>(&frame), 4 * static_cast<size_t>(n)), "cudaMallocHost", -1);
        std::memset(frame, 0, 4 * static_cast<size_t>(n));
    }

    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        int count = 0;
        for (int i = 0; i < n; ++i)
            count += accepts(d, k, outc[2 * i], outc[2 * i + 1], in.s.nY);
        st->out_count[k] = count;

        char host[256] = {0};
        (void)gethostname(host, sizeof host - 1);
        const int L = d.gpu_domain_local_nx[k];
        const uint64_t estimate = memory_estimate(model, in, L, count);
        size_t free_bytes = 0, total_bytes = 0;
        (void)cudaMemGetInfo(&free_bytes, &total_bytes); // a failed query reports 0 / 0
        (void)cudaGetLastError();
        const uint64_t used = static_cast<uint64_t>(total_bytes) - static_cast<uint64_t>(free_bytes);
        const double gb = 1.0 / 1073741824.0;
        char report[2048];
        std::snprintf(report, sizeof report, model.memory_report_format, k, host, k, L, in.s.nY,
                      static_cast<double>(estimate) * gb, static_cast<double>(used) * gb,
                      static_cast<double>(estimate + used) * gb,
                      static_cast<double>(static_cast<uint64_t>(free_bytes)) * gb,
                      static_cast<double>(static_cast<uint64_t>(total_bytes)) * gb);
        continue_progress_line(report);

        if (count == 0)
            continue;
        const size_t desc_bytes = 12 * static_cast<size_t>(count);
        check_cuda(cudaMallocHost(reinterpret_cast<void**>(&st->out_desc_host[k]), desc_bytes), "cudaMallocHost", k);
        int* desc = st->out_desc_host[k];
        for (int i = 0, j = 0; i < n; ++i) {
            const int x = outc[2 * i], y = outc[2 * i + 1];
            if (!accepts(d, k, x, y, in.s.nY))
                continue;
            desc[3 * j] = x - d.output_start[k];
            desc[3 * j + 1] = y;
            desc[3 * j + 2] = x;
            ++j;
        }
        check_cuda(cudaMalloc(reinterpret_cast<void**>(&st->out_values[k]), 4 * static_cast<size_t>(count)),
                   "cudaMalloc", k);
        check_cuda(cudaMalloc(reinterpret_cast<void**>(&st->out_desc[k]), desc_bytes), "cudaMalloc", k);
        check_cuda(cudaMemcpy(st->out_desc[k], desc, desc_bytes, cudaMemcpyHostToDevice), "cudaMemcpy", k);
        check_cuda(cudaMalloc(reinterpret_cast<void**>(&st->out_index[k]), 4 * static_cast<size_t>(count)),
                   "cudaMalloc", k);
    }
    return frame;
}
