// Device and pinned memory, copies and memsets with range checks.
#include "runtime_state.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>

using namespace host_runtime::detail;

namespace {

constexpr unsigned char unwritten_pattern[4] = {0xD0, 0xBA, 0xC0, 0x7F}; // 0x7FC0BAD0, a quiet NaN

// Heap memory of `bytes` > 0 bytes, 256-byte aligned and filled with the NaN pattern.
char* new_block(size_t bytes)
{
    void* block = nullptr;
    if (posix_memalign(&block, 256, bytes) != 0)
        return nullptr;
    auto* p = static_cast<char*>(block);
    // Eight bytes at a time, then the tail: byte i holds pattern[i % 4].
    uint64_t word = 0;
    std::memcpy(&word, unwritten_pattern, 4);
    std::memcpy(reinterpret_cast<char*>(&word) + 4, unwritten_pattern, 4);
    const size_t words = bytes / sizeof word;
    for (size_t w = 0; w < words; ++w)
        std::memcpy(p + w * sizeof word, &word, sizeof word);
    for (size_t i = words * sizeof word; i < bytes; ++i)
        p[i] = static_cast<char>(unwritten_pattern[i % 4]);
    return p;
}

std::string dev_field(int device) { return " dev=" + std::to_string(device); }

std::string id_field(const allocation* a) { return a == nullptr ? "null" : "a" + std::to_string(a->id); }

// As CUDA: 0 bytes succeed with a null pointer and no memory.
cudaError_t allocate(int device, size_t bytes, void** ptr, const allocation** made)
{
    *made = nullptr;
    if (bytes == 0) {
        *ptr = nullptr;
        return cudaSuccess;
    }
    device_state& d = state().devices[static_cast<size_t>(device)];
    char* block = bytes <= state().memory_per_device - d.allocated ? new_block(bytes) : nullptr;
    if (block == nullptr) {
        *ptr = nullptr;
        return cudaErrorMemoryAllocation;
    }
    d.allocated += bytes;
    allocation& a = state().allocations[block];
    a = allocation{state().next_allocation_id++, device, block, bytes};
    *made = &a;
    *ptr = block;
    return cudaSuccess;
}

// Aborts unless [ptr, ptr + bytes) lies inside one live allocation of `device`.
void check_range(const char* call, const char* role, const void* ptr, size_t bytes, int device)
{
    const allocation* a = find_allocation(ptr);
    std::string range = std::string(role) + "=" + host_runtime::describe_pointer(ptr) +
                        " bytes=" + std::to_string(bytes) + " dev=" + std::to_string(device);
    if (a == nullptr) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", ptr);
        die(std::string(call) + ": " + range + " (address " + address + ") is not in a live device allocation");
    }
    size_t offset = static_cast<size_t>(static_cast<const char*>(ptr) - a->base);
    if (a->device != device)
        die(std::string(call) + ": " + range + " is in allocation " + id_field(a) + " of dev=" +
            std::to_string(a->device));
    if (bytes > a->bytes - offset)
        die(std::string(call) + ": " + range + " runs past the end of allocation " + id_field(a) + " (" +
            std::to_string(a->bytes) + " bytes)");
}

const char* kind_name(cudaMemcpyKind kind)
{
    switch (kind) {
    case cudaMemcpyHostToHost: return "H2H";
    case cudaMemcpyHostToDevice: return "H2D";
    case cudaMemcpyDeviceToHost: return "D2H";
    case cudaMemcpyDeviceToDevice: return "D2D";
    }
    return "invalid";
}

cudaError_t copy(const char* call, void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                 cudaStream_t stream, bool async)
{
    auto lock = lock_runtime();
    cudaError_t error = valid_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
    int device = error == cudaSuccess ? stream_device(stream) : current_device();
    error = first_error(injected_error(call), error);
    if (error == cudaSuccess && stream == nullptr)
        error = check_current_device();
    bool known_kind = kind >= cudaMemcpyHostToHost && kind <= cudaMemcpyDeviceToDevice;
    bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (error == cudaSuccess && (!known_kind || (bytes > 0 && ((!dst_device && dst == nullptr) ||
                                                                (!src_device && src == nullptr)))))
        error = cudaErrorInvalidValue;
    if (tracing_enabled()) {
        std::string head = std::string(call) + dev_field(device);
        if (async)
            head += " " + stream_field(stream);
        head += std::string(" kind=") + kind_name(kind) + " dst=" + host_runtime::describe_pointer(dst) +
                " src=" + host_runtime::describe_pointer(src) + " bytes=" + std::to_string(bytes);
        if (kind == cudaMemcpyHostToDevice && bytes >= 4 && src != nullptr) {
            uint32_t first = 0;
            std::memcpy(&first, src, 4);
            char text[16];
            std::snprintf(text, sizeof text, "0x%08" PRIx32, first);
            head += std::string(" head=") + text;
        }
        trace_line(head, error);
    }
    if (error != cudaSuccess)
        return record(error);
    if (bytes == 0)
        return cudaSuccess;
    if (dst_device)
        check_range(call, "dst", dst, bytes, device);
    if (src_device)
        check_range(call, "src", src, bytes, device);
    auto work = [dst, src, bytes] { std::memmove(dst, src, bytes); };
    if (async)
        submit(stream, work);
    else
        work();
    return cudaSuccess;
}

