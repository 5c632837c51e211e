// Runtime state: environment, errors, trace, stream queues and reset.
#include "runtime_state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace host_runtime::detail {

namespace {

std::recursive_mutex& runtime_mutex()
{
    static std::recursive_mutex& mutex = *new std::recursive_mutex;
    return mutex;
}

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current = 0;

const char* env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// A setting the user got wrong is no fault of the program: report it and exit
// with status 1, keeping what the program has printed so far.
[[noreturn]] void refuse_setting(const char* name, const std::string& expected, const char* value,
                                 const char* reason = nullptr)
{
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s must be %s, not '%s'%s%s\n", name, expected.c_str(), value,
                 reason != nullptr ? ": " : "", reason != nullptr ? reason : "");
    std::exit(1);
}

// Parses a whole decimal number; false on anything else.
bool parse_number(const char* text, unsigned long long& value)
{
    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

unsigned long long number_from_env(const char* name, unsigned long long fallback, unsigned long long low,
                                   unsigned long long high)
{
    const char* text = env(name);
    if (text == nullptr)
        return fallback;
    unsigned long long value = 0;
    if (!parse_number(text, value) || value < low || value > high)
        refuse_setting(name, "a number from " + std::to_string(low) + " to " + std::to_string(high), text);
    return value;
}

std::vector<std::pair<int, int>> parse_no_peer(const char* text, int device_count)
{
    std::vector<std::pair<int, int>> pairs;
    if (text == nullptr)
        return pairs;
    const char* p = text;
    const std::string form = device_count > 0
                                 ? "pairs like 1-2,0-3 of GPUs from 0 to " + std::to_string(device_count - 1)
                                 : std::string("empty without GPUs");
    auto read_device = [&](int& device) {
        if (*p < '0' || *p > '9')
            return false;
        long value = 0;
        while (*p >= '0' && *p <= '9' && value < 1000)
            value = value * 10 + (*p++ - '0');
        device = static_cast<int>(value);
        return value < 1000;
    };
    for (;;) {
        int a = 0, b = 0;
        if (!read_device(a) || *p++ != '-' || !read_device(b) || a >= device_count || b >= device_count)
            refuse_setting("TESSARO_HOST_NO_PEER", form, text);
        pairs.emplace_back(a, b);
        pairs.emplace_back(b, a);
        if (*p == '\0')
            return pairs;
        if (*p++ != ',')
            refuse_setting("TESSARO_HOST_NO_PEER", form, text);
    }
}

// What TESSARO_HOST_FAIL can name: every call of the runtime, cudaLaunchKernel
// for a kernel launch, launch_thread for the start of a launch thread and
// host_alloc for a host allocation of the programs and genout_sync for the
// sync of genout.dat before it is closed (host_runtime::injected_failure).
const char* const fault_calls[] = {
    "cudaGetDeviceCount", "cudaSetDevice", "cudaGetDevice", "cudaDeviceCanAccessPeer", "cudaDeviceEnablePeerAccess",
    "cudaDeviceGetStreamPriorityRange", "cudaStreamCreateWithPriority", "cudaStreamSynchronize", "cudaStreamDestroy",
    "cudaDeviceSynchronize", "cudaMalloc", "cudaMallocAsync", "cudaFree", "cudaMallocHost", "cudaFreeHost",
    "cudaMemGetInfo", "cudaMemset", "cudaMemsetAsync", "cudaMemcpy", "cudaMemcpyAsync", "cudaMemcpyPeerAsync",
    "cudaDeviceGetDefaultMemPool", "cudaMemPoolSetAccess", "cudaGetLastError", "cudaLaunchKernel", "launch_thread", "host_alloc",
    "genout_sync"};

// "CALL" or "CALL:N": the N-th call (the first by default) of CALL fails.
void parse_fault(const char* text, runtime_state& s)
{
    if (text == nullptr)
        return;
    const char* colon = std::strchr(text, ':');
    const std::string call = colon != nullptr ? std::string(text, colon) : std::string(text);
    unsigned long long n = 1;
    bool known = false;
    std::string names;
    for (const char* c : fault_calls) {
        known = known || call == c;
        names += (names.empty() ? "" : ", ") + std::string(c);
    }
    if (!known || (colon != nullptr && (!parse_number(colon + 1, n) || n == 0)))
        refuse_setting("TESSARO_HOST_FAIL", "CALL or CALL:N (N from 1), CALL one of " + names, text);
    s.fault_call = call;
    s.fault_countdown = n;
}

void initialise(runtime_state& s)
{
    s.device_count = static_cast<int>(number_from_env("TESSARO_HOST_GPUS", 1, 0, 16));
    s.memory_per_device =
        static_cast<size_t>(number_from_env("TESSARO_HOST_MEMORY", 17179869184ull, 0, ~0ull >> 1));
    const char* schedule = env("TESSARO_HOST_SCHEDULE");
    if (schedule == nullptr || std::strcmp(schedule, "eager") == 0)
        s.deferred = false;
    else if (std::strcmp(schedule, "deferred") == 0)
        s.deferred = true;
    else
        refuse_setting("TESSARO_HOST_SCHEDULE", "eager or deferred", schedule);
    unsigned hardware = std::thread::hardware_concurrency();
    s.thread_count = static_cast<int>(number_from_env("TESSARO_HOST_THREADS", hardware == 0 ? 1 : hardware, 1, 1024));
    s.no_peer_pairs = parse_no_peer(env("TESSARO_HOST_NO_PEER"), s.device_count);
    parse_fault(env("TESSARO_HOST_FAIL"), s);
    s.devices.assign(static_cast<size_t>(s.device_count), device_state{});
    for (device_state& d : s.devices)
        d.peer_enabled.assign(static_cast<size_t>(s.device_count), 0);
    if (const char* path = env("TESSARO_HOST_TRACE")) {
        s.trace = std::fopen(path, "w");
        if (s.trace == nullptr)
            refuse_setting("TESSARO_HOST_TRACE", "a file that can be written", path, std::strerror(errno));
    }
    s.initialised = true;
    start_launch_pool(s.thread_count);
}

void release(runtime_state& s)
{
    for (auto& entry : s.allocations)
        std::free(entry.second.base);
    for (auto& entry : s.host_allocations)
        std::free(entry.first);
    for (host_stream* stream : s.streams)
        delete stream;
    if (s.trace != nullptr)
        std::fclose(s.trace);
    s = runtime_state{};
}

} // namespace

