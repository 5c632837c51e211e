// Default memory pools and the access of other devices to them. The access
// is checked and recorded; copies do not depend on it (peer copies never do).
#include "runtime_state.h"

#include <algorithm>

using namespace host_runtime::detail;

namespace {

bool valid_pool(cudaMemPool_t pool)
{
    const auto& pools = state().pools;
    return pool != nullptr && std::any_of(pools.begin(), pools.end(), [&](const auto& p) { return p.get() == pool; });
}

std::string access_name(int flags)
{
    switch (flags) {
    case cudaMemAccessFlagsProtNone: return "none";
    case cudaMemAccessFlagsProtRead: return "r";
    case cudaMemAccessFlagsProtReadWrite: return "rw";
    }
    return std::to_string(flags);
}

// The error of one access entry for a pool of `owner`: the owner keeps its
// read-write access; another device must be able to reach it.
cudaError_t check_access(const cudaMemAccessDesc& desc, int owner)
{
    const int flags = desc.flags, device = desc.location.id;
    if (desc.location.type != cudaMemLocationTypeDevice ||
        (flags != cudaMemAccessFlagsProtNone && flags != cudaMemAccessFlagsProtRead &&
         flags != cudaMemAccessFlagsProtReadWrite))
        return cudaErrorInvalidValue;
    if (!valid_device(device))
        return cudaErrorInvalidDevice;
    if (device == owner)
        return flags == cudaMemAccessFlagsProtReadWrite ? cudaSuccess : cudaErrorInvalidValue;
    return peer_reachable(device, owner) ? cudaSuccess : cudaErrorInvalidDevice;
}

} // namespace

cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* pool, int device)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaDeviceGetDefaultMemPool");
    if (error != cudaSuccess) {
    } else if (pool == nullptr)
        error = cudaErrorInvalidValue;
    else if (state().device_count == 0)
        error = cudaErrorNoDevice;
    else if (!valid_device(device))
        error = cudaErrorInvalidDevice;
    else {
        auto& pools = state().pools;
        auto found = std::find_if(pools.begin(), pools.end(), [&](const auto& p) { return p->device == device; });
        if (found == pools.end()) {
            auto made = std::make_unique<host_mem_pool>();
            made->device = device;
            made->access.assign(static_cast<size_t>(state().device_count), cudaMemAccessFlagsProtNone);
            made->access[static_cast<size_t>(device)] = cudaMemAccessFlagsProtReadWrite;
            pools.push_back(std::move(made));
            found = std::prev(pools.end());
        }
        *pool = found->get();
    }
    trace_line("cudaDeviceGetDefaultMemPool dev=" + std::to_string(device) +
                   (error == cudaSuccess ? " pool=" + std::to_string(device) : std::string()),
               error);
    return record(error);
}

cudaError_t cudaMemPoolSetAccess(cudaMemPool_t pool, const cudaMemAccessDesc* desc_list, size_t count)
{
    auto lock = lock_runtime();
    const bool known = valid_pool(pool);
    cudaError_t error = first_error(injected_error("cudaMemPoolSetAccess"),
                                    known && (count == 0 || desc_list != nullptr) ? cudaSuccess
                                                                                  : cudaErrorInvalidValue);
    std::string head = "cudaMemPoolSetAccess pool=" + (known ? std::to_string(pool->device) : std::string("invalid")) +
                       " count=" + std::to_string(count);
    for (size_t i = 0; error == cudaSuccess && i < count; ++i) {
        head += std::string(i == 0 ? " access=" : ",") + std::to_string(desc_list[i].location.id) + ":" +
                access_name(desc_list[i].flags);
        error = check_access(desc_list[i], pool->device);
    }
    trace_line(head, error);
    if (error != cudaSuccess)
        return record(error);
    for (size_t i = 0; i < count; ++i)
        pool->access[static_cast<size_t>(desc_list[i].location.id)] = desc_list[i].flags;
    return cudaSuccess;
}
