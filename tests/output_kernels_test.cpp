#include "output_kernels.cuh"
#include "device_buffers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// One GPU's window and output range.
struct gpu_window {
    int gpu_start, local_nx, output_start, output_end;
};

constexpr int nY = 24, margin = 8;

// Pressure with a distinct value per element, shifted by `step` so that each
// output step sees new values.
std::vector<float> pressure(int local_nx, int step)
{
    std::vector<float> p(static_cast<size_t>(2 * local_nx * nY));
    for (size_t k = 0; k < p.size(); ++k)
        p[k] = static_cast<float>(k) + 0.25f + 1000.0f * static_cast<float>(step);
    return p;
}

// A point as its out_desc triple, and the next-level element it samples
// (-1 for a point that gives +0.0).
struct point {
    int x, y;
    int sampled;
};

struct sampling {
    std::vector<int> index;
    std::vector<float> values;
};

const dim3 block_16(16);

// compute at step 0, then extract at steps 1 and 2 with p changed each time.
std::vector<sampling> sample_steps(const gpu_window& g, const std::vector<point>& points)
{
    int n = static_cast<int>(points.size());
    std::vector<int> desc;
    for (const point& q : points) {
        desc.push_back(q.x - g.output_start);
        desc.push_back(q.y);
        desc.push_back(q.x);
    }
    int* d_desc = upload(desc);
    int* out_index = nullptr;
    float* out_values = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&out_index), points.size() * sizeof(int));
    cudaMalloc(reinterpret_cast<void**>(&out_values), points.size() * sizeof(float));
    float* p = upload(pressure(g.local_nx, 0));
    dim3 grid(static_cast<unsigned>((n + 15) / 16));

    std::vector<sampling> steps;
    EXPECT_EQ(LAUNCH_KERNEL(compute_genout_frame_multi, grid, block_16, nullptr, out_index, out_values, p, d_desc, n,
                            g.local_nx, nY, g.output_start, g.output_end, margin, g.output_start - g.gpu_start),
              cudaSuccess);
    cudaDeviceSynchronize();
    steps.push_back({download(out_index, points.size()), download(out_values, points.size())});
    for (int step = 1; step <= 2; ++step) {
        std::vector<float> later = pressure(g.local_nx, step);
        cudaMemcpy(p, later.data(), later.size() * sizeof(float), cudaMemcpyHostToDevice);
        // Leftover samples must not survive: every entry is written again.
        cudaMemset(out_values, 0xFF, points.size() * sizeof(float));
        EXPECT_EQ(LAUNCH_KERNEL(extract_pressure_values, grid, block_16, nullptr, out_index, out_values, p, n),
                  cudaSuccess);
        cudaDeviceSynchronize();
        steps.push_back({download(out_index, points.size()), download(out_values, points.size())});
    }
    cudaFree(d_desc);
    cudaFree(out_index);
    cudaFree(out_values);
    cudaFree(p);
    return steps;
}

int next_level(const gpu_window& g, int local_x, int y) { return (local_x + g.local_nx) * nY + y; }

void expect_samples(const gpu_window& g, const std::vector<point>& points)
{
    std::vector<sampling> steps = sample_steps(g, points);
    for (size_t s = 0; s < steps.size(); ++s) {
        std::vector<float> p = pressure(g.local_nx, static_cast<int>(s));
        for (size_t i = 0; i < points.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(s) + " point x=" + std::to_string(points[i].x) +
                         " y=" + std::to_string(points[i].y));
            int k = points[i].sampled;
            if (k >= 0) {
                EXPECT_EQ(steps[s].index[i], k);
                EXPECT_EQ(float_bits(steps[s].values[i]), float_bits(p[static_cast<size_t>(k)]));
            } else {
                EXPECT_EQ(steps[s].index[i], -1);
                EXPECT_EQ(float_bits(steps[s].values[i]), 0u);
            }
        }
    }
}

} // namespace

// GPU 0 owns columns [0, 30) of its window [0, 38); y in [8, 16) is sampled.
TEST(OutputSampling, MarginRowsGiveZeroAtEveryStep)
{
    const gpu_window g{0, 38, 0, 30};
    expect_samples(g, {
                          {3, margin - 1, -1},
                          {3, margin, next_level(g, 3, margin)},
                          {3, nY - margin - 1, next_level(g, 3, nY - margin - 1)},
                          {3, nY - margin, -1},
                          {4, -1, -1},
                          {0, 12, next_level(g, 0, 12)},
                      });
}

