// Device buffers for the core tests: upload a host vector, read one back, and
// start the host runtime with a given device count and optional trace.
#pragma once

#include "platform.h"

#include <cstdlib>
#include <string>
#include <vector>

template <typename T>
T* to_device(const std::vector<T>& values)
{
    void* ptr = nullptr;
    cudaMalloc(&ptr, values.size() * sizeof(T));
    cudaMemcpy(ptr, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice);
    return static_cast<T*>(ptr);
}

template <typename T>
std::vector<T> from_device(const T* ptr, size_t n)
{
    std::vector<T> values(n);
    cudaDeviceSynchronize();
    cudaMemcpy(values.data(), ptr, n * sizeof(T), cudaMemcpyDeviceToHost);
    return values;
}

// Fresh runtime state with `gpus` devices; traced into `trace` when not empty.
inline void restart_runtime(int gpus, const std::string& trace = "")
{
    setenv("TESSARO_HOST_GPUS", std::to_string(gpus).c_str(), 1);
    if (trace.empty())
        unsetenv("TESSARO_HOST_TRACE");
    else
        setenv("TESSARO_HOST_TRACE", trace.c_str(), 1);
    host_runtime::reset();
    cudaSetDevice(0);
}
