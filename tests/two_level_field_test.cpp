#include "two_level_field.cuh"
#include "device_buffers.h"
#include "test_support.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// Simulated devices and a trace file for one test; the default runtime after.
class simulated_devices {
public:
    explicit simulated_devices(int count) : trace_(dir_.path + "/trace")
    {
        setenv("TESSARO_HOST_GPUS", std::to_string(count).c_str(), 1);
        setenv("TESSARO_HOST_TRACE", trace_.c_str(), 1);
        host_runtime::reset();
    }
    ~simulated_devices()
    {
        unsetenv("TESSARO_HOST_GPUS");
        unsetenv("TESSARO_HOST_TRACE");
        host_runtime::reset();
    }
    std::vector<std::string> calls(const std::vector<std::string>& names) const
    {
        return select_calls(read_lines(trace_), names);
    }
    size_t line_count() const { return read_lines(trace_).size(); }
    std::vector<std::string> lines_from(size_t first) const
    {
        std::vector<std::string> all = read_lines(trace_);
        return std::vector<std::string>(all.begin() + static_cast<long>(std::min(first, all.size())), all.end());
    }

private:
    const scratch_dir dir_{"exchange"};
    std::string trace_;
};

// Value of element `e` of GPU g's field before the exchange: unique per GPU
// and element, exact as a float.
float original(int g, size_t e) { return static_cast<float>(100000 * (g + 1) + static_cast<int>(e)); }

struct exchange_case {
    const char* name;
    int ngpus;
    std::vector<int> local_nx;
    int extent1, extent2; // extent2 = 0: the nY overload with nY = extent1
    int halo_width;
};

// Per GPU: a decoy stream and the stream handed to the exchange, and the field.
struct gpu_set {
    std::vector<float*> fields;
    std::vector<cudaStream_t> streams;
    std::vector<std::string> stream_ids; // "serial/priority" as traced
};

gpu_set make_gpus(const simulated_devices& devices, const std::vector<int>& local_nx, int slice)
{
    gpu_set set;
    for (size_t g = 0; g < local_nx.size(); ++g) {
        cudaSetDevice(static_cast<int>(g));
        cudaStream_t decoy = nullptr, halo = nullptr;
        cudaStreamCreateWithPriority(&decoy, cudaStreamNonBlocking, 0);
        cudaStreamCreateWithPriority(&halo, cudaStreamNonBlocking, -5);
        set.streams.push_back(halo);
        std::vector<float> host(static_cast<size_t>(2 * local_nx[g] * slice));
        for (size_t e = 0; e < host.size(); ++e)
            host[e] = original(static_cast<int>(g), e);
        set.fields.push_back(upload(host));
    }
    std::vector<std::string> created = devices.calls({"cudaStreamCreateWithPriority"});
    for (size_t g = 0; g < local_nx.size(); ++g)
        set.stream_ids.push_back(trace_field(created.at(2 * g + 1), "stream"));
    return set;
}

// The expected fields, in level terms: next-level columns [hw, 2hw) of GPU g
// land in columns [L-hw, L) of GPU g-1, and [L-2hw, L-hw) in [0, hw) of GPU g+1.
std::vector<std::vector<float>> expected_fields(const exchange_case& c, int slice)
{
    std::vector<std::vector<float>> want;
    for (int g = 0; g < c.ngpus; ++g) {
        std::vector<float> f(static_cast<size_t>(2 * c.local_nx[g] * slice));
        for (size_t e = 0; e < f.size(); ++e)
            f[e] = original(g, e);
        want.push_back(f);
    }
    auto next_column = [&](int g, int column) { return static_cast<size_t>((c.local_nx[g] + column) * slice); };
    const int hw = c.halo_width;
    for (int g = 0; g < c.ngpus; ++g) {
        const int L = c.local_nx[g];
        for (int col = 0; col < hw; ++col)
            for (int v = 0; v < slice; ++v) {
                if (g > 0) {
                    int Ll = c.local_nx[g - 1];
                    want[g - 1][next_column(g - 1, Ll - hw + col) + v] = original(g, next_column(g, hw + col) + v);
                }
                if (g < c.ngpus - 1)
                    want[g + 1][next_column(g + 1, col) + v] = original(g, next_column(g, L - 2 * hw + col) + v);
            }
    }
    return want;
}

} // namespace

