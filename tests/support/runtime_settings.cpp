#include "runtime_settings.h"

#include "cuda_host.h"

#include <cstdlib>

const char* const runtime_variables[7] = {"TESSARO_HOST_GPUS",     "TESSARO_HOST_NO_PEER", "TESSARO_HOST_MEMORY",
                                          "TESSARO_HOST_SCHEDULE", "TESSARO_HOST_THREADS", "TESSARO_HOST_TRACE",
                                          "TESSARO_HOST_FAIL"};

const std::vector<std::string> fault_names = {
    "cudaGetDeviceCount", "cudaSetDevice", "cudaGetDevice", "cudaDeviceCanAccessPeer", "cudaDeviceEnablePeerAccess",
    "cudaDeviceGetStreamPriorityRange", "cudaStreamCreateWithPriority", "cudaStreamSynchronize", "cudaStreamDestroy",
    "cudaDeviceSynchronize", "cudaMalloc", "cudaMallocAsync", "cudaFree", "cudaMallocHost", "cudaFreeHost",
    "cudaMemGetInfo", "cudaMemset", "cudaMemsetAsync", "cudaMemcpy", "cudaMemcpyAsync", "cudaMemcpyPeerAsync",
    "cudaDeviceGetDefaultMemPool", "cudaMemPoolSetAccess", "cudaGetLastError", "cudaLaunchKernel", "launch_thread", "host_alloc", "genout_sync"};

void use_environment(std::vector<std::pair<const char*, std::string>> settings)
{
    for (const char* name : runtime_variables)
        unsetenv(name);
    for (auto& [name, value] : settings)
        setenv(name, value.c_str(), 1);
    host_runtime::reset();
}
