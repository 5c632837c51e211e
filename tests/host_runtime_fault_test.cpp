// Failure injection of the host runtime: TESSARO_HOST_FAIL=CALL:N makes the
// N-th call of CALL fail, for every call that the runtime implements.
#include "cuda_host.h"
#include "runtime_settings.h"
#include "test_support.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Four GPUs with a stream and two 16-byte blocks of GPU 0, under the deferred
// schedule, so that waits and queued work can be told apart.
struct fault_bench {
    cudaStream_t s = nullptr;
    unsigned char* a = nullptr;
    unsigned char* b = nullptr;
    // what the calls write
    int launched = 0;
    int out = -1;
    size_t free = 0, total = 0, free_before = 0;
    void* pointer = nullptr;
    cudaStream_t stream = nullptr;
    cudaMemPool_t pool = nullptr;
};

void set_up(fault_bench& f)
{
    ASSERT_EQ(cudaStreamCreateWithPriority(&f.s, cudaStreamNonBlocking, 0), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&f.a), 16), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&f.b), 16), cudaSuccess);
    ASSERT_EQ(cudaMemset(f.a, 0, 16), cudaSuccess);
    ASSERT_EQ(cudaMemset(f.b, 0, 16), cudaSuccess);
}

unsigned char first_byte(const unsigned char* device)
{
    unsigned char value = 0xff;
    cudaMemcpyAsync(&value, device, 1, cudaMemcpyDeviceToHost, nullptr);
    return value;
}

// One call of `name` for attempt i (0, 1, 2; the failure comes at 1), and
// whether it took effect, asked with other calls; null where nothing shows it.
struct fault_case {
    const char* name;
    std::function<cudaError_t(fault_bench&, int i)> call;
    std::function<bool(fault_bench&, int i)> took_effect;
};

const fault_case cases[] = {
    {"cudaGetDeviceCount", [](fault_bench& f, int) { return cudaGetDeviceCount(&f.out); },
     [](fault_bench& f, int) { return f.out == 4; }},
    {"cudaSetDevice", [](fault_bench&, int i) { return cudaSetDevice(i + 1); },
     [](fault_bench&, int i) {
         int device = -1;
         cudaGetDevice(&device);
         return device == i + 1;
     }},
    {"cudaGetDevice", [](fault_bench& f, int) { return cudaGetDevice(&f.out); },
     [](fault_bench& f, int) { return f.out == 0; }},
    {"cudaDeviceCanAccessPeer", [](fault_bench& f, int) { return cudaDeviceCanAccessPeer(&f.out, 0, 1); },
     [](fault_bench& f, int) { return f.out == 1; }},
    {"cudaDeviceEnablePeerAccess", [](fault_bench&, int i) { return cudaDeviceEnablePeerAccess(i + 1, 0); }, nullptr},
    {"cudaDeviceGetStreamPriorityRange",
     [](fault_bench& f, int) { return cudaDeviceGetStreamPriorityRange(nullptr, &f.out); },
     [](fault_bench& f, int) { return f.out == -5; }},
    {"cudaStreamCreateWithPriority", [](fault_bench& f, int) { return cudaStreamCreateWithPriority(&f.stream, 0, 0); },
     [](fault_bench& f, int) { return f.stream != nullptr; }},
    {"cudaStreamSynchronize",
     [](fault_bench& f, int i) {
         cudaMemsetAsync(f.a, i + 1, 1, f.s);
         return cudaStreamSynchronize(f.s);
     },
     [](fault_bench& f, int i) { return first_byte(f.a) == i + 1; }},
    {"cudaStreamDestroy",
     [](fault_bench& f, int) {
         cudaStreamCreateWithPriority(&f.stream, 0, 0);
         return cudaStreamDestroy(f.stream);
     },
     [](fault_bench& f, int) { return cudaMemsetAsync(f.a, 0, 1, f.stream) == cudaErrorInvalidResourceHandle; }},
    {"cudaDeviceSynchronize",
     [](fault_bench& f, int i) {
         cudaMemsetAsync(f.a, i + 1, 1, f.s);
         return cudaDeviceSynchronize();
     },
     [](fault_bench& f, int i) { return first_byte(f.a) == i + 1; }},
    {"cudaMalloc", [](fault_bench& f, int) { return cudaMalloc(&f.pointer, 4); },
     [](fault_bench& f, int) { return f.pointer != nullptr; }},
    {"cudaMallocAsync", [](fault_bench& f, int) { return cudaMallocAsync(&f.pointer, 4, f.s); },
     [](fault_bench& f, int) { return f.pointer != nullptr; }},
    {"cudaFree",
     [](fault_bench& f, int) {
         cudaMemGetInfo(&f.free_before, &f.total);
         cudaMallocAsync(&f.pointer, 4, nullptr);
         return cudaFree(f.pointer);
     },
     [](fault_bench& f, int) {
         cudaMemGetInfo(&f.free, &f.total);
         return f.free == f.free_before;
     }},
    {"cudaMallocHost", [](fault_bench& f, int) { return cudaMallocHost(&f.pointer, 4); },
     [](fault_bench& f, int) { return f.pointer != nullptr; }},
    {"cudaFreeHost",
     [](fault_bench& f, int) {
         cudaMallocHost(&f.pointer, 4);
         return cudaFreeHost(f.pointer);
     },
     nullptr},
    {"cudaMemGetInfo", [](fault_bench& f, int) { return cudaMemGetInfo(&f.free, &f.total); },
     [](fault_bench& f, int) { return f.total == 1u << 20; }},
    {"cudaMemset", [](fault_bench& f, int i) { return cudaMemset(f.a, i + 1, 1); },
     [](fault_bench& f, int i) { return first_byte(f.a) == i + 1; }},
    {"cudaMemsetAsync", [](fault_bench& f, int i) { return cudaMemsetAsync(f.a, i + 1, 1, f.s); },
     [](fault_bench& f, int i) {
         cudaStreamSynchronize(f.s);
         return first_byte(f.a) == i + 1;
     }},
    {"cudaMemcpy",
     [](fault_bench& f, int i) {
         const unsigned char value = static_cast<unsigned char>(i + 1);
         return cudaMemcpy(f.a, &value, 1, cudaMemcpyHostToDevice);
     },
     [](fault_bench& f, int i) { return first_byte(f.a) == i + 1; }},
    {"cudaMemcpyAsync",
     [](fault_bench& f, int i) {
         const unsigned char value = static_cast<unsigned char>(i + 1);
         return cudaMemcpyAsync(f.a, &value, 1, cudaMemcpyHostToDevice, nullptr);
     },
     [](fault_bench& f, int i) {
         unsigned char value = 0;
         cudaMemcpy(&value, f.a, 1, cudaMemcpyDeviceToHost);
         return value == i + 1;
     }},
    {"cudaMemcpyPeerAsync",
     [](fault_bench& f, int i) {
         cudaMemset(f.b, i + 1, 1);
         return cudaMemcpyPeerAsync(f.a, 0, f.b, 0, 1, nullptr);
     },
     [](fault_bench& f, int i) { return first_byte(f.a) == i + 1; }},
    {"cudaDeviceGetDefaultMemPool",
     [](fault_bench& f, int i) {
         f.pool = nullptr;
         return cudaDeviceGetDefaultMemPool(&f.pool, i);
     },
     [](fault_bench& f, int) { return f.pool != nullptr; }},
    {"cudaMemPoolSetAccess",
     [](fault_bench& f, int i) {
         cudaMemPool_t pool = nullptr;
         cudaDeviceGetDefaultMemPool(&pool, 0);
         cudaMemAccessDesc access = {};
         access.location.type = cudaMemLocationTypeDevice;
         access.location.id = i + 1;
         access.flags = cudaMemAccessFlagsProtReadWrite;
         return cudaMemPoolSetAccess(pool, &access, 1);
     },
     nullptr},
    {"cudaGetLastError", [](fault_bench&, int) { return cudaGetLastError(); }, nullptr},
    {"cudaLaunchKernel",
     [](fault_bench& f, int) {
         int* launched = &f.launched;
         return host_runtime::launch("count", dim3(1), dim3(1), nullptr, [launched] { ++*launched; }, nullptr);
     },
     [](fault_bench& f, int i) { return f.launched == (i == 0 ? 1 : 2); }},
};