// GPU k > 0 with window [40, 72) and owned columns [48, 64): its first owned
// column is local column 8.
TEST(OutputSampling, FirstOwnedColumnOfLaterGpuIsLocalColumnEight)
{
    const gpu_window g{40, 32, 48, 64};
    expect_samples(g, {
                          {48, 10, next_level(g, 8, 10)},
                          {63, 9, next_level(g, 23, 9)},
                          {47, 10, -1}, // outside the owned columns
                          {64, 10, -1},
                      });
}

// Triples whose local column falls outside the window give +0.0 even with x
// inside the owned range.
TEST(OutputSampling, LocalColumnOutsideWindowGivesZero)
{
    const gpu_window g{40, 32, 48, 64};
    const std::vector<int> desc = {-9, 10, 50, 24, 10, 50, 23, 10, 50};
    int* d_desc = upload(desc);
    int* out_index = nullptr;
    float* out_values = nullptr;
    cudaMalloc(reinterpret_cast<void**>(&out_index), 3 * sizeof(int));
    cudaMalloc(reinterpret_cast<void**>(&out_values), 3 * sizeof(float));
    float* p = upload(pressure(g.local_nx, 0));
    ASSERT_EQ(LAUNCH_KERNEL(compute_genout_frame_multi, dim3(1), block_16, nullptr, out_index, out_values, p, d_desc,
                            3, g.local_nx, nY, g.output_start, g.output_end, margin, 8),
              cudaSuccess);
    cudaDeviceSynchronize();
    std::vector<int> index = download(out_index, 3);
    std::vector<float> values = download(out_values, 3);
    EXPECT_EQ(index[0], -1); // r = -1
    EXPECT_EQ(index[1], -1); // r = L
    EXPECT_EQ(float_bits(values[0]), 0u);
    EXPECT_EQ(float_bits(values[1]), 0u);
    EXPECT_EQ(index[2], next_level(g, 31, 10));
    cudaFree(d_desc);
    cudaFree(out_index);
    cudaFree(out_values);
    cudaFree(p);
}

// 16 and 17 points, in one and two blocks of 16. The arrays hold 32 valid
// points; entries past out_count keep their contents through both kernels.
TEST(OutputSampling, ThreadsPastTheCountWriteNothing)
{
    const gpu_window g{0, 40, 0, 40};
    const int capacity = 32;
    std::vector<int> desc;
    for (int i = 0; i < capacity; ++i) {
        desc.push_back(i);
        desc.push_back(margin + 1);
        desc.push_back(i);
    }
    const std::vector<int> index_fill(capacity, 77);
    const std::vector<float> values_fill(capacity, -3.0f);
    for (int n : {16, 17}) {
        SCOPED_TRACE(n);
        int* d_desc = upload(desc);
        int* out_index = upload(index_fill);
        float* out_values = upload(values_fill);
        float* p = upload(pressure(g.local_nx, 0));
        dim3 grid(static_cast<unsigned>((n + 15) / 16));
        ASSERT_EQ(LAUNCH_KERNEL(compute_genout_frame_multi, grid, block_16, nullptr, out_index, out_values, p, d_desc,
                                n, g.local_nx, nY, 0, g.output_end, margin, 0),
                  cudaSuccess);
        cudaDeviceSynchronize();
        std::vector<int> index = download(out_index, capacity);
        std::vector<float> values = download(out_values, capacity);
        for (int i = n; i < capacity; ++i) {
            EXPECT_EQ(index[i], 77) << i;
            EXPECT_EQ(values[i], -3.0f) << i;
        }
        // For extract, every entry past n holds a usable index as well.
        cudaMemcpy(out_index + n, std::vector<int>(capacity - n, 5).data(), (capacity - n) * sizeof(int),
                   cudaMemcpyHostToDevice);
        ASSERT_EQ(LAUNCH_KERNEL(extract_pressure_values, grid, block_16, nullptr, out_index, out_values, p, n),
                  cudaSuccess);
        cudaDeviceSynchronize();
        index = download(out_index, capacity);
        values = download(out_values, capacity);
        std::vector<float> field = pressure(g.local_nx, 0);
        for (int i = 0; i < capacity; ++i) {
            if (i < n) {
                EXPECT_EQ(index[i], next_level(g, i, margin + 1)) << i;
                EXPECT_EQ(values[i], field[static_cast<size_t>(index[i])]) << i;
            } else {
                EXPECT_EQ(index[i], 5) << i;
                EXPECT_EQ(values[i], -3.0f) << i;
            }
        }
        cudaFree(d_desc);
        cudaFree(out_index);
        cudaFree(out_values);
        cudaFree(p);
    }
}
