#include "time_loop.h"

#include "cuda_check.h"
#include "logical_gpus.h"
#include "output_step.h"
#include "progress_line.h"
#include "run_end.h"
#include "source_schedule.h"
#include "two_level_field.cuh"
#include "update_block.h"

#include <cstdlib>

namespace {

void wait_stream(cudaStream_t stream, int k)
{
    check_cuda(cudaStreamSynchronize(stream), "cudaStreamSynchronize", k);
}

// One half-step: the update on the halo regions (halo_stream), then on the
// body regions (compute_stream); once the halo streams are idle the exchanges;
// then every GPU's first four streams are waited for. The velocity half-step
// takes a middle GPU's left region first, the pressure half-step its right one.
void half_step(update_launcher update, const field_stream_list& exchanges, bool right_region_first,
               const host_inputs& in, const decomposition& d, const device_state& st)
{
    const int ngpus = d.ngpus, nY = in.s.nY;
    const int bx = update_block_x, by = update_block_y;
    const dim3 block(bx, by);
    if (ngpus > 1) {
        for (int k = 0; k < ngpus; ++k) {
            check_cuda(logical_set_device(k), "cudaSetDevice", k);
            int regions[2], n = 0;
            if (k == 0)
                regions[n++] = 0;
            else if (k == ngpus - 1)
                regions[n++] = 2 * k - 1;
            else if (right_region_first)
                regions[n++] = 2 * k, regions[n++] = 2 * k - 1;
            else
                regions[n++] = 2 * k - 1, regions[n++] = 2 * k;
            for (int i = 0; i < n; ++i) {
                const int h = regions[i];
                const dim3 grid((2 * d.halo_local_nx[h] + bx - 1) / bx, (nY + by - 1) / by);
                check_cuda(update(st, in.s, k, d.gpu_domain_local_nx[k], grid, block, st.halo_stream[k],
                                  d.halo_start[h], d.halo_end[h], d.halo_start[h] - d.gpu_start[k]),
                           "update kernel launch", k);
            }
        }
    }
    for (int k = 0; k < ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        const dim3 grid((d.body_local_nx[k] + bx - 1) / bx, (nY + by - 1) / by);
        check_cuda(update(st, in.s, k, d.gpu_domain_local_nx[k], grid, block, st.compute_stream[k], d.body_start[k],
                          d.body_end[k], d.body_start[k] - d.gpu_start[k]),
                   "update kernel launch", k);
    }
    if (ngpus > 1) {
        for (int k = 0; k < ngpus; ++k) {
            check_cuda(logical_set_device(k), "cudaSetDevice", k);
            wait_stream(st.halo_stream[k], k);
        }
        for (int i = 0; i < exchanges.count; ++i) {
            int sender = -1;
            const cudaError_t sent =
                exchange_halos_async(st.arrays[exchanges.entries[i].field], d.gpu_domain_local_nx,
                                     stream_table(st, exchanges.entries[i].stream), ngpus, nY, halo_width, &sender);
            check_cuda(sent, "cudaMemcpyPeerAsync", sender);
        }
    }
    for (int k = 0; k < ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        wait_stream(st.compute_stream[k], k);
        wait_stream(st.halo_stream[k], k);
        wait_stream(st.memvar_x_stream[k], k);
        wait_stream(st.memvar_y_stream[k], k);
    }
}

void shift_time(const field_stream_list& shifts, const host_inputs& in, const decomposition& d,
                const device_state& st)
{
    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        const int n = in.s.nY * d.gpu_domain_local_nx[k];
        const dim3 grid((n + 31) / 32), block(32);
        for (int i = 0; i < shifts.count; ++i) {
            float* field = st.arrays[shifts.entries[i].field][k];
            check_cuda(LAUNCH_KERNEL(proceed_time, grid, block, stream_table(st, shifts.entries[i].stream)[k], field,
                                     field + n, n),
                       "proceed_time launch", k);
        }
    }
    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaDeviceSynchronize(), "cudaDeviceSynchronize", k);
    }
}

} // namespace

void run_time_loop(const solver_model& model, const host_inputs& in, const decomposition& d, const device_state& st,
                   float* genout_frame_host, float_writer* writer)
{
    const int nT = in.s.nT;
    for (int t = 0; t < nT; ++t) {
        stop_if_signalled(t, nT);
        // A single step is the whole run: show 1.000 rather than 0/0.
        show_progress(nT == 1 ? 1.0 : static_cast<double>(t) / static_cast<double>(nT - 1));

        apply_sources(in, d, st, t);
        half_step(model.fd_u, model.exchange_after_u, false, in, d, st);
        half_step(model.fd_p, model.exchange_after_p, true, in, d, st);
        if (t % in.s.modT == 0)
            run_output_step(in, d, st, genout_frame_host, writer, t);
        shift_time(model.time_shift, in, d, st);
    }
}

static void release(void* ptr, int k)
{
    check_cuda(cudaFree(ptr), "cudaFree", k);
}

int tear_down(const solver_model& model, const host_inputs& in, const decomposition& d, device_state* st,
              float* genout_frame_host, const float_writer* writer)
{
    close_progress_line("Done.");
    // The frame buffer goes after the writer: a failure to release either
    // then finds genout.dat closed, with every frame in it.
    const cudaError_t released = release_output();
    release_stop_signals(in.s.nT > 0 ? in.s.nT : 0, in.s.nT);
    check_cuda(released, "cudaFreeHost", -1);
    if (genout_frame_host != nullptr) // none without output points
        check_cuda(cudaFreeHost(genout_frame_host), "cudaFreeHost", -1);

    for (int f = 0; f < family_count; ++f)
        std::free(in.slice_host[f]);

    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        for (int i = 0; i < model.release_order.count; ++i) {
            const array_id id = model.release_order.ids[i];
            release(id == arr_dcmap ? static_cast<void*>(st->dcmap[k]) : st->arrays[id][k], k);
        }
        for (family_id f : table_order) {
            if (in.count[f] <= 0)
                continue;
            if (source_families[f].series_name)
                release(st->series[f][k], k);
            release(st->coords[f][k], k);
        }
        release(st->out_desc[k], k);
        release(st->out_values[k], k);
        release(st->out_index[k], k);
        cudaStream_t streams[] = {st->compute_stream[k], st->halo_stream[k], st->memvar_x_stream[k],
                                  st->memvar_y_stream[k], st->output_stream[k]};
        for (cudaStream_t s : streams)
            check_cuda(cudaStreamDestroy(s), "cudaStreamDestroy", k);
    }

    if (float_writer_failed(writer)) {
        print_message("Error: genout.dat is incomplete: a write, flush, sync or close of it failed\n");
        return 1;
    }
    return 0;
}
