// Devices, peer access and streams.
#include "runtime_state.h"

#include <algorithm>

using namespace host_runtime::detail;

namespace {

std::string dev_field(int device) { return " dev=" + std::to_string(device); }

} // namespace

bool host_runtime::detail::peer_reachable(int device, int peer)
{
    const auto& pairs = state().no_peer_pairs;
    return device != peer && std::find(pairs.begin(), pairs.end(), std::make_pair(device, peer)) == pairs.end();
}

cudaError_t cudaGetDeviceCount(int* count)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaGetDeviceCount");
    int n = state().device_count;
    if (error != cudaSuccess) {
    } else if (count == nullptr)
        error = cudaErrorInvalidValue;
    else {
        *count = n;
        if (n == 0)
            error = cudaErrorNoDevice;
    }
    trace_line("cudaGetDeviceCount" + dev_field(current_device()) + " count=" + std::to_string(n), error);
    return record(error);
}

cudaError_t cudaSetDevice(int device)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaSetDevice");
    if (error != cudaSuccess) {
    } else if (state().device_count == 0)
        error = cudaErrorNoDevice;
    else if (!valid_device(device))
        error = cudaErrorInvalidDevice;
    else
        set_current_device(device);
    trace_line("cudaSetDevice" + dev_field(device), error);
    return record(error);
}

cudaError_t cudaGetDevice(int* device)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaGetDevice");
    if (error != cudaSuccess) {
    } else if (device == nullptr)
        error = cudaErrorInvalidValue;
    else
        *device = current_device();
    trace_line("cudaGetDevice" + dev_field(current_device()), error);
    return record(error);
}

cudaError_t cudaDeviceCanAccessPeer(int* can_access, int device, int peer_device)
{
    auto lock = lock_runtime();
    const cudaError_t injected = injected_error("cudaDeviceCanAccessPeer");
    cudaError_t error = injected;
    int can = 0;
    if (error != cudaSuccess) {
    } else if (can_access == nullptr)
        error = cudaErrorInvalidValue;
    else if (!valid_device(device) || !valid_device(peer_device))
        error = cudaErrorInvalidDevice;
    else
        can = peer_reachable(device, peer_device) ? 1 : 0;
    if (can_access != nullptr && injected == cudaSuccess)
        *can_access = can;
    trace_line("cudaDeviceCanAccessPeer" + dev_field(device) + " peer=" + std::to_string(peer_device) +
                   " can=" + std::to_string(can),
               error);
    return record(error);
}

cudaError_t cudaDeviceEnablePeerAccess(int peer_device, unsigned int flags)
{
    auto lock = lock_runtime();
    int device = current_device();
    cudaError_t error = injected_error("cudaDeviceEnablePeerAccess");
    if (error == cudaSuccess)
        error = check_current_device();
    if (error != cudaSuccess) {
    } else if (!valid_device(peer_device) || peer_device == device)
        error = cudaErrorInvalidDevice;
    else if (flags != 0)
        error = cudaErrorInvalidValue;
    else if (!peer_reachable(device, peer_device))
        error = cudaErrorPeerAccessUnsupported;
    else {
        char& enabled = state().devices[static_cast<size_t>(device)].peer_enabled[static_cast<size_t>(peer_device)];
        if (enabled)
            error = cudaErrorPeerAccessAlreadyEnabled;
        enabled = 1;
    }
    trace_line("cudaDeviceEnablePeerAccess" + dev_field(device) + " peer=" + std::to_string(peer_device), error);
    return record(error);
}

cudaError_t cudaDeviceGetStreamPriorityRange(int* least_priority_out, int* greatest_priority_out)
{
    auto lock = lock_runtime();
    const cudaError_t error = injected_error("cudaDeviceGetStreamPriorityRange");
    if (least_priority_out != nullptr && error == cudaSuccess)
        *least_priority_out = least_priority;
    if (greatest_priority_out != nullptr && error == cudaSuccess)
        *greatest_priority_out = greatest_priority;
    trace_line("cudaDeviceGetStreamPriorityRange" + dev_field(current_device()) +
                   " least=" + std::to_string(least_priority) + " greatest=" + std::to_string(greatest_priority),
               error);
    return record(error);
}

cudaError_t cudaStreamCreateWithPriority(cudaStream_t* stream, unsigned int flags, int priority)
{
    auto lock = lock_runtime();
    int device = current_device();
    cudaError_t error = injected_error("cudaStreamCreateWithPriority");
    if (error == cudaSuccess)
        error = check_current_device();
    if (error == cudaSuccess && stream == nullptr)
        error = cudaErrorInvalidValue;
    std::string head = "cudaStreamCreateWithPriority" + dev_field(device);
    if (error == cudaSuccess) {
        auto* created = new host_stream;
        created->serial = state().next_stream_serial++;
        created->device = device;
        created->priority = std::min(least_priority, std::max(greatest_priority, priority));
        created->flags = flags;
        state().streams.insert(created);
        state().devices[static_cast<size_t>(device)].streams.push_back(created);
        *stream = created;
        head += " " + stream_field(created);
    }
    trace_line(head + " flags=" + std::to_string(flags), error);
    return record(error);
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaStreamSynchronize");
    const bool valid = valid_stream(stream);
    if (error == cudaSuccess && !valid)
        error = cudaErrorInvalidResourceHandle;
    trace_line("cudaStreamSynchronize" +
                   (valid ? dev_field(stream_device(stream)) + " " + stream_field(stream) : dev_field(current_device())),
               error);
    if (error == cudaSuccess && stream != nullptr)
        flush_stream(stream);
    return record(error);
}

cudaError_t cudaStreamDestroy(cudaStream_t stream)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaStreamDestroy");
    const bool valid = stream != nullptr && valid_stream(stream);
    if (error == cudaSuccess && !valid)
        error = cudaErrorInvalidResourceHandle;
    trace_line("cudaStreamDestroy" + (valid ? dev_field(stream->device) + " " + stream_field(stream)
                                            : dev_field(current_device())),
               error);
    if (error != cudaSuccess)
        return record(error);
    flush_stream(stream);
    auto& list = state().devices[static_cast<size_t>(stream->device)].streams;
    list.erase(std::find(list.begin(), list.end(), stream));
    state().streams.erase(stream);
    delete stream;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize()
{
    auto lock = lock_runtime();
    int device = current_device();
    cudaError_t error = injected_error("cudaDeviceSynchronize");
    if (error == cudaSuccess)
        error = check_current_device();
    trace_line("cudaDeviceSynchronize" + dev_field(device), error);
    if (error == cudaSuccess)
        flush_device(device);
    return record(error);
}
