#include "device_setup.h"

#include "cuda_check.h"
#include "logical_gpus.h"

#include <cstdio>

size_t array_elements(array_id id, const host_inputs& in, int L)
{
    const size_t window = static_cast<size_t>(L) * static_cast<size_t>(in.s.nY);
    if (id == arr_dmap)
        return 18 * static_cast<size_t>(in.s.ndmap);
    return is_two_level(id) ? 2 * window : window;
}

size_t series_elements(family_id f, const host_inputs& in)
{
    const size_t n = static_cast<size_t>(in.count[f]);
    return in.memory_saving ? n : n * static_cast<size_t>(in.s.nTic);
}

static void** array_slot(device_state* st, array_id id, int k)
{
    return id == arr_dcmap ? reinterpret_cast<void**>(&st->dcmap[k]) : reinterpret_cast<void**>(&st->arrays[id][k]);
}

static void refuse_without_peer_access(int* failed)
{
    std::fprintf(stderr, "The Multi-GPU feature requires peer access to the GPUs.\n"
                         "Peer access not supported. Exiting.\n");
    *failed = 1;
}

static void set_up_peer_access(int k, int ngpus, int required, int* failed)
{
    for (int j = 0; j < ngpus; ++j) {
        if (j == k)
            continue;
        int can_access = 0;
        check_cuda(logical_can_access_peer(&can_access, k, j), "cudaDeviceCanAccessPeer", k);
        if (!can_access) {
            if (required) {
                std::fprintf(stderr, "GPU %d cannot access GPU %d\n", k, j);
                refuse_without_peer_access(failed);
                return;
            }
            continue;
        }
        // A pair enabled before counts as enabled; leave no error pending.
        const cudaError_t enabled = logical_enable_peer_access(k, j);
        (void)cudaGetLastError();
        if (enabled == cudaSuccess || enabled == cudaErrorPeerAccessAlreadyEnabled) {
            std::printf("GPU %d enabled peer access to GPU %d\n", k, j);
            // The fields are pool allocations, which peer access alone does not open.
            const char* call = nullptr;
            const cudaError_t granted = logical_grant_pool_access(k, j, &call); // names the call that failed
            check_cuda(granted, call, k);
            continue;
        }
        std::fflush(stdout);
        std::fprintf(stderr, "Warning: GPU %d could not enable peer access to GPU %d: %s\n", k, j,
                     cudaGetErrorString(enabled));
        if (required) {
            refuse_without_peer_access(failed);
            return;
        }
    }
}

// An empty table (a series with nTic = 0) is neither allocated nor copied:
// its pointer stays null, and no kernel reads it.
static void allocate(void** slot, size_t bytes, cudaStream_t stream, int k)
{
    if (bytes > 0)
        check_cuda(cudaMallocAsync(slot, bytes, stream), "cudaMallocAsync", k);
}

static void upload(void* dst, const void* src, size_t bytes, cudaStream_t stream, int k)
{
    if (bytes > 0)
        check_cuda(cudaMemcpyAsync(dst, src, bytes, cudaMemcpyHostToDevice, stream), "cudaMemcpyAsync", k);
}

int set_up_devices(const solver_model& model, const host_inputs& in, const decomposition& d, device_state* st)
{
    st->ngpus = d.ngpus;
    int least = 0, greatest = 0;
    check_cuda(cudaDeviceGetStreamPriorityRange(&least, &greatest), "cudaDeviceGetStreamPriorityRange", 0);

    for (int k = 0; k < d.ngpus; ++k) {
        const int L = d.gpu_domain_local_nx[k];
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        cudaStream_t* streams[] = {&st->compute_stream[k], &st->halo_stream[k], &st->memvar_x_stream[k],
                                   &st->memvar_y_stream[k], &st->output_stream[k]};
        for (int s = 0; s < 5; ++s)
            check_cuda(cudaStreamCreateWithPriority(streams[s], cudaStreamNonBlocking, s == 0 ? least : greatest),
                       "cudaStreamCreateWithPriority", k);

        int peer_failed = 0;
        set_up_peer_access(k, d.ngpus, model.peer_access_required, &peer_failed);
        if (peer_failed)
            return 1;

        cudaStream_t stream = st->compute_stream[k];
        for (int i = 0; i < model.allocation_order.count; ++i) {
            array_id id = model.allocation_order.ids[i];
            allocate(array_slot(st, id, k), 4 * array_elements(id, in, L), stream, k);
        }
        for (family_id f : table_order) {
            if (in.count[f] <= 0)
                continue;
            if (source_families[f].series_name)
                allocate(reinterpret_cast<void**>(&st->series[f][k]), 4 * series_elements(f, in), stream, k);
            allocate(reinterpret_cast<void**>(&st->coords[f][k]), 8 * static_cast<size_t>(in.count[f]), stream, k);
        }

        for (int i = 0; i < model.clear_order.count; ++i) {
            array_id id = model.clear_order.ids[i];
            check_cuda(cudaMemsetAsync(st->arrays[id][k], 0, 4 * array_elements(id, in, L), stream),
                       "cudaMemsetAsync", k);
        }

        // The GPU window of a map starts at host row gpu_start.
        const size_t first = static_cast<size_t>(d.gpu_start[k] > 0 ? d.gpu_start[k] : 0) * in.s.nY;
        for (int i = 0; i < model.upload_order.count; ++i) {
            array_id id = model.upload_order.ids[i];
            const size_t bytes = 4 * array_elements(id, in, L);
            if (id == arr_dmap)
                upload(st->arrays[id][k], in.dmap, bytes, stream, k);
            else if (id == arr_dcmap)
                upload(st->dcmap[k], in.dcmap[0] + first, bytes, stream, k);
            else
                upload(st->arrays[id][k], in.maps[id][0] + first, bytes, stream, k);
        }
        for (family_id f : table_order) {
            if (in.count[f] <= 0)
                continue;
            if (source_families[f].series_name && !in.memory_saving)
                upload(st->series[f][k], in.series[f][0], 4 * series_elements(f, in), stream, k);
            upload(st->coords[f][k], in.coords[f][0], 8 * static_cast<size_t>(in.count[f]), stream, k);
        }
    }

    for (int k = 0; k < d.ngpus; ++k) {
        check_cuda(logical_set_device(k), "cudaSetDevice", k);
        check_cuda(cudaStreamSynchronize(st->compute_stream[k]), "cudaStreamSynchronize", k);
        check_cuda(cudaStreamSynchronize(st->halo_stream[k]), "cudaStreamSynchronize", k);
    }
    return 0;
}
