// Tests of the CPU stand-in for the CUDA runtime.
#include "cuda_host.h"
#include "runtime_settings.h"
#include "test_support.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

class HostRuntime : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { use_environment({}); }
};

// Adds `amount` to each of `n` floats at `data`, one CUDA thread each.
cudaError_t add(cudaStream_t stream, float* data, int n, float amount)
{
    return host_runtime::launch(
        "add", dim3((n + 127) / 128), dim3(128), stream,
        [=] {
            int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
            if (i < n)
                data[i] += amount;
        },
        nullptr);
}

float* device_floats(const std::vector<float>& values)
{
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, values.size() * sizeof(float)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(p, values.data(), values.size() * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    return static_cast<float*>(p);
}

std::vector<float> host_copy(const float* device, size_t n)
{
    std::vector<float> out(n);
    EXPECT_EQ(cudaMemcpy(out.data(), device, n * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
}

cudaStream_t new_stream(int priority = 0)
{
    cudaStream_t s = nullptr;
    EXPECT_EQ(cudaStreamCreateWithPriority(&s, cudaStreamNonBlocking, priority), cudaSuccess);
    return s;
}

class BothSchedules : public HostRuntime, public ::testing::WithParamInterface<const char*> {
protected:
    bool deferred() const { return std::strcmp(GetParam(), "deferred") == 0; }
};

INSTANTIATE_TEST_SUITE_P(Schedules, BothSchedules, ::testing::Values("eager", "deferred"));

TEST_P(BothSchedules, WorkOnAStreamRunsInIssueOrderAndOnlyWhenWaitedForUnderDeferred)
{
    use_environment({{"TESSARO_HOST_SCHEDULE", GetParam()}, {"TESSARO_HOST_THREADS", "4"}});
    const int n = 5000;
    float* a = device_floats(std::vector<float>(n, 1.0f));
    float* b = device_floats(std::vector<float>(n, 1.0f));
    cudaStream_t s1 = new_stream(), s2 = new_stream();
    std::vector<float> out(n, -1.0f);
    std::vector<float> source(n, 3.0f);

    // s1: a = 3, then a = 2 * (a + 1) in two steps, then copy out; s2: b += 10.
    ASSERT_EQ(cudaMemcpyAsync(a, source.data(), n * sizeof(float), cudaMemcpyHostToDevice, s1), cudaSuccess);
    source.assign(n, 100.0f); // read when the copy runs: changes the result under deferred only
    ASSERT_EQ(add(s1, a, n, 1.0f), cudaSuccess);
    ASSERT_EQ(host_runtime::launch("twice", dim3(n), dim3(1), s1, [=] { a[blockIdx.x] *= 2.0f; }, nullptr),
              cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(out.data(), a, n * sizeof(float), cudaMemcpyDeviceToHost, s1), cudaSuccess);
    ASSERT_EQ(add(s2, b, n, 10.0f), cudaSuccess);

    float expected_a = deferred() ? 202.0f : 8.0f;
    if (deferred()) {
        EXPECT_EQ(out[0], -1.0f);
        EXPECT_EQ(host_copy(a, 1)[0], 1.0f); // synchronous copies do not flush streams
    }
    ASSERT_EQ(cudaStreamSynchronize(s1), cudaSuccess);
    EXPECT_EQ(out, std::vector<float>(n, expected_a));
    EXPECT_EQ(host_copy(b, n)[n - 1], deferred() ? 1.0f : 11.0f); // waiting s1 does not run s2

    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(host_copy(b, n), std::vector<float>(n, 11.0f));
    EXPECT_EQ(cudaStreamDestroy(s1), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s2), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

TEST_P(BothSchedules, DestroyFreeAndFreeHostRunPendingWork)
{
    use_environment({{"TESSARO_HOST_SCHEDULE", GetParam()}, {"TESSARO_HOST_GPUS", "2"}});
    float* a = device_floats({1.0f});
    float* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(reinterpret_cast<void**>(&pinned), sizeof(float)), cudaSuccess);

    cudaStream_t s = new_stream();
    ASSERT_EQ(add(s, a, 1, 1.0f), cudaSuccess);
    ASSERT_EQ(cudaStreamDestroy(s), cudaSuccess);
    EXPECT_EQ(host_copy(a, 1)[0], 2.0f);

    s = new_stream();
    float out = 0.0f;
    ASSERT_EQ(cudaMemcpyAsync(&out, a, sizeof(float), cudaMemcpyDeviceToHost, s), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    float* other = device_floats({0.0f});
    ASSERT_EQ(cudaFree(other), cudaSuccess); // dev 1: leaves dev 0's queue alone
    EXPECT_EQ(out, deferred() ? 0.0f : 2.0f);
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(out, 2.0f);

    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    float* b = device_floats({5.0f});
    ASSERT_EQ(cudaMemcpyAsync(pinned, b, sizeof(float), cudaMemcpyDeviceToHost, s), cudaSuccess);
    float seen = 0.0f;
    ASSERT_EQ(cudaMemcpyAsync(&seen, pinned, sizeof(float), cudaMemcpyHostToHost, s), cudaSuccess);
    ASSERT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(seen, 5.0f);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

TEST_P(BothSchedules, PeerCopiesMoveDataBetweenDevicesWithOrWithoutPeerAccess)
{
    use_environment({{"TESSARO_HOST_SCHEDULE", GetParam()}, {"TESSARO_HOST_GPUS", "3"}});
    std::vector<float> values(64);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(i);
    float* src = device_floats(values);
    cudaStream_t s0 = new_stream(-5);
    ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
    float* dst = device_floats(std::vector<float>(64, -1.0f));
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);

    ASSERT_EQ(cudaMemcpyPeerAsync(dst + 8, 2, src + 16, 0, 16 * sizeof(float), s0), cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(s0), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
    std::vector<float> got = host_copy(dst, 64);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(got[i], i >= 8 && i < 24 ? static_cast<float>(i + 8) : -1.0f) << i;
    EXPECT_EQ(cudaMemcpyPeerAsync(dst, 5, src, 0, 4, s0), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(HostRuntime, NewMemoryReadsAsNan)
{
    use_environment({});
    float* a = nullptr;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&a), 3 * sizeof(float)), cudaSuccess);
    for (float v : host_copy(a, 3))
        EXPECT_TRUE(v != v);
    void* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, 8), cudaSuccess);
    EXPECT_TRUE(static_cast<float*>(pinned)[1] != static_cast<float*>(pinned)[1]);

    int local = 0;
    EXPECT_EQ(cudaFree(&local), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(a + 1), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFreeHost(&local), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
}

// As CUDA: 0 bytes succeed, give a null pointer and take no memory; copies
// and memsets of 0 bytes are not checked, anything more through the pointer
// aborts (RangeViolationsAbort).
TEST_F(HostRuntime, ZeroByteAllocationsSucceedWithNullPointers)
{
    const scratch_dir scratch("zero_byte");
    const std::string trace = scratch.path + "/trace";
    use_environment({{"TESSARO_HOST_MEMORY", "1000"}, {"TESSARO_HOST_TRACE", trace}});
    int local = 0;
    void *device = &local, *async = &local, *pinned = &local;
    cudaStream_t s = new_stream();
    ASSERT_EQ(cudaMalloc(&device, 0), cudaSuccess);
    ASSERT_EQ(cudaMallocAsync(&async, 0, s), cudaSuccess);
    ASSERT_EQ(cudaMallocHost(&pinned, 0), cudaSuccess);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(async, nullptr);
    EXPECT_EQ(pinned, nullptr);
    size_t free = 0, total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 1000u);
    EXPECT_EQ(cudaMemcpy(device, pinned, 0, cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaMemsetAsync(async, 0, 0, s), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(s), cudaSuccess);
    EXPECT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(cudaFree(async), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
    use_environment({});

    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("cudaMalloc", 0) == 0)
            lines.push_back(line);
    const std::vector<std::string> expected = {"cudaMalloc dev=0 bytes=0 ptr=null",
                                               "cudaMallocAsync dev=0 stream=1/0 bytes=0 ptr=null",
                                               "cudaMallocHost dev=0 bytes=0"};
    EXPECT_EQ(lines, expected);
}

TEST_F(HostRuntime, NewMemoryHoldsTheNanPatternUpToItsLastByte)
{
    use_environment({});
    const unsigned char pattern[4] = {0xD0, 0xBA, 0xC0, 0x7F}; // 0x7FC0BAD0 in memory order
    for (size_t bytes : {1, 3, 4, 7, 8, 13, 4099}) {
        SCOPED_TRACE(bytes);
        void *device = nullptr, *pinned = nullptr;
        ASSERT_EQ(cudaMalloc(&device, bytes), cudaSuccess);
        ASSERT_EQ(cudaMallocHost(&pinned, bytes), cudaSuccess);
        std::vector<unsigned char> expected(bytes), got(bytes);
        for (size_t i = 0; i < bytes; ++i)
            expected[i] = pattern[i % 4];
        ASSERT_EQ(cudaMemcpy(got.data(), device, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
        EXPECT_EQ(got, expected);
        std::memcpy(got.data(), pinned, bytes);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(cudaFree(device), cudaSuccess);
        EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    }
}

TEST_F(HostRuntime, MemoryInfoCountsAllocationsPerDeviceAndRefusesExcess)
{
    use_environment({{"TESSARO_HOST_GPUS", "2"}, {"TESSARO_HOST_MEMORY", "1000"}});
    size_t free = 0, total = 0;
    void* a = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 600), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 400u);
    EXPECT_EQ(total, 1000u);

    void* b = &free;
    EXPECT_EQ(cudaMalloc(&b, 401), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");

    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    cudaStream_t s1 = new_stream();
    ASSERT_EQ(cudaMallocAsync(&b, 1000, s1), cudaSuccess); // dev 1 has its own memory
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 0u);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, 1000u);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

// A copy or memset on device 0 or 1 that must abort, and the message it prints.
struct bounds_case {
    const char* name;
    void (*run)(char* a, char* b, char* on_dev1);
    const char* message;
};

// a1 and a2 on dev 0, a3 on dev 1, each 64 bytes.
void run_with_three_allocations(const bounds_case& c)
{
    use_environment({{"TESSARO_HOST_GPUS", "2"}});
    void *a = nullptr, *b = nullptr, *on_dev1 = nullptr;
    cudaMalloc(&a, 64);
    cudaMalloc(&b, 64);
    cudaSetDevice(1);
    cudaMalloc(&on_dev1, 64);
    cudaSetDevice(0);
    c.run(static_cast<char*>(a), static_cast<char*>(b), static_cast<char*>(on_dev1));
}

TEST_F(HostRuntime, RangeViolationsAbort)
{
    const bounds_case cases[] = {
        {"past the end", [](char* a, char*, char*) { cudaMemset(a + 60, 0, 8); },
         "cudaMemset: ptr=a1\\+60 bytes=8 dev=0 runs past the end of allocation a1 \\(64 bytes\\)"},
        {"spans two allocations",
         [](char* a, char* b, char*) { cudaMemcpy(a + 32, b, 64, cudaMemcpyDeviceToDevice); },
         "cudaMemcpy: dst=a1\\+32 bytes=64 dev=0 runs past the end of allocation a1"},
        {"wrong device", [](char* a, char*, char*) {
             char host[8] = {};
             cudaSetDevice(1);
             cudaMemcpy(a, host, 8, cudaMemcpyHostToDevice);
         },
         "cudaMemcpy: dst=a1\\+0 bytes=8 dev=1 is in allocation a1 of dev=0"},
        {"stream of the other device", [](char*, char* b, char*) {
             char host[8] = {};
             cudaSetDevice(1);
             cudaStream_t s = nullptr;
             cudaStreamCreateWithPriority(&s, 1, 0);
             cudaMemcpyAsync(host, b, 8, cudaMemcpyDeviceToHost, s);
         },
         "cudaMemcpyAsync: src=a2\\+0 bytes=8 dev=1 is in allocation a2 of dev=0"},
        {"peer source on the wrong device",
         [](char* a, char*, char* on_dev1) { cudaMemcpyPeerAsync(a, 0, on_dev1, 0, 8, nullptr); },
         "cudaMemcpyPeerAsync: src=a3\\+0 bytes=8 dev=0 is in allocation a3 of dev=1"},
        {"freed allocation", [](char* a, char*, char*) {
             char host[8] = {};
             cudaFree(a);
             cudaMemcpy(host, a, 8, cudaMemcpyDeviceToHost);
         },
         "cudaMemcpy: src=host bytes=8 dev=0 \\(address .*\\) is not in a live device allocation"},
        {"zero-byte allocation", [](char*, char*, char*) {
             void* empty = nullptr;
             cudaMalloc(&empty, 0);
             cudaMemset(empty, 0, 4);
         },
         "cudaMemset: ptr=null bytes=4 dev=0 \\(address .*\\) is not in a live device allocation"},
    };
    for (const bounds_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(run_with_three_allocations(c), std::string("^host runtime: ") + c.message);
    }
}

// Escapes the characters that a POSIX extended regular expression treats specially.
std::string literal_regex(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            out += '\\';
        out += c;
    }
    return out;
}

TEST_F(HostRuntime, BadSettingsEndTheRunWithStatusOneAndKeepWhatWasPrinted)
{
    struct setting_case {
        std::vector<std::pair<const char*, std::string>> settings;
        std::string message;
    };
    std::string fault_refusal = "TESSARO_HOST_FAIL must be CALL or CALL:N (N from 1), CALL one of ";
    for (const std::string& name : fault_names)
        fault_refusal += name + (&name == &fault_names.back() ? "" : ", ");
    const setting_case cases[] = {
        {{{"TESSARO_HOST_GPUS", "17"}}, "TESSARO_HOST_GPUS must be a number from 0 to 16, not '17'"},
        {{{"TESSARO_HOST_GPUS", "two"}}, "TESSARO_HOST_GPUS must be a number from 0 to 16, not 'two'"},
        {{{"TESSARO_HOST_SCHEDULE", "lazy"}}, "TESSARO_HOST_SCHEDULE must be eager or deferred, not 'lazy'"},
        {{{"TESSARO_HOST_GPUS", "4"}, {"TESSARO_HOST_NO_PEER", "1-2,3"}},
         "TESSARO_HOST_NO_PEER must be pairs like 1-2,0-3 of GPUs from 0 to 3, not '1-2,3'"},
        {{{"TESSARO_HOST_GPUS", "4"}, {"TESSARO_HOST_NO_PEER", "1-2;0-3"}},
         "TESSARO_HOST_NO_PEER must be pairs like 1-2,0-3 of GPUs from 0 to 3, not '1-2;0-3'"},
        {{{"TESSARO_HOST_GPUS", "4"}, {"TESSARO_HOST_NO_PEER", "1-2,4-0"}},
         "TESSARO_HOST_NO_PEER must be pairs like 1-2,0-3 of GPUs from 0 to 3, not '1-2,4-0'"},
        {{{"TESSARO_HOST_NO_PEER", "0-1"}}, // one GPU by default
         "TESSARO_HOST_NO_PEER must be pairs like 1-2,0-3 of GPUs from 0 to 0, not '0-1'"},
        {{{"TESSARO_HOST_GPUS", "0"}, {"TESSARO_HOST_NO_PEER", "0-0"}},
         "TESSARO_HOST_NO_PEER must be empty without GPUs, not '0-0'"},
        {{{"TESSARO_HOST_MEMORY", "-5"}},
         "TESSARO_HOST_MEMORY must be a number from 0 to 9223372036854775807, not '-5'"},
        {{{"TESSARO_HOST_THREADS", "0"}}, "TESSARO_HOST_THREADS must be a number from 1 to 1024, not '0'"},
        {{{"TESSARO_HOST_TRACE", "/"}},
         "TESSARO_HOST_TRACE must be a file that can be written, not '/': Is a directory"},
        {{{"TESSARO_HOST_FAIL", "cudaMallocManaged"}}, fault_refusal + ", not 'cudaMallocManaged'"},
        {{{"TESSARO_HOST_FAIL", "cudaFreeHost:0"}}, fault_refusal + ", not 'cudaFreeHost:0'"},
        {{{"TESSARO_HOST_FAIL", "launch:2"}}, fault_refusal + ", not 'launch:2'"},
        {{{"TESSARO_HOST_FAIL", "cudaMalloc:x"}}, fault_refusal + ", not 'cudaMalloc:x'"},
    };
    for (const setting_case& c : cases) {
        SCOPED_TRACE(c.message);
        // Standard output joins standard error, fully buffered: what was
        // printed must come out, before the error line.
        auto print_then_start = [&] {
            std::fflush(stdout);
            if (dup2(2, 1) != 1)
                std::_Exit(2);
            std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ); // glibc takes a new mode at any time
            std::printf("printed before the runtime starts\n");
            use_environment(c.settings);
        };
        EXPECT_EXIT(print_then_start(), ::testing::ExitedWithCode(1),
                    "^printed before the runtime starts\n" + literal_regex(std::string("Error: ") + c.message) +
                        "\n$");
    }
}

// A setting of the empty text counts as unset: every default holds.
TEST_F(HostRuntime, EmptySettingsTakeTheDefaults)
{
    std::vector<std::pair<const char*, std::string>> empty;
    for (const char* name : runtime_variables)
        empty.push_back({name, ""});
    use_environment(empty);
    int count = 0;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(host_runtime::tracing());
    void* block = nullptr;
    ASSERT_EQ(cudaMallocHost(&block, 16), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(block), cudaSuccess); // no fault injected
    size_t free_bytes = 0, total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free_bytes, &total), cudaSuccess);
    EXPECT_EQ(total, 17179869184u);
}

