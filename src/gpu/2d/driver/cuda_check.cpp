#include "cuda_check.h"

#include "progress_line.h"
#include "run_end.h"

void check_cuda(cudaError_t result, const char* call, int gpu)
{
    if (result == cudaSuccess)
        return;
    if (gpu >= 0)
        print_message("Error: %s failed on GPU %d: %s\n", call, gpu, cudaGetErrorString(result));
    else
        print_message("Error: %s failed: %s\n", call, cudaGetErrorString(result));
    end_run_failed();
}
