#include "source_kernels.cuh"
#include "device_buffers.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

namespace {

// Everything one launch needs; the series holds nTic samples per source and
// the slice the samples of step t.
struct launch_inputs {
    float* field;
    const int* coords;
    const float* signal;
    const float* slice;
    int n, t, nY, nTic, x_lo, x_hi, x_offset, local_nx;
    unsigned blocks;
};

enum class effect { write, add, zero };

struct kernel_case {
    const char* name;
    effect what;
    float one_and_a_half_with_two_and_a_quarter;
    std::function<cudaError_t(const launch_inputs&)> launch;
};

const dim3 block_256(256);

std::vector<kernel_case> kernels()
{
    return {
        {"inject_source", effect::write, 2.25f,
         [](const launch_inputs& a) {
             return LAUNCH_KERNEL(inject_source, dim3(a.blocks), block_256, nullptr, a.field, a.coords, a.signal, a.n,
                                  a.t, a.nY, a.nTic, a.x_lo, a.x_hi, a.x_offset, a.local_nx, 8);
         }},
        {"inject_source_additive", effect::add, 3.75f,
         [](const launch_inputs& a) {
             return LAUNCH_KERNEL(inject_source_additive, dim3(a.blocks), block_256, nullptr, a.field, a.coords,
                                  a.signal, a.n, a.t, a.nY, a.nTic, a.x_lo, a.x_hi, a.x_offset, a.local_nx, 8);
         }},
        {"inject_source_slice", effect::write, 2.25f,
         [](const launch_inputs& a) {
             return LAUNCH_KERNEL(inject_source_slice, dim3(a.blocks), block_256, nullptr, a.field, a.coords, a.slice,
                                  a.n, a.nY, a.x_lo, a.x_hi, a.x_offset, a.local_nx, 8);
         }},
        {"inject_source_additive_slice", effect::add, 3.75f,
         [](const launch_inputs& a) {
             return LAUNCH_KERNEL(inject_source_additive_slice, dim3(a.blocks), block_256, nullptr, a.field,
                                  a.coords, a.slice, a.n, a.nY, a.x_lo, a.x_hi, a.x_offset, a.local_nx, 8);
         }},
        {"inject_source_zero", effect::zero, 0.0f,
         [](const launch_inputs& a) {
             return LAUNCH_KERNEL(inject_source_zero, dim3(a.blocks), block_256, nullptr, a.field, a.coords, a.n,
                                  a.nY, a.x_lo, a.x_hi, a.x_offset, a.local_nx);
         }},
    };
}

float expected_value(effect what, float before, float sample)
{
    switch (what) {
    case effect::write: return sample;
    case effect::add: return sample + before;
    case effect::zero: return 0.0f;
    }
    return before;
}

// GPU window [10, 18) of a 6-row grid; the launch region is [12, 15).
constexpr int x_offset = 10, local_nx = 8, nY = 6, nTic = 3, t = 1;
constexpr int x_lo = 12, x_hi = 15;

} // namespace

// Points at x_lo - 1, x_lo, x_hi - 1 and x_hi, a ghost column and the first
// column past the window: only the two inside the region change, by the
// kernel's effect with the sample of step t (1.5 with 2.25 at x_lo).
TEST(SourceKernels, EffectAtPointsInsideRegionOnly)
{
    struct point {
        int x, y;
        float sample; // series value of this source at step t
        bool acted;
    };
    const std::vector<point> points = {
        {x_lo - 1, 3, 9.0f, false}, {x_lo, 2, 2.25f, true}, {x_hi - 1, 5, 0.5f, true},
        {x_hi, 0, 7.0f, false},     {x_offset, 1, 6.0f, false}, {x_offset + local_nx, 4, 8.0f, false},
    };
    const int n = static_cast<int>(points.size());
    std::vector<int> coords;
    std::vector<float> signal(static_cast<size_t>(n * nTic)), slice;
    for (int i = 0; i < n; ++i) {
        coords.push_back(points[i].x);
        coords.push_back(points[i].y);
        for (int s = 0; s < nTic; ++s)
            signal[static_cast<size_t>(i * nTic + s)] = s == t ? points[i].sample : -100.0f - static_cast<float>(i);
        slice.push_back(points[i].sample);
    }
    const std::vector<float> initial(2 * local_nx * nY, 1.5f);

    for (const kernel_case& k : kernels()) {
        SCOPED_TRACE(k.name);
        float* field = upload(initial);
        int* d_coords = upload(coords);
        float* d_signal = upload(signal);
        float* d_slice = upload(slice);
        launch_inputs in{field, d_coords, d_signal, d_slice, n, t, nY, nTic, x_lo, x_hi, x_offset, local_nx, 1};
        ASSERT_EQ(k.launch(in), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);

        std::vector<float> want = initial;
        for (const point& p : points)
            if (p.acted) {
                size_t at = static_cast<size_t>((p.x - x_offset) * nY + p.y);
                want[at] = expected_value(k.what, want[at], p.sample);
            }
        std::vector<float> got = download(field, want.size());
        for (size_t e = 0; e < want.size(); ++e)
            EXPECT_EQ(float_bits(got[e]), float_bits(want[e])) << "element " << e;
        EXPECT_EQ(float_bits(got[(x_lo - x_offset) * nY + 2]), float_bits(k.one_and_a_half_with_two_and_a_quarter));
        cudaFree(field);
        cudaFree(d_coords);
        cudaFree(d_signal);
        cudaFree(d_slice);
    }
}