// The call that TESSARO_HOST_FAIL names fails once, at its count, and does nothing.
TEST_F(HostRuntime, NamedCallFailsOnceAtItsCount)
{
    use_environment({{"TESSARO_HOST_FAIL", "cudaFreeHost:2"}});
    void* blocks[3];
    for (void*& b : blocks)
        ASSERT_EQ(cudaMallocHost(&b, 16), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(blocks[0]), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(blocks[1]), cudaErrorUnknown);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "unknown error");
    EXPECT_EQ(cudaFreeHost(blocks[1]), cudaSuccess); // still allocated
    EXPECT_EQ(cudaFreeHost(blocks[2]), cudaSuccess);

    use_environment({{"TESSARO_HOST_FAIL", "cudaMemcpyPeerAsync"}, {"TESSARO_HOST_GPUS", "2"}});
    float *a = nullptr, *b = nullptr;
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&a), 4), cudaSuccess);
    ASSERT_EQ(cudaMemset(a, 0, 4), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&b), 4), cudaSuccess);
    const float one = 1.0f;
    ASSERT_EQ(cudaMemcpy(b, &one, 4, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(cudaMemcpyPeerAsync(a, 0, b, 1, 4, nullptr), cudaErrorUnknown);
    float got = -1.0f;
    ASSERT_EQ(cudaMemcpy(&got, a, 4, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(got, 0.0f);
    EXPECT_EQ(cudaMemcpyPeerAsync(a, 0, b, 1, 4, nullptr), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(&got, a, 4, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(got, 1.0f);
}

struct geometry_case {
    const char* threads;
    dim3 grid;
    dim3 block;
};

TEST_F(HostRuntime, EveryThreadOfTheGridRunsOnceWithItsBuiltIns)
{
    const geometry_case cases[] = {
        {"1", dim3(3, 2, 1), dim3(4, 8, 2)},
        {"4", dim3(16, 8, 2), dim3(8, 4, 2)},
        {"4", dim3(300), dim3(128)},
        {"3", dim3(5, 3, 7), dim3(32, 1, 3)},
    };
    for (const geometry_case& c : cases) {
        SCOPED_TRACE(std::string("threads=") + c.threads + " grid.x=" + std::to_string(c.grid.x));
        use_environment({{"TESSARO_HOST_THREADS", c.threads}});
        const dim3 g = c.grid, b = c.block;
        size_t count = size_t(g.x) * g.y * g.z * b.x * b.y * b.z;
        std::vector<int> hits(count, 0);
        std::vector<char> consistent(count, 1);
        std::vector<unsigned> steps(count / (b.x * b.y * b.z), 0); // threads of a block run in turn, x fastest
        int* h = hits.data();
        char* ok = consistent.data();
        unsigned* step = steps.data();
        ASSERT_EQ(host_runtime::launch(
                      "geometry", g, b, nullptr,
                      [=] {
                          size_t block = (size_t(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
                          size_t thread = (size_t(threadIdx.z) * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
                          size_t slot = block * (size_t(blockDim.x) * blockDim.y * blockDim.z) + thread;
                          h[slot] += 1;
                          ok[slot] = step[block]++ == thread && gridDim.x == g.x && gridDim.y == g.y &&
                                     gridDim.z == g.z && blockDim.x == b.x && blockDim.y == b.y &&
                                     blockDim.z == b.z && threadIdx.x < b.x &&
                                     threadIdx.y < b.y && threadIdx.z < b.z && blockIdx.y < g.y && blockIdx.z < g.z;
                      },
                      nullptr),
                  cudaSuccess);
        EXPECT_EQ(hits, std::vector<int>(count, 1));
        EXPECT_EQ(consistent, std::vector<char>(count, 1));
    }
}

TEST_F(HostRuntime, AGridOfFewCostlyThreadsIsSharedByTheCpuThreads)
{
    use_environment({{"TESSARO_HOST_THREADS", "4"}});
    const int blocks = 8;
    std::vector<std::thread::id> ran_on(blocks);
    std::thread::id* slot = ran_on.data();
    ASSERT_EQ(host_runtime::launch(
                  "slow", dim3(blocks), dim3(1), nullptr,
                  [=] {
                      std::this_thread::sleep_for(std::chrono::milliseconds(2));
                      slot[blockIdx.x] = std::this_thread::get_id();
                  },
                  nullptr),
              cudaSuccess);
    std::sort(ran_on.begin(), ran_on.end());
    EXPECT_GT(std::unique(ran_on.begin(), ran_on.end()) - ran_on.begin(), 1);
}

// A launch thread that the system refuses leaves the grids to the threads that
// started and the issuing thread, with one warning. Each case runs in a fresh
// process, whose pool starts empty; its exit status is the number of threads
// that ran the blocks of two launches.
TEST_F(HostRuntime, LaunchThreadsThatCannotStartLeaveTheGridsToTheOthers)
{
    const struct {
        const char* fault;
        int threads;
        const char* warning;
    } cases[] = {
        {"launch_thread:2", 2, "launch thread 2 of 3 could not be started (Resource temporarily unavailable); kernels "
                               "run on 2 CPU threads"},
        {"launch_thread", 1, "launch thread 1 of 3 could not be started (Resource temporarily unavailable); kernels "
                             "run on 1 CPU thread"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        auto launch_twice = [&] {
            use_environment({{"TESSARO_HOST_THREADS", "4"}, {"TESSARO_HOST_FAIL", c.fault}});
            const int blocks = 8;
            std::vector<std::thread::id> ran_on(2 * blocks);
            for (int launch = 0; launch < 2; ++launch) {
                std::thread::id* slot = ran_on.data() + launch * blocks;
                if (host_runtime::launch(
                        "slow", dim3(blocks), dim3(1), nullptr,
                        [=] {
                            std::this_thread::sleep_for(std::chrono::milliseconds(2));
                            slot[blockIdx.x] = std::this_thread::get_id();
                        },
                        nullptr) != cudaSuccess)
                    std::_Exit(100);
            }
            std::sort(ran_on.begin(), ran_on.end());
            std::exit(static_cast<int>(std::unique(ran_on.begin(), ran_on.end()) - ran_on.begin()));
        };
        EXPECT_EXIT(launch_twice(), ::testing::ExitedWithCode(c.threads),
                    "^" + literal_regex(std::string("Warning: host runtime: ") + c.warning) + "\n$");
    }
}

TEST_F(HostRuntime, ExitAfterParallelLaunchesDoesNotHang)
{
    auto launch_then_exit = [] {
        use_environment({{"TESSARO_HOST_THREADS", "4"}});
        std::atomic<int> runs{0};
        host_runtime::launch("count", dim3(64), dim3(128), nullptr, [&] { ++runs; }, nullptr);
        std::exit(runs == 64 * 128 ? 3 : 4);
    };
    EXPECT_EXIT(launch_then_exit(), ::testing::ExitedWithCode(3), "");
}

TEST_F(HostRuntime, ExcessThreadsOfAOneDimensionalLaunchAreGuardedByTheKernel)
{
    use_environment({{"TESSARO_HOST_THREADS", "4"}});
    const int n = 10000; // 79 blocks of 128: 112 threads past the end
    std::vector<float> init(n + 1, 0.0f);
    float* a = device_floats(init);
    ASSERT_EQ(add(nullptr, a, n, 1.0f), cudaSuccess);
    std::vector<float> got = host_copy(a, n + 1);
    EXPECT_EQ(std::vector<float>(got.begin(), got.end() - 1), std::vector<float>(n, 1.0f));
    EXPECT_EQ(got[n], 0.0f);
    cudaFree(a);
}

TEST_F(HostRuntime, InvalidLaunchesRunNothingAndRecordTheError)
{
    use_environment({{"TESSARO_HOST_GPUS", "2"}});
    const std::pair<dim3, dim3> configurations[] = {
        {dim3(0), dim3(32)},         {dim3(4), dim3(0)},          {dim3(4), dim3(32, 1, 0)},
        {dim3(1), dim3(33, 32)},     {dim3(1, 65536), dim3(32)},  {dim3(1, 1, 65536), dim3(32)},
    };
    std::atomic<int> runs{0};
    for (auto& [grid, block] : configurations) {
        EXPECT_EQ(host_runtime::launch("bad", grid, block, nullptr, [&] { ++runs; }, nullptr),
                  cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(host_runtime::launch("edge", dim3(1, 65535, 2), dim3(1), nullptr, [&] { ++runs; }, nullptr), cudaSuccess);
    EXPECT_EQ(host_runtime::launch("edge", dim3(1), dim3(16, 8, 8), nullptr, [&] { ++runs; }, nullptr), cudaSuccess);
    EXPECT_EQ(runs, 2 * 65535 + 1024);

    cudaStream_t s0 = new_stream();
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    runs = 0;
    EXPECT_EQ(host_runtime::launch("elsewhere", dim3(1), dim3(1), s0, [&] { ++runs; }, nullptr),
              cudaErrorInvalidResourceHandle);
    EXPECT_EQ(runs, 0);
}

TEST_F(HostRuntime, DevicesAndPeerAccessFollowTheEnvironment)
{
    use_environment({{"TESSARO_HOST_GPUS", "4"}, {"TESSARO_HOST_NO_PEER", "1-2,0-3"}});
    int count = 0, device = -1;
    ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(cudaSetDevice(4), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 0);

    for (int d = 0; d < 4; ++d)
        for (int p = 0; p < 4; ++p) {
            int can = -1;
            ASSERT_EQ(cudaDeviceCanAccessPeer(&can, d, p), cudaSuccess);
            bool blocked = d == p || d + p == 3; // 1-2, 2-1, 0-3, 3-0
            EXPECT_EQ(can, blocked ? 0 : 1) << d << "-" << p;
        }
    int can = -1;
    EXPECT_EQ(cudaDeviceCanAccessPeer(&can, 0, 4), cudaErrorInvalidDevice);

    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(0, 0), cudaSuccess);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(0, 0), cudaErrorPeerAccessAlreadyEnabled);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(2, 0), cudaErrorPeerAccessUnsupported);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(1, 0), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(7, 0), cudaErrorInvalidDevice);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(cudaDeviceEnablePeerAccess(1, 0), cudaSuccess); // each direction on its own
    EXPECT_EQ(cudaDeviceEnablePeerAccess(3, 0), cudaErrorPeerAccessUnsupported);
    EXPECT_EQ(cudaGetLastError(), cudaErrorPeerAccessUnsupported);

    use_environment({{"TESSARO_HOST_GPUS", "0"}});
    count = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
    EXPECT_EQ(count, 0);
}

// Each device has one default pool; access to it is granted per device, read-
// write for its own, and only to a device that can reach it. A list with one
// bad entry is refused whole; every call is traced.
TEST_F(HostRuntime, DefaultPoolsGrantAccessToDevicesThatCanReachThem)
{
    const scratch_dir scratch("host_runtime_pools");
    const std::string path = scratch.path + "/trace";
    use_environment({{"TESSARO_HOST_GPUS", "3"}, {"TESSARO_HOST_NO_PEER", "0-2"}, {"TESSARO_HOST_TRACE", path}});
    cudaMemPool_t pool0 = nullptr, pool1 = nullptr, again = nullptr;
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool0, 0), cudaSuccess);
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool1, 1), cudaSuccess);
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&again, 0), cudaSuccess);
    EXPECT_EQ(again, pool0);
    EXPECT_NE(pool0, pool1);
    EXPECT_EQ(cudaDeviceGetDefaultMemPool(&again, 3), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaDeviceGetDefaultMemPool(nullptr, 0), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);

    auto on = [](int device, int flags) {
        cudaMemAccessDesc d = {};
        d.location.type = cudaMemLocationTypeDevice;
        d.location.id = device;
        d.flags = static_cast<cudaMemAccessFlags>(flags);
        return d;
    };
    cudaMemAccessDesc host_side = on(1, cudaMemAccessFlagsProtReadWrite);
    host_side.location.type = cudaMemLocationTypeInvalid;
    const struct {
        const char* name;
        cudaMemPool_t pool;
        std::vector<cudaMemAccessDesc> list;
        cudaError_t result;
    } rows[] = {
        {"a device that reaches it", pool0, {on(1, cudaMemAccessFlagsProtReadWrite)}, cudaSuccess},
        {"its own device, read-write", pool0, {on(0, cudaMemAccessFlagsProtReadWrite)}, cudaSuccess},
        {"nothing", pool1, {}, cudaSuccess},
        {"its own device, read only", pool0, {on(0, cudaMemAccessFlagsProtRead)}, cudaErrorInvalidValue},
        {"a device without peer access", pool0, {on(2, cudaMemAccessFlagsProtReadWrite)}, cudaErrorInvalidDevice},
        {"no such device", pool1, {on(3, cudaMemAccessFlagsProtReadWrite)}, cudaErrorInvalidDevice},
        {"flags of no meaning", pool1, {on(0, 2)}, cudaErrorInvalidValue},
        {"not a device", pool1, {host_side}, cudaErrorInvalidValue},
        {"a good entry, then a bad one", pool1,
         {on(2, cudaMemAccessFlagsProtReadWrite), on(7, cudaMemAccessFlagsProtReadWrite)}, cudaErrorInvalidDevice},
        {"no pool", nullptr, {on(1, cudaMemAccessFlagsProtReadWrite)}, cudaErrorInvalidValue},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cudaMemPoolSetAccess(row.pool, row.list.data(), row.list.size()), row.result);
        EXPECT_EQ(cudaGetLastError(), row.result);
    }
    EXPECT_EQ(cudaMemPoolSetAccess(pool0, nullptr, 1), cudaErrorInvalidValue);

    const std::vector<std::string> expected = {
        "cudaDeviceGetDefaultMemPool dev=0 pool=0",
        "cudaDeviceGetDefaultMemPool dev=1 pool=1",
        "cudaDeviceGetDefaultMemPool dev=0 pool=0",
        "cudaDeviceGetDefaultMemPool dev=3 -> cudaErrorInvalidDevice",
        "cudaDeviceGetDefaultMemPool dev=0 -> cudaErrorInvalidValue",
        "cudaMemPoolSetAccess pool=0 count=1 access=1:rw",
        "cudaMemPoolSetAccess pool=0 count=1 access=0:rw",
        "cudaMemPoolSetAccess pool=1 count=0",
        "cudaMemPoolSetAccess pool=0 count=1 access=0:r -> cudaErrorInvalidValue",
        "cudaMemPoolSetAccess pool=0 count=1 access=2:rw -> cudaErrorInvalidDevice",
        "cudaMemPoolSetAccess pool=1 count=1 access=3:rw -> cudaErrorInvalidDevice",
        "cudaMemPoolSetAccess pool=1 count=1 access=0:2 -> cudaErrorInvalidValue",
        "cudaMemPoolSetAccess pool=1 count=1 access=1:rw -> cudaErrorInvalidValue",
        "cudaMemPoolSetAccess pool=1 count=2 access=2:rw,7:rw -> cudaErrorInvalidDevice",
        "cudaMemPoolSetAccess pool=invalid count=1 -> cudaErrorInvalidValue",
        "cudaMemPoolSetAccess pool=0 count=1 -> cudaErrorInvalidValue",
    };
    std::vector<std::string> pool_lines; // without the error queries between the calls
    for (const std::string& line : read_lines(path))
        if (line.rfind("cudaGetLastError", 0) != 0)
            pool_lines.push_back(line);
    EXPECT_EQ(pool_lines, expected);

    // A reset makes new pools: the old handle names none.
    use_environment({{"TESSARO_HOST_GPUS", "2"}});
    const cudaMemAccessDesc peer = on(1, cudaMemAccessFlagsProtReadWrite);
    EXPECT_EQ(cudaMemPoolSetAccess(pool0, &peer, 1), cudaErrorInvalidValue);
}

