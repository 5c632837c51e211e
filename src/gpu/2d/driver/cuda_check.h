// Failed runtime calls end the run: one line on standard error naming the call,
// the GPU and the runtime's error text, then exit status 1 (genout.dat, when
// open, closed first with the frames handed to the writer).
#pragma once

#include "platform.h"

void check_cuda(cudaError_t result, const char* call, int gpu);
