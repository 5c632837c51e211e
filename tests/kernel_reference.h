// Scalar evaluation of the four update kernels, written point by point from
// the formulas, plus a small window of fields and maps and device helpers.
// `variant` selects a deliberately different rounding or order, used to show
// that the exact evaluation is what the tests pin down.
#pragma once

#include "platform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace kernel_reference {

constexpr int halo = 8;
constexpr float sentinel = -8191.75f;

enum class variant {
    exact,
    descending_pairs,       // pairs summed from k = 7 down to 0
    rounded_pair_products,  // each weight times difference rounded before adding
    split_transverse,       // (P - Q) + (P' - Q') instead of ((P - Q) + P') - Q'
    rounded_update_product, // u - G b and p - s f with the product rounded
    rounded_decay_product,  // psi bpml rounded before the feed is added
    fused_feed_product,     // apml d fused, psi bpml rounded
    stretched_term_last,    // psi1 + (G / kappa + psi2)
    memory_variables_first, // (D_y/k + D_x/k) + (((psi_1 + psi_2) + psi_3) + psi_4)
    single_division,        // S / (dX kappa) instead of (S / dX) / kappa
};

// One GPU window: maps of L*nY values, two-level fields of 2*L*nY values.
struct window {
    int L = 0;
    int nY = 0;
    int ndmap = 1;
    float dX = 1.0f;
    float dT = 1.0f;
    std::vector<float> dmap;
    std::vector<int> dcmap;
    std::vector<float> rho, K, beta, a_exp, kappa, apml1, bpml1, apml2, bpml2;
    std::vector<float> p, u, w, psi_x1, psi_y1, psi_x2, psi_y2;
};

inline window random_window(unsigned seed, int L, int nY, int ndmap)
{
    std::mt19937 gen(seed);
    auto fill = [&](std::vector<float>& v, int n, float lo, float hi) {
        std::uniform_real_distribution<float> dist(lo, hi);
        v.resize(n);
        for (float& x : v)
            x = dist(gen);
    };
    window win;
    win.L = L;
    win.nY = nY;
    win.ndmap = ndmap;
    win.dX = 0.3f;
    win.dT = 0.07f;
    fill(win.dmap, 18 * ndmap, -1.5f, 1.5f);
    std::uniform_int_distribution<int> set(0, ndmap - 1);
    win.dcmap.resize(L * nY);
    for (int& m : win.dcmap)
        m = set(gen);
    const int n = L * nY;
    fill(win.rho, n, 0.5f, 2.0f);
    fill(win.K, n, 0.5f, 3.0f);
    fill(win.beta, n, 0.0f, 1.0f);
    fill(win.a_exp, n, 0.9f, 1.0f);
    fill(win.kappa, n, 1.0f, 3.0f);
    fill(win.apml1, n, -1.0f, 1.0f);
    fill(win.bpml1, n, 0.0f, 1.0f);
    fill(win.apml2, n, -1.0f, 1.0f);
    fill(win.bpml2, n, 0.0f, 1.0f);
    for (std::vector<float>* f : {&win.p, &win.u, &win.w, &win.psi_x1, &win.psi_y1, &win.psi_x2, &win.psi_y2})
        fill(*f, 2 * n, -1.0f, 1.0f);
    return win;
}

inline void fill_next(std::vector<float>& field, const window& win, float value)
{
    for (int i = win.L * win.nY; i < 2 * win.L * win.nY; ++i)
        field[i] = value;
}

// ---- scalar formulas -------------------------------------------------------

struct sums {
    float x, y;
};

inline float weight(const window& win, int entry, int m) { return win.dmap[entry * win.ndmap + m]; }

inline float accumulate(float c, float d, float s, variant v)
{
    return v == variant::rounded_pair_products ? s + c * d : std::fmaf(c, d, s);
}

inline float transverse(float p, float q, float p2, float q2, variant v)
{
    return v == variant::split_transverse ? (p - q) + (p2 - q2) : ((p - q) + p2) - q2;
}

// Undivided sums of the pressure gradient at local column r, row y.
inline sums forward_sums(const window& win, int r, int y, variant v)
{
    auto F = [&](int x, int yy) { return win.p[x * win.nY + yy]; };
    const int m = win.dcmap[r * win.nY + y];
    float sx = 0.0f, sy = 0.0f;
    for (int i = 0; i < halo; ++i) {
        const int k = v == variant::descending_pairs ? halo - 1 - i : i;
        const float c = weight(win, 2 * k + 2, m);
        sx = accumulate(c, F(r + k + 1, y) - F(r - k, y), sx, v);
        sy = accumulate(c, F(r, y + k + 1) - F(r, y - k), sy, v);
    }
    const float cx = weight(win, 3, m);
    sx = accumulate(cx, transverse(F(r + 1, y + 1), F(r, y + 1), F(r + 1, y - 1), F(r, y - 1), v), sx, v);
    sy = accumulate(cx, transverse(F(r + 1, y + 1), F(r + 1, y), F(r - 1, y + 1), F(r - 1, y), v), sy, v);
    return {sx, sy};
}

