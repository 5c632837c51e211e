// Internal state of the host runtime, shared by its source files. Every
// function here expects the runtime lock to be held (see lock_runtime).
#pragma once

#include "cuda_host.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct host_stream {
    int serial = 0;
    int device = 0;
    int priority = 0;
    unsigned int flags = 0;
    std::deque<std::function<void()>> pending;
};

// A device's default memory pool: the access that each device has to it
// (cudaMemAccessFlags, by device; its own device always read-write).
struct host_mem_pool {
    int device = 0;
    std::vector<int> access;
};

namespace host_runtime::detail {

constexpr int least_priority = 0;
constexpr int greatest_priority = -5;

struct allocation {
    int id = 0;
    int device = 0;
    char* base = nullptr;
    size_t bytes = 0;
};

struct device_state {
    std::vector<host_stream*> streams; // creation order
    std::vector<char> peer_enabled;    // by peer device
    size_t allocated = 0;
};

struct runtime_state {
    bool initialised = false;
    int device_count = 1;
    size_t memory_per_device = 0;
    bool deferred = false;
    int thread_count = 1;
    std::FILE* trace = nullptr;
    std::vector<std::pair<int, int>> no_peer_pairs; // both orders listed
    std::vector<device_state> devices;
    std::map<const char*, allocation> allocations; // by base address
    std::unordered_map<void*, size_t> host_allocations;
    std::unordered_set<host_stream*> streams;
    int next_allocation_id = 1;
    int next_stream_serial = 1;
    std::vector<std::unique_ptr<host_mem_pool>> pools; // default pools, made on first query
    std::string fault_call;             // TESSARO_HOST_FAIL: this call fails ...
    unsigned long long fault_countdown = 0; // ... when the count reaches 0 (0: no fault)
};

// Locks the runtime and initialises it from the environment on first use.
std::unique_lock<std::recursive_mutex> lock_runtime();
runtime_state& state();

[[noreturn]] void die(const std::string& message);

// Counts a call of `call`; true when this is the one TESSARO_HOST_FAIL names.
// The call then fails with cudaErrorUnknown and does nothing ("launch_thread":
// the thread is not started).
bool injected_fault(const char* call);
// The same as the call's error: cudaErrorUnknown for that call, else cudaSuccess.
// A runtime call becomes injectable with its name in fault_calls
// (host_runtime.cpp) and injected_error(name) first among its checks.
cudaError_t injected_error(const char* call);
// `earlier` unless it is cudaSuccess, else `later`.
inline cudaError_t first_error(cudaError_t earlier, cudaError_t later)
{
    return earlier != cudaSuccess ? earlier : later;
}

// Records `error` as the calling thread's last error unless it is cudaSuccess.
cudaError_t record(cudaError_t error);
const char* error_name(cudaError_t error);

// Writes "<head>[ -> <error name>]" to the trace, if one is open.
void trace_line(const std::string& head, cudaError_t error);
bool tracing_enabled();
// "stream=<serial>/<priority>", "stream=0/0" for the null stream.
std::string stream_field(cudaStream_t stream);

// cudaSuccess, cudaErrorNoDevice or cudaErrorInvalidDevice for the current device.
cudaError_t check_current_device();
int current_device();
void set_current_device(int device);
bool valid_device(int device);
// Whether `device` can reach `peer` (another device, no pair of TESSARO_HOST_NO_PEER).
bool peer_reachable(int device, int peer);
bool valid_stream(cudaStream_t stream);
// The device that runs work on `stream` (null: the current device).
int stream_device(cudaStream_t stream);

// Runs `work` now (null stream or eager schedule) or queues it on `stream`.
void submit(cudaStream_t stream, std::function<void()> work);
void flush_stream(host_stream* stream);
void flush_device(int device);
void flush_all();

// The live allocation holding `ptr` (including its one-past-the-end address), or nullptr.
const allocation* find_allocation(const void* ptr);

// Thread pool for kernel launches.
void run_grid(dim3 grid, dim3 block, const std::function<void()>& body, int threads);
// Starts the pool for grids run on `threads` CPU threads, as initialisation
// does: a launch thread that cannot be started is reported then, before the
// program has begun its progress line, and not at its first launch.
void start_launch_pool(int threads);

} // namespace host_runtime::detail
