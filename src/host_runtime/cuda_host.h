// CPU stand-in for the part of the CUDA runtime that the solver calls.
// Same names and meanings as the platform's, so driver code reads as plain
// CUDA. Behaviour is steered by the environment:
//   TESSARO_HOST_GPUS      number of simulated devices (default 1, at most 16)
//   TESSARO_HOST_NO_PEER   pairs without peer access, e.g. "1-2,0-3" (symmetric)
//   TESSARO_HOST_MEMORY    bytes of memory per device (default 16 GiB)
//   TESSARO_HOST_SCHEDULE  "eager" (default): work runs when issued;
//                          "deferred": a stream's queue runs only when the host
//                          waits for that stream or its device
//   TESSARO_HOST_THREADS   CPU threads that run the blocks of a launch
//   TESSARO_HOST_TRACE     path of a file that receives one line per call
//   TESSARO_HOST_FAIL      "CALL" or "CALL:N": the N-th call of CALL (any call
//                          below but cudaGetErrorString; cudaLaunchKernel for
//                          a kernel launch) fails with cudaErrorUnknown and
//                          does nothing; "launch_thread": the N-th launch
//                          thread is not started; "host_alloc": the N-th host
//                          allocation of the programs fails; "genout_sync":
//                          the N-th sync of genout.dat fails
// A setting that cannot be used ends the process with status 1 and one line on
// standard error, after standard output is flushed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};
// A plain record: the built-ins below are plain thread-local storage, read
// by kernels in other files without any initialisation call.
struct uint3 {
    unsigned int x, y, z;
};

enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorPeerAccessUnsupported = 217,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorPeerAccessAlreadyEnabled = 704,
    cudaErrorUnknown = 999,
};

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
};

struct host_stream;
typedef host_stream* cudaStream_t;

// Memory pools: each device has its default pool, the one that the
// stream-ordered allocations come from.
struct host_mem_pool;
typedef host_mem_pool* cudaMemPool_t;

enum cudaMemLocationType {
    cudaMemLocationTypeInvalid = 0,
    cudaMemLocationTypeDevice = 1,
};

struct cudaMemLocation {
    cudaMemLocationType type;
    int id;
};

enum cudaMemAccessFlags {
    cudaMemAccessFlagsProtNone = 0,
    cudaMemAccessFlagsProtRead = 1,
    cudaMemAccessFlagsProtReadWrite = 3,
};

struct cudaMemAccessDesc {
    cudaMemLocation location;
    cudaMemAccessFlags flags;
};

#define cudaStreamNonBlocking 0x01u

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDeviceCanAccessPeer(int* can_access, int device, int peer_device);
cudaError_t cudaDeviceEnablePeerAccess(int peer_device, unsigned int flags);
cudaError_t cudaDeviceGetStreamPriorityRange(int* least_priority, int* greatest_priority);
cudaError_t cudaStreamCreateWithPriority(cudaStream_t* stream, unsigned int flags, int priority);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaMalloc(void** ptr, size_t bytes);
cudaError_t cudaMallocAsync(void** ptr, size_t bytes, cudaStream_t stream);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMallocHost(void** ptr, size_t bytes);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes);
cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* pool, int device);
cudaError_t cudaMemPoolSetAccess(cudaMemPool_t pool, const cudaMemAccessDesc* desc_list, size_t count);
cudaError_t cudaMemset(void* ptr, int value, size_t bytes);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemcpyPeerAsync(void* dst, int dst_device, const void* src, int src_device, size_t bytes,
                                cudaStream_t stream = nullptr);
cudaError_t cudaGetLastError();
const char* cudaGetErrorString(cudaError_t error);

// Built-in variables of a kernel thread, set by the launch for each thread.
extern __thread uint3 threadIdx;
extern __thread uint3 blockIdx;
extern __thread uint3 blockDim;
extern __thread uint3 gridDim;

namespace host_runtime {

// Runs `thread_body` once for every thread of the grid, blocks in parallel on
// the CPU cores and the threads of a block one after another, on `stream` under
// the chosen schedule. `describe_args` is called only when tracing.
cudaError_t launch(const char* kernel_name, dim3 grid, dim3 block, cudaStream_t stream,
                   std::function<void()> thread_body, const std::function<void(std::string&)>& describe_args);

bool tracing();
// Counts a call of `name` made outside the runtime (host_alloc: a host
// allocation of the programs; genout_sync: the sync of genout.dat); true when it is the one that TESSARO_HOST_FAIL
// names, which is then to fail.
bool injected_failure(const char* name);
// "a<id>+<byte offset>" for a device address, "null" for nullptr, "host" for
// anything else.
std::string describe_pointer(const void* ptr);

// Frees all state (allocations, streams, peer state, queued work), closes the
// trace and reads the environment again. For tests that vary the environment.
void reset();

} // namespace host_runtime