cudaError_t fill(const char* call, void* ptr, int value, size_t bytes, cudaStream_t stream, bool async)
{
    auto lock = lock_runtime();
    cudaError_t error = valid_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
    int device = error == cudaSuccess ? stream_device(stream) : current_device();
    error = first_error(injected_error(call), error);
    if (error == cudaSuccess && stream == nullptr)
        error = check_current_device();
    std::string head = std::string(call) + dev_field(device);
    if (async)
        head += " " + stream_field(stream);
    trace_line(head + " ptr=" + host_runtime::describe_pointer(ptr) + " value=" + std::to_string(value) +
                   " bytes=" + std::to_string(bytes),
               error);
    if (error != cudaSuccess)
        return record(error);
    if (bytes == 0)
        return cudaSuccess;
    check_range(call, "ptr", ptr, bytes, device);
    auto work = [ptr, value, bytes] { std::memset(ptr, value, bytes); };
    if (async)
        submit(stream, work);
    else
        work();
    return cudaSuccess;
}

} // namespace

namespace host_runtime::detail {

bool tracing_enabled() { return state().trace != nullptr; }

const allocation* find_allocation(const void* ptr)
{
    if (ptr == nullptr)
        return nullptr;
    auto& all = state().allocations;
    auto p = static_cast<const char*>(ptr);
    auto next = all.upper_bound(p);
    if (next == all.begin())
        return nullptr;
    const allocation& a = std::prev(next)->second;
    // std::less gives a total order on pointers; the distance is taken only inside the block.
    if (p == a.base || (std::less<const char*>()(a.base, p) && !std::less<const char*>()(a.base + a.bytes, p)))
        return &a;
    return nullptr;
}

} // namespace host_runtime::detail

std::string host_runtime::describe_pointer(const void* ptr)
{
    if (ptr == nullptr)
        return "null";
    auto lock = lock_runtime();
    const allocation* a = find_allocation(ptr);
    if (a == nullptr)
        return "host";
    return "a" + std::to_string(a->id) + "+" + std::to_string(static_cast<const char*>(ptr) - a->base);
}

cudaError_t cudaMalloc(void** ptr, size_t bytes)
{
    auto lock = lock_runtime();
    int device = current_device();
    cudaError_t error = injected_error("cudaMalloc");
    if (error == cudaSuccess)
        error = ptr == nullptr ? cudaErrorInvalidValue : check_current_device();
    const allocation* made = nullptr;
    if (error == cudaSuccess)
        error = allocate(device, bytes, ptr, &made);
    trace_line("cudaMalloc" + dev_field(device) + " bytes=" + std::to_string(bytes) + " ptr=" + id_field(made), error);
    return record(error);
}

cudaError_t cudaMallocAsync(void** ptr, size_t bytes, cudaStream_t stream)
{
    auto lock = lock_runtime();
    cudaError_t error = valid_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
    int device = error == cudaSuccess ? stream_device(stream) : current_device();
    error = first_error(injected_error("cudaMallocAsync"), error);
    if (error == cudaSuccess)
        error = ptr == nullptr ? cudaErrorInvalidValue : stream == nullptr ? check_current_device() : cudaSuccess;
    const allocation* made = nullptr;
    if (error == cudaSuccess)
        error = allocate(device, bytes, ptr, &made);
    trace_line("cudaMallocAsync" + dev_field(device) + " " + stream_field(stream) + " bytes=" + std::to_string(bytes) +
                   " ptr=" + id_field(made),
               error);
    return record(error);
}