// Undivided sums of du/dx and dw/dy, velocities at the next level.
inline sums backward_sums(const window& win, int r, int y, variant v)
{
    const int R = r + win.L;
    auto A = [&](int x, int yy) { return win.u[x * win.nY + yy]; };
    auto B = [&](int x, int yy) { return win.w[x * win.nY + yy]; };
    const int m = win.dcmap[r * win.nY + y];
    float sx = 0.0f, sy = 0.0f;
    for (int i = 0; i < halo; ++i) {
        const int k = v == variant::descending_pairs ? halo - 1 - i : i;
        const float c = weight(win, 2 * k + 2, m);
        sx = accumulate(c, A(R + k, y) - A(R - k - 1, y), sx, v);
        sy = accumulate(c, B(R, y + k) - B(R, y - k - 1), sy, v);
    }
    const float cx = weight(win, 3, m);
    sx = accumulate(cx, transverse(A(R, y + 1), A(R - 1, y + 1), A(R, y - 1), A(R - 1, y - 1), v), sx, v);
    sy = accumulate(cx, transverse(B(R + 1, y), B(R + 1, y - 1), B(R - 1, y), B(R - 1, y - 1), v), sy, v);
    return {sx, sy};
}

// old - a b, fused unless the variant rounds the product.
inline float update(float old, float a, float b, variant v)
{
    return v == variant::rounded_update_product ? old - a * b : std::fmaf(-a, b, old);
}

inline float feed(float psi, float bpml, float apml, float d, variant v)
{
    if (v == variant::rounded_decay_product)
        return psi * bpml + apml * d;
    if (v == variant::fused_feed_product)
        return std::fmaf(apml, d, psi * bpml);
    return std::fmaf(psi, bpml, apml * d);
}

inline float stretched(float sum, float dX, float kappa, variant v)
{
    return v == variant::single_division ? sum / (dX * kappa) : (sum / dX) / kappa;
}

inline float b_factor(const window& win, int i)
{
    const float one_plus = std::fmaf(1.0f / win.K[i], win.p[i], 1.0f);
    return (win.dT / win.rho[i]) / one_plus;
}

// The columns [offset, offset + width) of the window, all rows a kernel updates.
struct region {
    int offset;
    int width;
};

template <typename Point>
void for_each_point(const window& win, region rg, Point point)
{
    for (int r = rg.offset; r < rg.offset + rg.width; ++r)
        for (int y = halo; y < win.nY - halo; ++y)
            point(r, y, r * win.nY + y, (r + win.L) * win.nY + y);
}

inline void exponential_fd_u(window& win, region rg, variant v = variant::exact)
{
    for_each_point(win, rg, [&](int r, int y, int i, int n) {
        const sums s = forward_sums(win, r, y, v);
        const float b = b_factor(win, i);
        win.u[n] = win.a_exp[i] * update(win.u[i], s.x / win.dX, b, v);
        win.w[n] = win.a_exp[i] * update(win.w[i], s.y / win.dX, b, v);
    });
}

inline void exponential_fd_p(window& win, region rg, variant v = variant::exact)
{
    for_each_point(win, rg, [&](int r, int y, int i, int n) {
        const sums d = backward_sums(win, r, y, v);
        const float div = d.x / win.dX + d.y / win.dX;
        const float s = (win.K[i] * win.dT) * div;
        const float q = (1.0f / win.K[i]) * (1.0f - (win.beta[i] + win.beta[i]));
        const float f = std::fmaf(win.p[i], q, 1.0f);
        win.p[n] = win.a_exp[i] * update(win.p[i], s, f, v);
    });
}

inline void relaxation_fd_u(window& win, region rg, variant v = variant::exact)
{
    for_each_point(win, rg, [&](int r, int y, int i, int n) {
        const sums s = forward_sums(win, r, y, v);
        const float gx = s.x / win.dX;
        const float gy = s.y / win.dX;
        const float x1 = win.psi_x1[n] = feed(win.psi_x1[i], win.bpml1[i], win.apml1[i], gx, v);
        const float x2 = win.psi_x2[n] = feed(win.psi_x2[i], win.bpml2[i], win.apml2[i], gx, v);
        const float y1 = win.psi_y1[n] = feed(win.psi_y1[i], win.bpml1[i], win.apml1[i], gy, v);
        const float y2 = win.psi_y2[n] = feed(win.psi_y2[i], win.bpml2[i], win.apml2[i], gy, v);
        const float tx = stretched(s.x, win.dX, win.kappa[i], v);
        const float ty = stretched(s.y, win.dX, win.kappa[i], v);
        const bool last = v == variant::stretched_term_last;
        const float sum_x = last ? x1 + (tx + x2) : (x1 + tx) + x2;
        const float sum_y = last ? y1 + (ty + y2) : (y1 + ty) + y2;
        const float b = b_factor(win, i);
        win.u[n] = update(win.u[i], sum_x, b, v);
        win.w[n] = update(win.w[i], sum_y, b, v);
    });
}

