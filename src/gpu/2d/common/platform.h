// One include for the CUDA runtime or its CPU stand-in, the device-code
// qualifiers and the one kernel-launch helper that all driver code uses.
#pragma once

#if defined(TESSARO_HOST_RUNTIME)
#include "cuda_host.h"
#include <cmath>
#include <cstdio>
#include <string>
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
// The update kernels in two builds, one using the FMA instruction and one the
// fmaf library call, the first chosen at load time where the CPU has it. Both
// round each fused operation once, so the results are the same. Not under
// ThreadSanitizer: it instruments the chooser, which runs before it starts.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TESSARO_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(TESSARO_THREAD_SANITIZER)
#define HOST_FMA_CLONES
#else
#define HOST_FMA_CLONES __attribute__((target_clones("fma", "default")))
#endif
#else
#include <cuda_runtime.h>
#define HOST_FMA_CLONES
#endif

#if defined(TESSARO_HOST_RUNTIME)
namespace launch_detail {
inline void describe(std::string& out, int v) { out += std::to_string(v); }
inline void describe(std::string& out, float v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%a", static_cast<double>(v));
    out += text;
}
inline void describe(std::string& out, const void* v) { out += host_runtime::describe_pointer(v); }
} // namespace launch_detail
#endif

// Launches `kernel` over `grid` x `block` on `stream` with `args`; returns the
// launch's error state (cudaGetLastError after the launch).
template <typename... Params, typename... Args>
cudaError_t launch_kernel(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block, cudaStream_t stream,
                          Args... args)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "kernel argument count");
#if defined(__CUDACC__)
    (void)name;
    kernel<<<grid, block, 0, stream>>>(args...);
    return cudaGetLastError();
#elif defined(TESSARO_HOST_RUNTIME)
    return host_runtime::launch(
        name, grid, block, stream, [=]() { kernel(args...); },
        [&](std::string& out) {
            bool first = true;
            ((out += first ? "" : ",", first = false, launch_detail::describe(out, static_cast<Params>(args))), ...);
        });
#else
    static_assert(sizeof...(Params) < 0, "kernel launches belong in .cu files");
    return cudaErrorInvalidValue;
#endif
}

#define LAUNCH_KERNEL(kernel, grid, block, stream, ...) launch_kernel(#kernel, kernel, grid, block, stream, __VA_ARGS__)
