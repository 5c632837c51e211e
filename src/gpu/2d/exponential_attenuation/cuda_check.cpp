#include "cuda_check.h"

#include "run_end.h"

#include <cstdio>

void check_cuda(cudaError_t result, const char* call, int gpu)
{
    if (result == cudaSuccess)
        return;
    std::fflush(stdout);
    if (gpu >= 0)
        std::fprintf(stderr, "Error: %s failed on GPU %d: %s\n", call, gpu, cudaGetErrorString(result));
    else
        std::fprintf(stderr, "Error: %s failed: %s\n", call, cudaGetErrorString(result));
    end_run_failed();
}
