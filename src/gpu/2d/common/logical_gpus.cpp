#include "logical_gpus.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int most_logical_gpus = 16;

struct logical_setting {
    int requested;       // N, 0 when unset
    int devices;         // the visible devices, counted once when requested
    cudaError_t counted; // the result of that count
};

int parse_requested()
{
    const char* text = std::getenv("TESSARO_LOGICAL_GPUS");
    if (text == nullptr || *text == '\0')
        return 0;
    int value = 0;
    bool whole = true;
    for (const char* p = text; whole && *p != '\0'; ++p) {
        whole = *p >= '0' && *p <= '9' && value <= most_logical_gpus;
        value = 10 * value + (*p - '0');
    }
    if (!whole || value < 1 || value > most_logical_gpus) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to %d, not '%s'\n",
                     most_logical_gpus, text);
        std::exit(1);
    }
    return value;
}

const logical_setting& setting()
{
    static const logical_setting s = [] {
        logical_setting read = {parse_requested(), 0, cudaSuccess};
        if (read.requested > 0) {
            read.counted = cudaGetDeviceCount(&read.devices);
            if (read.counted != cudaSuccess)
                read.devices = 0;
        }
        return read;
    }();
    return s;
}

// Two different GPUs on one device.
bool share_a_device(int gpu, int peer)
{
    return setting().requested > 0 && gpu != peer && logical_device(gpu) == logical_device(peer);
}

} // namespace

int logical_gpus_requested() { return setting().requested; }

cudaError_t logical_gpu_count(int* count, int* devices)
{
    const logical_setting& s = setting();
    if (s.requested == 0) {
        const cudaError_t counted = cudaGetDeviceCount(count);
        *devices = *count;
        return counted;
    }
    *devices = s.devices;
    *count = s.devices > 0 ? s.requested : 0;
    return s.counted;
}

int logical_device(int gpu)
{
    const logical_setting& s = setting();
    return s.requested > 0 && s.devices > 0 ? gpu % s.devices : gpu;
}

cudaError_t logical_set_device(int gpu) { return cudaSetDevice(logical_device(gpu)); }

cudaError_t logical_can_access_peer(int* can_access, int gpu, int peer)
{
    if (share_a_device(gpu, peer)) {
        *can_access = 1;
        return cudaSuccess;
    }
    return cudaDeviceCanAccessPeer(can_access, logical_device(gpu), logical_device(peer));
}

cudaError_t logical_enable_peer_access(int gpu, int peer)
{
    return share_a_device(gpu, peer) ? cudaSuccess : cudaDeviceEnablePeerAccess(logical_device(peer), 0);
}

cudaError_t logical_grant_pool_access(int gpu, int peer, const char** failed_call)
{
    if (share_a_device(gpu, peer))
        return cudaSuccess;
    cudaMemPool_t pool;
    cudaError_t result = cudaDeviceGetDefaultMemPool(&pool, logical_device(peer));
    if (result != cudaSuccess) {
        *failed_call = "cudaDeviceGetDefaultMemPool";
        return result;
    }
    cudaMemAccessDesc access = {};
    access.location.type = cudaMemLocationTypeDevice;
    access.location.id = logical_device(gpu);
    access.flags = cudaMemAccessFlagsProtReadWrite;
    result = cudaMemPoolSetAccess(pool, &access, 1);
    if (result != cudaSuccess)
        *failed_call = "cudaMemPoolSetAccess";
    return result;
}

cudaError_t logical_memcpy_peer_async(void* dst, int dst_gpu, const void* src, int src_gpu, size_t bytes,
                                      cudaStream_t stream)
{
    if (share_a_device(dst_gpu, src_gpu))
        return cudaMemcpyAsync(dst, src, bytes, cudaMemcpyDeviceToDevice, stream);
    return cudaMemcpyPeerAsync(dst, logical_device(dst_gpu), src, logical_device(src_gpu), bytes, stream);
}