TEST(SourceKernels, ZeroStoresPositiveZeroOverNegativeZeroAndNaN)
{
    std::vector<float> initial(2 * local_nx * nY, 1.0f);
    initial[(x_lo - x_offset) * nY + 0] = -0.0f;
    initial[(x_lo - x_offset) * nY + 1] = std::numeric_limits<float>::quiet_NaN();
    initial[(x_lo - x_offset) * nY + 2] = -std::numeric_limits<float>::infinity();
    float* field = upload(initial);
    int* coords = upload(std::vector<int>{x_lo, 0, x_lo, 1, x_lo, 2});
    ASSERT_EQ(LAUNCH_KERNEL(inject_source_zero, dim3(1), block_256, nullptr, field, coords, 3, nY, x_lo, x_hi,
                            x_offset, local_nx),
              cudaSuccess);
    cudaDeviceSynchronize();
    std::vector<float> got = download(field, initial.size());
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(float_bits(got[(x_lo - x_offset) * nY + y]), 0u) << y;
    cudaFree(field);
    cudaFree(coords);
}

// Lists of 256 and 257 points in one and two blocks of 256. The arrays hold 512
// valid points, so a thread past n that did not return would change the field.
TEST(SourceKernels, ThreadsPastTheListWriteNothing)
{
    const int capacity = 512, wide_nY = 16, wide_nx = 64; // every point its own cell of the current level
    std::vector<int> coords;
    std::vector<float> signal, slice;
    for (int i = 0; i < capacity; ++i) {
        coords.push_back(i / wide_nY);
        coords.push_back(i % wide_nY);
        signal.push_back(static_cast<float>(i + 1));
        slice.push_back(static_cast<float>(i + 1));
    }
    const std::vector<float> initial(2 * wide_nx * wide_nY, 0.5f);
    for (int n : {256, 257}) {
        for (const kernel_case& k : kernels()) {
            SCOPED_TRACE(std::string(k.name) + " n=" + std::to_string(n));
            float* field = upload(initial);
            int* d_coords = upload(coords);
            float* d_signal = upload(signal);
            float* d_slice = upload(slice);
            unsigned blocks = static_cast<unsigned>((n + 255) / 256);
            launch_inputs in{field, d_coords, d_signal, d_slice, n, 0, wide_nY, 1, 0, wide_nx, 0, wide_nx, blocks};
            ASSERT_EQ(k.launch(in), cudaSuccess);
            cudaDeviceSynchronize();
            std::vector<float> got = download(field, initial.size());
            int changed = 0;
            for (int i = 0; i < capacity; ++i) {
                bool want_changed = i < n;
                float want = want_changed ? expected_value(k.what, 0.5f, static_cast<float>(i + 1)) : 0.5f;
                if (float_bits(got[i]) != float_bits(0.5f))
                    ++changed;
                EXPECT_EQ(float_bits(got[i]), float_bits(want)) << "point " << i;
            }
            EXPECT_EQ(changed, n);
            cudaFree(field);
            cudaFree(d_coords);
            cudaFree(d_signal);
            cudaFree(d_slice);
        }
    }
}

// With several steps in the series, the sample of source i at step t is
// i * nTic + t, for each step t.
TEST(SourceKernels, SeriesIndexIsSourceMajor)
{
    const int n = 3, steps = 4;
    std::vector<int> coords = {x_lo, 0, x_lo, 1, x_lo + 1, 2};
    std::vector<float> signal;
    for (int i = 0; i < n; ++i)
        for (int s = 0; s < steps; ++s)
            signal.push_back(static_cast<float>(10 * i + s));
    int* d_coords = upload(coords);
    float* d_signal = upload(signal);
    for (int step = 0; step < steps; ++step) {
        for (bool additive : {false, true}) {
            SCOPED_TRACE("step " + std::to_string(step) + (additive ? " additive" : ""));
            float* field = upload(std::vector<float>(2 * local_nx * nY, 0.0f));
            cudaError_t e = additive ? LAUNCH_KERNEL(inject_source_additive, dim3(1), block_256, nullptr, field,
                                                     d_coords, d_signal, n, step, nY, steps, x_lo, x_hi, x_offset,
                                                     local_nx, 8)
                                     : LAUNCH_KERNEL(inject_source, dim3(1), block_256, nullptr, field, d_coords,
                                                     d_signal, n, step, nY, steps, x_lo, x_hi, x_offset, local_nx, 8);
            ASSERT_EQ(e, cudaSuccess);
            cudaDeviceSynchronize();
            std::vector<float> got = download(field, 2 * local_nx * nY);
            for (int i = 0; i < n; ++i)
                EXPECT_EQ(got[(coords[2 * i] - x_offset) * nY + coords[2 * i + 1]], static_cast<float>(10 * i + step))
                    << "source " << i;
            cudaFree(field);
        }
    }
    cudaFree(d_coords);
    cudaFree(d_signal);
}
