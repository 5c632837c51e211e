// The runtime calls whose meaning depends on device ordinals, for the driver
// and the halo exchange; every other call follows the selected device.
//
// Unset, GPU k is device k and each call is the runtime's own.
// TESSARO_LOGICAL_GPUS=N, a test aid read once, presents N GPUs backed by the
// visible devices: GPU k runs on device k mod count. Two GPUs on one device
// reach each other with nothing to enable, and a peer copy between them is a
// device-to-device copy on the same stream.
#pragma once

#include "platform.h"

#include <cstddef>

// N of TESSARO_LOGICAL_GPUS (from 1 to 16), 0 when unset or empty. A value
// that is not such a number ends the process: one "Error: ..." line on
// standard error, status 1.
int logical_gpus_requested();

// cudaGetDeviceCount: the GPUs the programs see (N when requested) and the
// devices behind them.
cudaError_t logical_gpu_count(int* count, int* devices);
// The device that runs GPU `gpu`.
int logical_device(int gpu);

cudaError_t logical_set_device(int gpu);
cudaError_t logical_can_access_peer(int* can_access, int gpu, int peer);
// With `gpu` current: cudaDeviceEnablePeerAccess, nothing on one device.
cudaError_t logical_enable_peer_access(int gpu, int peer);
// Grants `gpu` read-write access to the default memory pool of `peer`, where
// the stream-ordered allocations live, so that copies between them can go
// directly: nothing on one device. On failure `failed_call` names the call.
cudaError_t logical_grant_pool_access(int gpu, int peer, const char** failed_call);
// cudaMemcpyPeerAsync between GPUs, on `stream`.
cudaError_t logical_memcpy_peer_async(void* dst, int dst_gpu, const void* src, int src_gpu, size_t bytes,
                                      cudaStream_t stream);