cudaError_t cudaFree(void* ptr)
{
    auto lock = lock_runtime();
    const allocation* a = find_allocation(ptr);
    cudaError_t error = injected_error("cudaFree");
    if (error == cudaSuccess && ptr != nullptr && (a == nullptr || a->base != ptr))
        error = cudaErrorInvalidValue;
    std::string shown = a != nullptr && a->base == ptr ? id_field(a) : host_runtime::describe_pointer(ptr);
    trace_line("cudaFree" + dev_field(current_device()) + " ptr=" + shown, error);
    if (error != cudaSuccess || ptr == nullptr)
        return record(error);
    flush_device(a->device);
    state().devices[static_cast<size_t>(a->device)].allocated -= a->bytes;
    std::free(a->base);
    state().allocations.erase(static_cast<const char*>(ptr));
    return cudaSuccess;
}

cudaError_t cudaMallocHost(void** ptr, size_t bytes)
{
    auto lock = lock_runtime();
    cudaError_t error = injected_error("cudaMallocHost");
    if (error == cudaSuccess && ptr == nullptr)
        error = cudaErrorInvalidValue;
    if (error == cudaSuccess && bytes == 0) {
        *ptr = nullptr; // as CUDA: success, no memory
    } else if (error == cudaSuccess) {
        char* block = new_block(bytes);
        *ptr = block;
        if (block == nullptr)
            error = cudaErrorMemoryAllocation;
        else
            state().host_allocations[block] = bytes;
    }
    trace_line("cudaMallocHost" + dev_field(current_device()) + " bytes=" + std::to_string(bytes), error);
    return record(error);
}

cudaError_t cudaFreeHost(void* ptr)
{
    auto lock = lock_runtime();
    auto found = state().host_allocations.find(ptr);
    cudaError_t error = injected_error("cudaFreeHost");
    if (error == cudaSuccess && ptr != nullptr && found == state().host_allocations.end())
        error = cudaErrorInvalidValue;
    trace_line("cudaFreeHost" + dev_field(current_device()), error);
    if (error != cudaSuccess || ptr == nullptr)
        return record(error);
    flush_all();
    std::free(ptr);
    state().host_allocations.erase(found);
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes)
{
    auto lock = lock_runtime();
    int device = current_device();
    cudaError_t error = injected_error("cudaMemGetInfo");
    if (error == cudaSuccess)
        error = check_current_device();
    if (error == cudaSuccess && (free_bytes == nullptr || total_bytes == nullptr))
        error = cudaErrorInvalidValue;
    size_t total = state().memory_per_device;
    size_t free = error == cudaSuccess ? total - state().devices[static_cast<size_t>(device)].allocated : 0;
    if (error == cudaSuccess) {
        *free_bytes = free;
        *total_bytes = total;
    }
    trace_line("cudaMemGetInfo" + dev_field(device) + " free=" + std::to_string(free) +
                   " total=" + std::to_string(total),
               error);
    return record(error);
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes)
{
    return fill("cudaMemset", ptr, value, bytes, nullptr, false);
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream)
{
    return fill("cudaMemsetAsync", ptr, value, bytes, stream, true);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind)
{
    return copy("cudaMemcpy", dst, src, bytes, kind, nullptr, false);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, cudaStream_t stream)
{
    return copy("cudaMemcpyAsync", dst, src, bytes, kind, stream, true);
}

cudaError_t cudaMemcpyPeerAsync(void* dst, int dst_device, const void* src, int src_device, size_t bytes,
                                cudaStream_t stream)
{
    auto lock = lock_runtime();
    cudaError_t error = valid_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
    int device = error == cudaSuccess ? stream_device(stream) : current_device();
    error = first_error(injected_error("cudaMemcpyPeerAsync"), error);
    if (error == cudaSuccess && stream == nullptr)
        error = check_current_device();
    if (error == cudaSuccess && (!valid_device(dst_device) || !valid_device(src_device)))
        error = cudaErrorInvalidDevice;
    trace_line("cudaMemcpyPeerAsync" + dev_field(device) + " " +
                   stream_field(stream) +
                   " dst=" + host_runtime::describe_pointer(dst) + " dst_dev=" + std::to_string(dst_device) +
                   " src=" + host_runtime::describe_pointer(src) + " src_dev=" + std::to_string(src_device) +
                   " bytes=" + std::to_string(bytes),
               error);
    if (error != cudaSuccess)
        return record(error);
    if (bytes == 0)
        return cudaSuccess;
    check_range("cudaMemcpyPeerAsync", "dst", dst, bytes, dst_device);
    check_range("cudaMemcpyPeerAsync", "src", src, bytes, src_device);
    submit(stream, [dst, src, bytes] { std::memmove(dst, src, bytes); });
    return cudaSuccess;
}