TEST_F(HostRuntime, StreamsAreNumberedInCreationOrderWithClampedPriorities)
{
    use_environment({{"TESSARO_HOST_GPUS", "2"}});
    int least = 1, greatest = 1;
    ASSERT_EQ(cudaDeviceGetStreamPriorityRange(&least, &greatest), cudaSuccess);
    EXPECT_EQ(least, 0);
    EXPECT_EQ(greatest, -5);
    const scratch_dir scratch("host_runtime_streams");
    const std::string path = scratch.path + "/trace";
    use_environment({{"TESSARO_HOST_GPUS", "2"}, {"TESSARO_HOST_TRACE", path}});
    new_stream(3);
    cudaSetDevice(1);
    new_stream(-9);
    cudaSetDevice(0);
    new_stream(-2);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "cudaStreamCreateWithPriority dev=0 stream=1/0 flags=1\n"
                    "cudaSetDevice dev=1\n"
                    "cudaStreamCreateWithPriority dev=1 stream=2/-5 flags=1\n"
                    "cudaSetDevice dev=0\n"
                    "cudaStreamCreateWithPriority dev=0 stream=3/-2 flags=1\n");
}

TEST_F(HostRuntime, TraceHasOneLinePerCall)
{
    const scratch_dir scratch("host_runtime_calls");
    const std::string path = scratch.path + "/trace";
    use_environment({{"TESSARO_HOST_GPUS", "2"}, {"TESSARO_HOST_MEMORY", "1000"}, {"TESSARO_HOST_TRACE", path},
                     {"TESSARO_HOST_SCHEDULE", "deferred"}});
    EXPECT_TRUE(host_runtime::tracing());
    int count = 0;
    cudaGetDeviceCount(&count);
    cudaStream_t s = new_stream(-5);
    void *a = nullptr, *b = nullptr, *c = nullptr;
    cudaMalloc(&a, 400);
    cudaMallocAsync(&b, 400, s);
    cudaMalloc(&c, 800);
    cudaGetLastError();
    float ones[2] = {1.0f, 1.0f};
    cudaMemcpyAsync(static_cast<char*>(a) + 8, ones, sizeof ones, cudaMemcpyHostToDevice, s);
    cudaMemcpy(ones, b, 2, cudaMemcpyDeviceToHost);
    cudaMemsetAsync(b, 0, 400, s);
    cudaSetDevice(1);
    void* d = nullptr;
    cudaMalloc(&d, 64);
    cudaDeviceEnablePeerAccess(0, 0);
    cudaMemcpyPeerAsync(d, 1, static_cast<char*>(a) + 4, 0, 32, nullptr);
    cudaSetDevice(0);
    int x = 0;
    host_runtime::launch(
        "fill", dim3(1, 4), dim3(16, 16), s, [] {},
        [&](std::string& out) { out += "7," + host_runtime::describe_pointer(&x); });
    cudaStreamSynchronize(s);
    cudaFree(a);
    cudaStreamDestroy(s);

    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const std::vector<std::string> expected = {
        "cudaGetDeviceCount dev=0 count=2",
        "cudaStreamCreateWithPriority dev=0 stream=1/-5 flags=1",
        "cudaMalloc dev=0 bytes=400 ptr=a1",
        "cudaMallocAsync dev=0 stream=1/-5 bytes=400 ptr=a2",
        "cudaMalloc dev=0 bytes=800 ptr=null -> cudaErrorMemoryAllocation",
        "cudaGetLastError dev=0 -> cudaErrorMemoryAllocation",
        "cudaMemcpyAsync dev=0 stream=1/-5 kind=H2D dst=a1+8 src=host bytes=8 head=0x3f800000",
        "cudaMemcpy dev=0 kind=D2H dst=host src=a2+0 bytes=2",
        "cudaMemsetAsync dev=0 stream=1/-5 ptr=a2+0 value=0 bytes=400",
        "cudaSetDevice dev=1",
        "cudaMalloc dev=1 bytes=64 ptr=a3",
        "cudaDeviceEnablePeerAccess dev=1 peer=0",
        "cudaMemcpyPeerAsync dev=1 stream=0/0 dst=a3+0 dst_dev=1 src=a1+4 src_dev=0 bytes=32",
        "cudaSetDevice dev=0",
        "launch dev=0 stream=1/-5 kernel=fill grid=1x4x1 block=16x16x1 args=7,host",
        "cudaStreamSynchronize dev=0 stream=1/-5",
        "cudaFree dev=0 ptr=a1",
        "cudaStreamDestroy dev=0 stream=1/-5",
    };
    EXPECT_EQ(lines, expected);
}

} // namespace