// Contents after the exchange (only next-level ghost columns change, all y of
// each slice) and the copies as traced: order, stream, devices, offsets, size.
TEST(HaloExchange, CopiesNextLevelEdgeColumnsToNeighbours)
{
    const exchange_case cases[] = {
        {"one_gpu", 1, {20}, 5, 0, 8},
        {"two_gpus", 2, {20, 24}, 5, 0, 8},
        {"three_gpus", 3, {20, 24, 18}, 5, 0, 8},
        {"three_gpus_width_3", 3, {7, 9, 6}, 4, 0, 3},
        {"two_extents", 3, {6, 8, 5}, 2, 3, 2},
    };
    for (const exchange_case& c : cases) {
        SCOPED_TRACE(c.name);
        simulated_devices devices(3);
        const int slice = c.extent2 == 0 ? c.extent1 : c.extent1 * c.extent2;
        gpu_set set = make_gpus(devices, c.local_nx, slice);
        size_t mark = devices.line_count();
        cudaError_t result =
            c.extent2 == 0 ? exchange_halos_async(set.fields.data(), c.local_nx.data(), set.streams.data(), c.ngpus,
                                                  c.extent1, c.halo_width)
                           : exchange_halos_async(set.fields.data(), c.local_nx.data(), set.streams.data(), c.ngpus,
                                                  c.extent1, c.extent2, c.halo_width);
        EXPECT_EQ(result, cudaSuccess);
        std::vector<std::string> copies = devices.lines_from(mark);
        for (int g = 0; g < c.ngpus; ++g) {
            cudaSetDevice(g);
            cudaDeviceSynchronize();
        }

        std::vector<std::vector<float>> want = expected_fields(c, slice);
        for (int g = 0; g < c.ngpus; ++g) {
            cudaSetDevice(g);
            std::vector<float> got = download(set.fields[g], want[g].size());
            for (size_t e = 0; e < got.size(); ++e)
                ASSERT_EQ(got[e], want[g][e]) << "gpu " << g << " element " << e;
        }

        // Right copy of GPU 0, left and right of each middle GPU, left of the last.
        struct copy {
            int from, to;
            size_t src_float, dst_float;
        };
        std::vector<copy> order;
        for (int g = 0; g < c.ngpus && c.ngpus > 1; ++g) {
            int L = c.local_nx[g];
            if (g > 0)
                order.push_back({g, g - 1, static_cast<size_t>((L + c.halo_width) * slice),
                                 static_cast<size_t>((2 * c.local_nx[g - 1] - c.halo_width) * slice)});
            if (g < c.ngpus - 1)
                order.push_back({g, g + 1, static_cast<size_t>((2 * L - 2 * c.halo_width) * slice),
                                 static_cast<size_t>(c.local_nx[g + 1] * slice)});
        }
        // The exchange enqueues copies and nothing else: no device switch, no wait.
        ASSERT_EQ(copies.size(), order.size());
        for (size_t i = 0; i < order.size(); ++i) {
            const copy& o = order[i];
            SCOPED_TRACE(copies[i]);
            EXPECT_EQ(copies[i].substr(0, copies[i].find(' ')), "cudaMemcpyPeerAsync");
            EXPECT_EQ(trace_field(copies[i], "dev"), std::to_string(o.from));
            EXPECT_EQ(trace_field(copies[i], "stream"), set.stream_ids[o.from]);
            EXPECT_EQ(trace_field(copies[i], "src"), host_runtime::describe_pointer(set.fields[o.from] + o.src_float));
            EXPECT_EQ(trace_field(copies[i], "src_dev"), std::to_string(o.from));
            EXPECT_EQ(trace_field(copies[i], "dst"), host_runtime::describe_pointer(set.fields[o.to] + o.dst_float));
            EXPECT_EQ(trace_field(copies[i], "dst_dev"), std::to_string(o.to));
            EXPECT_EQ(trace_field(copies[i], "bytes"), std::to_string(4 * c.halo_width * slice));
        }
    }
}

