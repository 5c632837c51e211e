// Device copies of host vectors for kernel tests (current device).
#pragma once

#include "platform.h"

#include <gtest/gtest.h>

#include <vector>

template <typename T> T* upload(const std::vector<T>& host)
{
    void* device = nullptr;
    EXPECT_EQ(cudaMalloc(&device, host.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(device, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    return static_cast<T*>(device);
}

template <typename T> std::vector<T> download(const T* device, size_t n)
{
    std::vector<T> host(n);
    EXPECT_EQ(cudaMemcpy(host.data(), device, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return host;
}