// Each call of the table, set to fail at its second call after the set-up:
// the first and third succeed and take effect; the second returns
// cudaErrorUnknown, takes no effect, is recorded as the last error (but for
// cudaGetLastError itself, which leaves it alone) and is traced as failed.
TEST(HostRuntimeFaults, EveryCallFailsByNameAtItsCount)
{
    std::vector<std::string> tabled;
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        tabled.push_back(c.name);
        const std::string head = tabled.back() == "cudaLaunchKernel" ? "launch" : c.name;
        const scratch_dir scratch("runtime_faults");
        const std::string trace = scratch.path + "/trace";
        const std::vector<std::pair<const char*, std::string>> settings = {
            {"TESSARO_HOST_GPUS", "4"}, {"TESSARO_HOST_SCHEDULE", "deferred"}, {"TESSARO_HOST_MEMORY", "1048576"},
            {"TESSARO_HOST_TRACE", trace}};
        // The set-up's own calls of the name come first.
        use_environment(settings);
        fault_bench dry;
        set_up(dry);
        const size_t before = select_calls(read_lines(trace), {head}).size();
        std::vector<std::pair<const char*, std::string>> failing = settings;
        failing.push_back({"TESSARO_HOST_FAIL", c.name + (":" + std::to_string(before + 2))});
        use_environment(failing);
        fault_bench f;
        set_up(f);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE("call " + std::to_string(i + 1));
            f.out = -1;
            f.pointer = nullptr;
            f.stream = nullptr;
            f.total = 0;
            const cudaError_t result = c.call(f, i);
            EXPECT_EQ(result, i == 1 ? cudaErrorUnknown : cudaSuccess);
            if (c.took_effect) {
                EXPECT_EQ(c.took_effect(f, i), i != 1);
            }
            if (i == 1 && tabled.back() != "cudaGetLastError") {
                EXPECT_EQ(cudaGetLastError(), cudaErrorUnknown);
            }
        }
        const std::vector<std::string> lines = select_calls(read_lines(trace), {head});
        ASSERT_EQ(lines.size(), before + 3);
        for (size_t k = before; k < lines.size(); ++k) {
            const std::string failed = " -> cudaErrorUnknown";
            EXPECT_EQ(lines[k].size() > failed.size() && lines[k].rfind(failed) == lines[k].size() - failed.size(),
                      k == before + 1)
                << lines[k];
        }
        use_environment({});
    }
    // The programs' host allocations are counted the same way, and so are the
    // starts of launch threads (HostRuntime.LaunchThreadsThatCannotStartLeaveTheGridsToTheOthers).
    use_environment({{"TESSARO_HOST_FAIL", "host_alloc:2"}});
    EXPECT_FALSE(host_runtime::injected_failure("host_alloc"));
    EXPECT_TRUE(host_runtime::injected_failure("host_alloc"));
    EXPECT_FALSE(host_runtime::injected_failure("host_alloc"));
    use_environment({});
    tabled.push_back("launch_thread");
    tabled.push_back("host_alloc");
    tabled.push_back("genout_sync"); // RunEnd.FailedSyncLeavesTheRunIncomplete
    EXPECT_EQ(tabled, fault_names);
}

} // namespace