TEST(HaloExchange, NoGpuOrOneGpuEnqueuesNothing)
{
    for (int ngpus : {0, 1}) {
        SCOPED_TRACE(ngpus);
        simulated_devices devices(1);
        std::vector<int> local_nx = {20};
        gpu_set set = make_gpus(devices, local_nx, 4);
        EXPECT_EQ(exchange_halos_async(set.fields.data(), local_nx.data(), set.streams.data(), ngpus, 4, 8),
                  cudaSuccess);
        EXPECT_EQ(exchange_halos_async(set.fields.data(), local_nx.data(), set.streams.data(), ngpus, 2, 2, 8),
                  cudaSuccess);
        EXPECT_TRUE(devices.calls({"cudaMemcpyPeerAsync"}).empty());
    }
}

// Three GPUs on a machine of two: the copies to and from device 2 fail, the
// others still go out, and the first failure is returned.
TEST(HaloExchange, ReturnsFirstFailedCopy)
{
    simulated_devices devices(2);
    std::vector<int> local_nx = {20, 20};
    gpu_set set = make_gpus(devices, local_nx, 4);
    set.fields.push_back(set.fields[1]);
    set.streams.push_back(set.streams[1]);
    std::vector<int> three = {20, 20, 20};
    EXPECT_EQ(exchange_halos_async(set.fields.data(), three.data(), set.streams.data(), 3, 4, 8),
              cudaErrorInvalidDevice);
    cudaGetLastError();
    std::vector<std::string> copies = devices.calls({"cudaMemcpyPeerAsync"});
    ASSERT_EQ(copies.size(), 4u);
    EXPECT_EQ(copies[0].find("->"), std::string::npos);
    EXPECT_EQ(copies[1].find("->"), std::string::npos);
    EXPECT_NE(copies[2].find("-> cudaErrorInvalidDevice"), std::string::npos);
    EXPECT_NE(copies[3].find("-> cudaErrorInvalidDevice"), std::string::npos);
    cudaSetDevice(0);
    cudaDeviceSynchronize();
    cudaSetDevice(1);
    cudaDeviceSynchronize();
}

// n = 37 in two blocks of 32: the first n elements are copied and the rest of
// dst, which the last block's excess threads would reach, is kept.
TEST(TimeShift, CopiesFirstNElementsOnly)
{
    for (int n : {32, 37}) {
        SCOPED_TRACE(n);
        const int room = 64;
        std::vector<float> src_host(room), dst_host(room, -1.0f);
        for (int i = 0; i < room; ++i)
            src_host[static_cast<size_t>(i)] = static_cast<float>(i) + 0.5f;
        float* src = upload(src_host);
        float* dst = upload(dst_host);
        ASSERT_EQ(LAUNCH_KERNEL(proceed_time, dim3(static_cast<unsigned>((n + 31) / 32)), dim3(32), nullptr, dst, src,
                                n),
                  cudaSuccess);
        cudaDeviceSynchronize();
        std::vector<float> got = download(dst, room);
        for (int i = 0; i < room; ++i)
            EXPECT_EQ(got[static_cast<size_t>(i)], i < n ? src_host[static_cast<size_t>(i)] : -1.0f) << i;
        cudaFree(src);
        cudaFree(dst);
    }
}

// The drivers' call: the next level of a field onto its current level.
TEST(TimeShift, NextLevelOntoCurrentLevel)
{
    const int local_nx = 5, nY = 7, n = local_nx * nY;
    std::vector<float> host(2 * n);
    for (int i = 0; i < 2 * n; ++i)
        host[static_cast<size_t>(i)] = static_cast<float>(i);
    float* field = upload(host);
    ASSERT_EQ(LAUNCH_KERNEL(proceed_time, dim3((n + 31) / 32), dim3(32), nullptr, field, field + n, n), cudaSuccess);
    cudaDeviceSynchronize();
    std::vector<float> got = download(field, host.size());
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(got[static_cast<size_t>(i)], static_cast<float>(n + i)) << i;
        EXPECT_EQ(got[static_cast<size_t>(n + i)], static_cast<float>(n + i)) << i;
    }
    cudaFree(field);
}