inline void relaxation_fd_p(window& win, region rg, variant v = variant::exact)
{
    for_each_point(win, rg, [&](int r, int y, int i, int n) {
        const sums d = backward_sums(win, r, y, v);
        const float dx = d.x / win.dX;
        const float dy = d.y / win.dX;
        const float ux1 = win.psi_x1[n] = feed(win.psi_x1[i], win.bpml1[i], win.apml1[i], dx, v);
        const float ux2 = win.psi_x2[n] = feed(win.psi_x2[i], win.bpml2[i], win.apml2[i], dx, v);
        const float wy1 = win.psi_y1[n] = feed(win.psi_y1[i], win.bpml1[i], win.apml1[i], dy, v);
        const float wy2 = win.psi_y2[n] = feed(win.psi_y2[i], win.bpml2[i], win.apml2[i], dy, v);
        const float stretched_sum = stretched(d.y, win.dX, win.kappa[i], v) + stretched(d.x, win.dX, win.kappa[i], v);
        const float s = v == variant::memory_variables_first
                            ? stretched_sum + (((ux1 + ux2) + wy1) + wy2)
                            : (((stretched_sum + ux1) + ux2) + wy1) + wy2;
        const float q = (1.0f - (win.beta[i] + win.beta[i])) * (1.0f / win.K[i]);
        const float f = std::fmaf(q, win.p[i], 1.0f);
        win.p[n] = update(win.p[i], s * (win.K[i] * win.dT), f, v);
    });
}

// ---- comparisons -----------------------------------------------------------

inline uint32_t bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// Bit-for-bit equality of two two-level fields; names the first mismatch.
inline ::testing::AssertionResult same_bits(const char* name, const std::vector<float>& got,
                                            const std::vector<float>& want, int nY)
{
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << name << ": size " << got.size() << " vs " << want.size();
    int mismatches = 0;
    size_t first = 0;
    for (size_t i = 0; i < got.size(); ++i)
        if (bits(got[i]) != bits(want[i]) && mismatches++ == 0)
            first = i;
    if (mismatches == 0)
        return ::testing::AssertionSuccess();
    char text[160];
    std::snprintf(text, sizeof text, "%s: %d mismatches, first at x=%d y=%d: got %a want %a", name, mismatches,
                  static_cast<int>(first) / nY, static_cast<int>(first) % nY, got[first], want[first]);
    return ::testing::AssertionFailure() << text;
}

inline bool any_difference(const std::vector<float>& a, const std::vector<float>& b)
{
    for (size_t i = 0; i < a.size(); ++i)
        if (bits(a[i]) != bits(b[i]))
            return true;
    return false;
}

// True when exactly the next-level points in columns [x_lo, x_hi) and rows
// [y_lo, y_hi) differ between `before` and `after`.
inline ::testing::AssertionResult only_rectangle_changed(const std::vector<float>& before,
                                                         const std::vector<float>& after, const window& win, int x_lo,
                                                         int x_hi, int y_lo, int y_hi)
{
    for (int x = 0; x < 2 * win.L; ++x)
        for (int y = 0; y < win.nY; ++y) {
            const int i = x * win.nY + y;
            const bool inside = x >= win.L + x_lo && x < win.L + x_hi && y >= y_lo && y < y_hi;
            const bool changed = bits(before[i]) != bits(after[i]);
            if (changed != inside)
                return ::testing::AssertionFailure()
                       << "level " << (x < win.L ? "current" : "next") << " x=" << x % win.L << " y=" << y
                       << (changed ? " changed" : " unchanged");
        }
    return ::testing::AssertionSuccess();
}

// ---- device side -----------------------------------------------------------

struct device_blocks {
    std::vector<void*> blocks;
};

template <typename T>
T* to_device(device_blocks& mem, const std::vector<T>& host)
{
    void* ptr = nullptr;
    cudaMalloc(&ptr, host.size() * sizeof(T));
    cudaMemcpy(ptr, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice);
    mem.blocks.push_back(ptr);
    return static_cast<T*>(ptr);
}

template <typename T>
void to_host(std::vector<T>& host, const T* device)
{
    cudaMemcpy(host.data(), device, host.size() * sizeof(T), cudaMemcpyDeviceToHost);
}

inline void release(device_blocks& mem)
{
    for (void* ptr : mem.blocks)
        cudaFree(ptr);
    mem.blocks.clear();
}

// A launch over one region of a GPU window whose first global column is
// gpu_start; the grid covers grid_columns columns (16 x 16 blocks).
struct launch_region {
    int gpu_start;
    region cols;
    int grid_columns;
};

inline dim3 launch_grid(const launch_region& lr, int nY) { return dim3((lr.grid_columns + 15) / 16, (nY + 15) / 16); }

} // namespace kernel_reference
