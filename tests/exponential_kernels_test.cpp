// fd_u and fd_p with exponential attenuation, bit for bit against a scalar
// evaluation of the update formulas.
#include "exponential_kernels.cuh"
#include "kernel_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

namespace {

using namespace kernel_reference;

constexpr int window_nx = 32;
constexpr int window_ny = 24;

void run_fd_u(window& win, const launch_region& lr)
{
    device_blocks mem;
    const float* rho = to_device(mem, win.rho);
    const float* K = to_device(mem, win.K);
    const float* dmap = to_device(mem, win.dmap);
    const int* dcmap = to_device(mem, win.dcmap);
    const float* a_exp = to_device(mem, win.a_exp);
    const float* p = to_device(mem, win.p);
    float* u = to_device(mem, win.u);
    float* w = to_device(mem, win.w);
    const int start = lr.gpu_start + lr.cols.offset;
    ASSERT_EQ(cudaSuccess, LAUNCH_KERNEL(exponential_attenuation::fd_u, launch_grid(lr, win.nY), dim3(16, 16),
                                         nullptr, rho, K, dmap, dcmap, a_exp, p, u, w, halo, win.L, -1, win.nY,
                                         win.dX, win.dT, win.ndmap, start, start + lr.cols.width, lr.cols.offset));
    cudaDeviceSynchronize();
    to_host(win.u, u);
    to_host(win.w, w);
    release(mem);
}

void run_fd_p(window& win, const launch_region& lr)
{
    device_blocks mem;
    const float* K = to_device(mem, win.K);
    const float* beta = to_device(mem, win.beta);
    const float* dmap = to_device(mem, win.dmap);
    const int* dcmap = to_device(mem, win.dcmap);
    const float* a_exp = to_device(mem, win.a_exp);
    float* p = to_device(mem, win.p);
    const float* u = to_device(mem, win.u);
    const float* w = to_device(mem, win.w);
    const int start = lr.gpu_start + lr.cols.offset;
    ASSERT_EQ(cudaSuccess, LAUNCH_KERNEL(exponential_attenuation::fd_p, launch_grid(lr, win.nY), dim3(16, 16),
                                         nullptr, K, beta, dmap, dcmap, a_exp, p, u, w, halo, win.L, -1, win.nY,
                                         win.dX, win.dT, win.ndmap, start, start + lr.cols.width, lr.cols.offset));
    cudaDeviceSynchronize();
    to_host(win.p, p);
    release(mem);
}

// The outputs of each kernel start the launch with a sentinel next level.
window prepared_for_u(window win)
{
    fill_next(win.u, win, sentinel);
    fill_next(win.w, win, sentinel);
    return win;
}

window prepared_for_p(window win)
{
    fill_next(win.p, win, sentinel);
    return win;
}

const launch_region body_launch{0, {8, 16}, 16};

struct window_case {
    const char* name;
    unsigned seed;
    int ndmap;
    launch_region launch;
};

const window_case window_cases[] = {
    {"body, one set", 11, 1, {0, {8, 16}, 16}},
    {"body, three sets, offset gpu", 12, 3, {40, {8, 16}, 16}},
    {"left halo, grid twice as wide", 13, 4, {96, {8, 8}, 16}},
    {"right halo, grid twice as wide", 14, 2, {96, {16, 8}, 16}},
    {"body, narrow grid blocks beyond region", 15, 5, {7, {9, 13}, 32}},
};

TEST(ExponentialKernels, MatchScalarEvaluationAndTouchOnlyTheRegion)
{
    for (const window_case& c : window_cases) {
        SCOPED_TRACE(c.name);
        const window base = random_window(c.seed, window_nx, window_ny, c.ndmap);
        const int x_lo = c.launch.cols.offset;
        const int x_hi = x_lo + c.launch.cols.width;

        const window before_u = prepared_for_u(base);
        window got = before_u, want = before_u;
        run_fd_u(got, c.launch);
        exponential_fd_u(want, c.launch.cols);
        EXPECT_TRUE(same_bits("u", got.u, want.u, base.nY));
        EXPECT_TRUE(same_bits("w", got.w, want.w, base.nY));
        EXPECT_TRUE(only_rectangle_changed(before_u.u, got.u, base, x_lo, x_hi, halo, base.nY - halo));
        EXPECT_TRUE(only_rectangle_changed(before_u.w, got.w, base, x_lo, x_hi, halo, base.nY - halo));

        const window before_p = prepared_for_p(base);
        got = before_p;
        want = before_p;
        run_fd_p(got, c.launch);
        exponential_fd_p(want, c.launch.cols);
        EXPECT_TRUE(same_bits("p", got.p, want.p, base.nY));
        EXPECT_TRUE(only_rectangle_changed(before_p.p, got.p, base, x_lo, x_hi, halo, base.nY - halo));
    }
}

TEST(ExponentialKernels, UpdateOnlyRowsInsideTheYMargins)
{
    struct rows_case {
        int nY, first, end;
    };
    for (const rows_case c : {rows_case{20, 8, 12}, rows_case{17, 8, 9}, rows_case{16, 8, 8}}) {
        SCOPED_TRACE("nY = " + std::to_string(c.nY));
        const window base = random_window(21, window_nx, c.nY, 2);
        const window before_u = prepared_for_u(base);
        window got = before_u;
        run_fd_u(got, body_launch);
        EXPECT_TRUE(only_rectangle_changed(before_u.u, got.u, base, 8, 24, c.first, c.end));
        EXPECT_TRUE(only_rectangle_changed(before_u.w, got.w, base, 8, 24, c.first, c.end));

        const window before_p = prepared_for_p(base);
        got = before_p;
        run_fd_p(got, body_launch);
        EXPECT_TRUE(only_rectangle_changed(before_p.p, got.p, base, 8, 24, c.first, c.end));
    }
}

// Each alternative evaluation changes the last bits for some input; the search
// over seeded windows is deterministic. On that input the kernel still agrees
// with the exact evaluation.
TEST(ExponentialKernels, AlternativeRoundingsGiveOtherBits)
{
    struct alternative {
        const char* name;
        bool pressure;
        variant v;
    };
    const alternative alternatives[] = {
        {"fd_u, rounded product in u - G b", false, variant::rounded_update_product},
        {"fd_u, pairs in descending order", false, variant::descending_pairs},
        {"fd_u, rounded pair products", false, variant::rounded_pair_products},
        {"fd_u, transverse as two differences", false, variant::split_transverse},
        {"fd_p, rounded product in p - s f", true, variant::rounded_update_product},
        {"fd_p, pairs in descending order", true, variant::descending_pairs},
        {"fd_p, rounded pair products", true, variant::rounded_pair_products},
        {"fd_p, transverse as two differences", true, variant::split_transverse},
    };
    for (const alternative& a : alternatives) {
        SCOPED_TRACE(a.name);
        bool found = false;
        for (unsigned seed = 100; seed < 140 && !found; ++seed) {
            const window base = random_window(seed, window_nx, window_ny, 3);
            window exact = a.pressure ? prepared_for_p(base) : prepared_for_u(base);
            window other = exact, got = exact;
            if (a.pressure) {
                exponential_fd_p(exact, body_launch.cols);
                exponential_fd_p(other, body_launch.cols, a.v);
                found = any_difference(exact.p, other.p);
            } else {
                exponential_fd_u(exact, body_launch.cols);
                exponential_fd_u(other, body_launch.cols, a.v);
                found = any_difference(exact.u, other.u) || any_difference(exact.w, other.w);
            }
            if (!found)
                continue;
            if (a.pressure) {
                run_fd_p(got, body_launch);
                EXPECT_TRUE(same_bits("p", got.p, exact.p, base.nY));
            } else {
                run_fd_u(got, body_launch);
                EXPECT_TRUE(same_bits("u", got.u, exact.u, base.nY));
                EXPECT_TRUE(same_bits("w", got.w, exact.w, base.nY));
            }
        }
        EXPECT_TRUE(found) << "no input separates the alternative";
    }
}

// Special inputs where the update reduces to a simpler expression, checked at
// every updated point. `setup` changes the window; `expect` gives the stored
// value from the window as launched.
struct special_case {
    const char* name;
    std::function<void(window&)> setup;
    std::function<float(const window&, int r, int y, int i)> expect;
};

constexpr float unchecked = NAN;

// Exact bits, except that a zero of either sign matches a zero.
void expect_point(float want, float got, int r, int y)
{
    if (std::isnan(want))
        return;
    if (want == 0.0f)
        EXPECT_EQ(0.0f, got) << "x=" << r << " y=" << y;
    else
        EXPECT_EQ(bits(want), bits(got)) << "x=" << r << " y=" << y << " want " << want << " got " << got;
}

float gradient_x(const window& win, int r, int y) { return forward_sums(win, r, y, variant::exact).x / win.dX; }

float divergence(const window& win, int r, int y)
{
    const sums d = backward_sums(win, r, y, variant::exact);
    return d.x / win.dX + d.y / win.dX;
}

TEST(ExponentialKernels, VelocityUpdateSpecialInputs)
{
    const special_case cases[] = {
        {"uniform pressure leaves a_exp u", [](window& w) { std::fill(w.p.begin(), w.p.end(), 0.625f); },
         [](const window& w, int, int, int i) { return w.a_exp[i] * w.u[i]; }},
        {"a_exp 1 stores the fused update",
         [](window& w) { std::fill(w.a_exp.begin(), w.a_exp.end(), 1.0f); },
         [](const window& w, int r, int y, int i) {
             const float b = (w.dT / w.rho[i]) / std::fmaf(1.0f / w.K[i], w.p[i], 1.0f);
             return std::fmaf(-gradient_x(w, r, y), b, w.u[i]);
         }},
        {"a_exp 0 stores zero", [](window& w) { std::fill(w.a_exp.begin(), w.a_exp.end(), 0.0f); },
         [](const window&, int, int, int) { return 0.0f; }},
        {"p 0 makes b = dT / rho",
         [](window& w) {
             for (int i = 0; i < w.L * w.nY; ++i)
                 w.p[i] = (i % w.nY) % 3 == 0 ? 0.0f : w.p[i];
         },
         [](const window& w, int r, int y, int i) {
             return w.p[i] == 0.0f ? w.a_exp[i] * std::fmaf(-gradient_x(w, r, y), w.dT / w.rho[i], w.u[i]) : unchecked;
         }},
    };
    for (const special_case& c : cases) {
        SCOPED_TRACE(c.name);
        window win = prepared_for_u(random_window(31, window_nx, window_ny, 3));
        c.setup(win);
        window got = win;
        run_fd_u(got, body_launch);
        for_each_point(win, body_launch.cols, [&](int r, int y, int i, int n) {
            expect_point(c.expect(win, r, y, i), got.u[n], r, y);
        });
    }
}

TEST(ExponentialKernels, PressureUpdateSpecialInputs)
{
    auto s_of = [](const window& w, int r, int y, int i) { return (w.K[i] * w.dT) * divergence(w, r, y); };
    const special_case cases[] = {
        {"beta 0.5 gives f = 1", [](window& w) { std::fill(w.beta.begin(), w.beta.end(), 0.5f); },
         [&](const window& w, int r, int y, int i) { return w.a_exp[i] * (w.p[i] - s_of(w, r, y, i)); }},
        {"p 0 gives f = 1", [](window& w) { std::fill(w.p.begin(), w.p.begin() + w.L * w.nY, 0.0f); },
         [&](const window& w, int r, int y, int i) { return w.a_exp[i] * -s_of(w, r, y, i); }},
        {"beta 0 gives f = 1 + p/K",
         [](window& w) {
             std::fill(w.beta.begin(), w.beta.end(), 0.0f);
             std::fill(w.a_exp.begin(), w.a_exp.end(), 1.0f);
         },
         [&](const window& w, int r, int y, int i) {
             return std::fmaf(-s_of(w, r, y, i), std::fmaf(w.p[i], 1.0f / w.K[i], 1.0f), w.p[i]);
         }},
        {"uniform velocities leave a_exp p",
         [](window& w) {
             std::fill(w.u.begin() + w.L * w.nY, w.u.end(), -0.375f);
             std::fill(w.w.begin() + w.L * w.nY, w.w.end(), 1.25f);
         },
         [](const window& w, int, int, int i) { return w.a_exp[i] * w.p[i]; }},
        {"a_exp 0 stores zero", [](window& w) { std::fill(w.a_exp.begin(), w.a_exp.end(), 0.0f); },
         [](const window&, int, int, int) { return 0.0f; }},
    };
    for (const special_case& c : cases) {
        SCOPED_TRACE(c.name);
        window win = prepared_for_p(random_window(32, window_nx, window_ny, 3));
        c.setup(win);
        window got = win;
        run_fd_p(got, body_launch);
        for_each_point(win, body_launch.cols, [&](int r, int y, int i, int n) {
            expect_point(c.expect(win, r, y, i), got.p[n], r, y);
        });
    }
}

} // namespace