runtime_state& state()
{
    // Never destroyed: memory still allocated at exit stays reachable.
    static runtime_state& s = *new runtime_state;
    return s;
}

std::unique_lock<std::recursive_mutex> lock_runtime()
{
    std::unique_lock<std::recursive_mutex> lock(runtime_mutex());
    if (!state().initialised)
        initialise(state());
    return lock;
}

void die(const std::string& message)
{
    std::fprintf(stderr, "host runtime: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

cudaError_t record(cudaError_t error)
{
    if (error != cudaSuccess)
        last_error = error;
    return error;
}

bool injected_fault(const char* call)
{
    runtime_state& s = state();
    if (s.fault_countdown == 0 || s.fault_call != call)
        return false;
    return --s.fault_countdown == 0;
}

cudaError_t injected_error(const char* call) { return injected_fault(call) ? cudaErrorUnknown : cudaSuccess; }

const char* error_name(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
    case cudaErrorPeerAccessUnsupported: return "cudaErrorPeerAccessUnsupported";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorPeerAccessAlreadyEnabled: return "cudaErrorPeerAccessAlreadyEnabled";
    case cudaErrorUnknown: return "cudaErrorUnknown";
    }
    return "cudaErrorUnknown";
}

void trace_line(const std::string& head, cudaError_t error)
{
    std::FILE* trace = state().trace;
    if (trace == nullptr)
        return;
    std::string line = head;
    if (error != cudaSuccess) {
        line += " -> ";
        line += error_name(error);
    }
    line += '\n';
    std::fputs(line.c_str(), trace);
    std::fflush(trace);
}

std::string stream_field(cudaStream_t stream)
{
    if (stream == nullptr)
        return "stream=0/0";
    if (!valid_stream(stream))
        return "stream=invalid";
    return "stream=" + std::to_string(stream->serial) + "/" + std::to_string(stream->priority);
}

int current_device() { return current; }

void set_current_device(int device) { current = device; }

bool valid_device(int device) { return device >= 0 && device < state().device_count; }

cudaError_t check_current_device()
{
    if (state().device_count == 0)
        return cudaErrorNoDevice;
    return valid_device(current) ? cudaSuccess : cudaErrorInvalidDevice;
}

bool valid_stream(cudaStream_t stream) { return stream == nullptr || state().streams.count(stream) != 0; }

int stream_device(cudaStream_t stream) { return stream == nullptr ? current : stream->device; }

void submit(cudaStream_t stream, std::function<void()> work)
{
    if (stream == nullptr || !state().deferred)
        work();
    else
        stream->pending.push_back(std::move(work));
}

void flush_stream(host_stream* stream)
{
    while (!stream->pending.empty()) {
        std::function<void()> work = std::move(stream->pending.front());
        stream->pending.pop_front();
        work();
    }
}

void flush_device(int device)
{
    for (host_stream* stream : state().devices[static_cast<size_t>(device)].streams)
        flush_stream(stream);
}

void flush_all()
{
    for (int device = 0; device < state().device_count; ++device)
        flush_device(device);
}

} // namespace host_runtime::detail

namespace host_runtime {

using namespace detail;

bool tracing()
{
    auto lock = lock_runtime();
    return state().trace != nullptr;
}

bool injected_failure(const char* name)
{
    auto lock = lock_runtime();
    return injected_fault(name);
}

void reset()
{
    std::unique_lock<std::recursive_mutex> lock(runtime_mutex());
    release(state());
    current = 0;
    last_error = cudaSuccess;
    initialise(state());
}

} // namespace host_runtime

using namespace host_runtime::detail;

cudaError_t cudaGetLastError()
{
    auto lock = lock_runtime();
    cudaError_t error = cudaErrorUnknown;
    if (!injected_fault("cudaGetLastError")) { // a failure of its own leaves the last error in place
        error = last_error;
        last_error = cudaSuccess;
    }
    trace_line("cudaGetLastError dev=" + std::to_string(current_device()), error);
    return error;
}

const char* cudaGetErrorString(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid launch configuration";
    case cudaErrorNoDevice: return "no device is available";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorPeerAccessUnsupported: return "peer access is not supported between these two devices";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorPeerAccessAlreadyEnabled: return "peer access is already enabled";
    case cudaErrorUnknown: return "unknown error";
    }
    return "unrecognised error code";
}
