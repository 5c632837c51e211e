// The device check's modes of tessaro_example_inputs: its cases, and the
// comparison of two genout.dat (genout_compare.cpp).
//
//   tessaro_example_inputs check-case DIR CASE [nX nY nT]   (CASE 1 or 2)
//   tessaro_example_inputs compare DIR_A DIR_B
//
// A case uses every input of both programs: all five source families, several
// coefficient sets with transverse weights, a pressure-dependent beta, an
// a_exp sponge, stretching maps and both relaxation mechanisms, with rings of
// receivers around the sources so that the wave reaches most of them early.
// Case 1 samples every step and feeds the sources to the end; case 2 samples
// every third step, stops the sources half-way and puts them next to the GPU
// boundaries of 2 to 8 GPUs. Both add a source 10 cells from the far x and y
// edges, with receivers up to the last updated column and row, where a grid
// of blocks that stops short of the updated part shows. The default size
// (771 x 525) divides into no block shape: 755 updated columns, an odd number,
// and 525 rows, 13 more than a multiple of every block height (16 to 128), so
// that a grid short by one block row misses updated rows.
#include "check_cases.h"
#include "genout_compare.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

struct grid {
    int nX, nY;
    size_t points() const { return static_cast<size_t>(nX) * static_cast<size_t>(nY); }
};

bool write_file(const std::string& dir, const char* name, const void* data, size_t count)
{
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    // An empty array (series of nTic = 0) may have no buffer: fwrite gets none.
    const bool ok = f != nullptr && (count == 0 || std::fwrite(data, 4, count, f) == count);
    if (f != nullptr && std::fclose(f) != 0)
        return false;
    if (!ok)
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

template <typename T> bool write_scalar(const std::string& dir, const char* name, T v)
{
    return write_file(dir, name, &v, 1);
}

template <typename T> bool write_array(const std::string& dir, const char* name, const std::vector<T>& v)
{
    return write_file(dir, name, v.data(), v.size());
}

// A map of the grid, f(x, y), written and released at once (the large cases
// hold 2^26 points).
template <typename F> bool write_map(const std::string& dir, const char* name, grid g, F f)
{
    std::vector<float> v(g.points());
    for (int x = 0; x < g.nX; ++x)
        for (int y = 0; y < g.nY; ++y)
            v[static_cast<size_t>(x) * g.nY + y] = static_cast<float>(f(x, y));
    return write_array(dir, name, v);
}

// 0 in the interior, rising to 1 at the edges over `width` cells.
double edge_profile(grid g, int x, int y, int width)
{
    const int edge = std::min(std::min(x, g.nX - 1 - x), std::min(y, g.nY - 1 - y));
    return edge < width ? (width - edge) / static_cast<double>(width) : 0.0;
}

// A smooth variation in [-1, 1] with a few wavelengths across the grid.
double ripple(grid g, int x, int y, double phase)
{
    return std::sin(6.0 * x / g.nX + phase) * std::cos(5.0 * y / g.nY - phase);
}

struct layer_medium {
    double c, rho, beta;
};

// Water over a faster sediment in the lower third, with a slow lens.
layer_medium medium_at(grid g, int x, int y)
{
    const double dx = (x - 0.6 * g.nX) / (0.08 * g.nX), dy = (y - 0.35 * g.nY) / (0.08 * g.nY);
    if (dx * dx + dy * dy < 1.0)
        return {1350.0, 950.0, 4.5};
    if (y > 2 * g.nY / 3)
        return {2200.0 + 100.0 * ripple(g, x, y, 0.3), 1900.0, 0.8};
    return {1500.0 + 40.0 * ripple(g, x, y, 1.1), 1000.0, 3.5};
}

// Staggered first-derivative weights of orders 16, 8 and 4.
const double order16[8] = {1.2340910,     -1.06649846e-1, 2.3036367e-2,  -5.3423856e-3,
                           1.0772712e-3,  -1.6641888e-4, 1.7021711e-5,  -8.5234642e-7};
const double order8[8] = {1.1962890625, -7.9752604166666667e-2, 9.5703125e-3, -6.9754464285714286e-4, 0, 0, 0, 0};
const double order4[8] = {1.125, -4.1666666666666667e-2, 0, 0, 0, 0, 0, 0};

struct coefficient_set {
    const double* weights;
    double scale;
    double transverse;
};

const coefficient_set coefficient_sets[] = {
    {order16, 1.0, 0.004}, {order8, 1.0, 0.01}, {order16, 0.98, -0.003}, {order4, 1.0, 0.006}};

std::vector<float> ricker(int n, double f0, double dT, double delay, double amplitude)
{
    std::vector<float> v(static_cast<size_t>(n));
    const double pi = 3.14159265358979323846;
    for (int t = 0; t < n; ++t) {
        const double a = pi * f0 * (t * dT - delay);
        v[static_cast<size_t>(t)] = static_cast<float>(amplitude * (1.0 - 2.0 * a * a) * std::exp(-a * a));
    }
    return v;
}

struct family_points {
    std::vector<int32_t> points; // {x, y, ...}
    std::vector<float> series;   // source-major, nTic per point
};

int clamp(int v, int lo, int hi) { return std::max(lo, std::min(v, hi)); }

// Rings of receivers around every source point, inside the updated part of
// the grid, sorted by x (so that every GPU count gives the same frame).
std::vector<int32_t> receivers_around(grid g, const std::vector<std::pair<int, int>>& sources)
{
    std::vector<std::pair<int, int>> points;
    const int radii[] = {2, 4, 7, 11, 16, 22, 29};
    const int directions[8][2] = {{1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
    for (const auto& s : sources)
        for (int r : radii)
            for (const auto& d : directions) {
                const int x = s.first + d[0] * r, y = s.second + d[1] * r;
                if (x >= 8 && x < g.nX - 8 && y >= 8 && y < g.nY - 8)
                    points.push_back({x, y});
            }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<int32_t> outc;
    for (const auto& p : points)
        outc.insert(outc.end(), {p.first, p.second});
    return outc;
}

int write_case(const std::string& dir, int which, grid g, int nT)
{
    if (!make_directory(dir))
        return 1;
    const float dX = 5.0f, dT = 6.0e-4f;
    const double f0 = 30.0;
    const int modT = which == 1 ? 1 : 3;
    const int nTic = which == 1 ? nT : nT / 2;
    const int ndmap = which == 1 ? 3 : 4;
    const int sponge = std::max(4, std::min(20, std::min(g.nX, g.nY) / 8));

    // Source points: spread over the grid, or next to the GPU boundaries.
    auto at = [&](double fx, double fy) {
        return std::make_pair(clamp(static_cast<int>(fx * g.nX), 10, g.nX - 11),
                              clamp(static_cast<int>(fy * g.nY), 10, g.nY - 11));
    };
    std::vector<std::pair<int, int>> p_points, zero_points, add_points, u_points, w_points;
    if (which == 1) {
        p_points = {at(0.2, 0.3), at(0.8, 0.75)};
        add_points = {at(0.45, 0.55), at(0.7, 0.2)};
        u_points = {at(0.3, 0.7), at(0.9, 0.4)};
        w_points = {at(0.55, 0.25), at(0.15, 0.85)};
    } else {
        p_points = {at(0.5, 0.3), at(1.0 / 3.0, 0.6)};
        add_points = {at(0.25, 0.45), at(2.0 / 3.0, 0.8)};
        u_points = {at(0.75, 0.35), at(0.125, 0.5)};
        w_points = {at(0.4, 0.65), at(0.875, 0.2)};
        for (auto* list : {&p_points, &add_points, &u_points, &w_points})
            (*list)[0].first += 1; // one column past the boundary, the other on it
    }
    add_points.push_back(at(1.0, 1.0)); // (nX - 11, nY - 11)
    const auto scatterer = at(0.45, 0.5);
    for (int i = 0; i < 3; ++i)
        zero_points.push_back({scatterer.first + i, scatterer.second - i});

    std::vector<std::pair<int, int>> all = p_points;
    for (const auto* list : {&add_points, &u_points, &w_points})
        all.insert(all.end(), list->begin(), list->end());
    const std::vector<int32_t> outc = receivers_around(g, all);

    // Each point its own delay and amplitude: pressure near 1e5 Pa, velocity
    // near 0.05 m/s, so that p/K and beta change the result.
    auto family = [&](const std::vector<std::pair<int, int>>& list, double amplitude, double delay) {
        family_points f;
        for (size_t i = 0; i < list.size(); ++i) {
            f.points.insert(f.points.end(), {list[i].first, list[i].second});
            const std::vector<float> s =
                ricker(nTic, f0, dT, delay + 0.004 * static_cast<double>(i), amplitude * (1.0 - 0.3 * i));
            f.series.insert(f.series.end(), s.begin(), s.end());
        }
        return f;
    };
    const family_points icc = family(p_points, 1.0e5, 0.04), add = family(add_points, 2.0e4, 0.045),
                        icc_u = family(u_points, 0.05, 0.05), icc_w = family(w_points, -0.05, 0.035);
    std::vector<int32_t> icczero;
    for (const auto& p : zero_points)
        icczero.insert(icczero.end(), {p.first, p.second});

    std::vector<float> dmap(18 * static_cast<size_t>(ndmap), 0.0f);
    for (int m = 0; m < ndmap; ++m) {
        const coefficient_set& set = coefficient_sets[m];
        for (int k = 0; k < 8; ++k)
            dmap[static_cast<size_t>(2 * k + 2) * ndmap + m] = static_cast<float>(set.weights[k] * set.scale);
        dmap[3 * static_cast<size_t>(ndmap) + m] = static_cast<float>(set.transverse);
    }
    std::vector<int32_t> dcmap(g.points());
    for (int x = 0; x < g.nX; ++x)
        for (int y = 0; y < g.nY; ++y) {
            // bands of sets, or (case 2) a scattered pattern of all four
            const int set = which == 1 ? (x / 7 + y / 11) % 3 : static_cast<int>((x * 7919u + y * 104729u) % 4u);
            dcmap[static_cast<size_t>(x) * g.nY + y] = set;
        }

    const double pi = 3.14159265358979323846, alpha = pi * f0;
    bool ok = write_scalar(dir, "nX.dat", int32_t{g.nX}) && write_scalar(dir, "nY.dat", int32_t{g.nY}) &&
              write_scalar(dir, "nT.dat", int32_t{nT}) && write_scalar(dir, "nTic.dat", int32_t{nTic}) &&
              write_scalar(dir, "modT.dat", int32_t{modT}) && write_scalar(dir, "dX.dat", dX) &&
              write_scalar(dir, "dY.dat", dX) && write_scalar(dir, "dT.dat", dT) &&
              write_scalar(dir, "c0.dat", 1500.0f) &&
              write_scalar(dir, "ncoordsout.dat", static_cast<int32_t>(outc.size() / 2)) &&
              write_scalar(dir, "ndmap.dat", int32_t{ndmap}) &&
              write_scalar(dir, "ncoords.dat", static_cast<int32_t>(icc.points.size() / 2)) &&
              write_scalar(dir, "ncoordszero.dat", static_cast<int32_t>(icczero.size() / 2)) &&
              write_scalar(dir, "ncoords_add.dat", static_cast<int32_t>(add.points.size() / 2)) &&
              write_scalar(dir, "ncoords_u.dat", static_cast<int32_t>(icc_u.points.size() / 2)) &&
              write_scalar(dir, "ncoords_w.dat", static_cast<int32_t>(icc_w.points.size() / 2)) &&
              write_array(dir, "d.dat", std::vector<float>(18, 0.0f)) && write_array(dir, "dmap.dat", dmap) &&
              write_array(dir, "dcmap.dat", dcmap) && write_array(dir, "icc.dat", icc.points) &&
              write_array(dir, "divev.dat", icc.series) && write_array(dir, "icczero.dat", icczero) &&
              write_array(dir, "icc_add.dat", add.points) && write_array(dir, "divev_add.dat", add.series) &&
              write_array(dir, "icc_u.dat", icc_u.points) && write_array(dir, "divev_u.dat", icc_u.series) &&
              write_array(dir, "icc_w.dat", icc_w.points) && write_array(dir, "divev_w.dat", icc_w.series) &&
              write_array(dir, "outc.dat", outc);
    dcmap = std::vector<int32_t>();
    ok = ok && write_map(dir, "c.dat", g, [&](int x, int y) { return medium_at(g, x, y).c; }) &&
         write_map(dir, "rho.dat", g, [&](int x, int y) { return medium_at(g, x, y).rho; }) &&
         write_map(dir, "K.dat", g,
                   [&](int x, int y) {
                       const layer_medium m = medium_at(g, x, y);
                       return m.rho * m.c * m.c;
                   }) &&
         write_map(dir, "beta.dat", g, [&](int x, int y) { return medium_at(g, x, y).beta; }) &&
         write_map(dir, "a_exp.dat", g, [&](int x, int y) {
             const double depth = edge_profile(g, x, y, sponge);
             return std::exp(-0.03 * depth * depth);
         });
    // Stretching grows towards the edges; mechanism 1 is a slow decay that the
    // gradient feeds weakly everywhere and more strongly near the edges,
    // mechanism 2 a fast one. Both take a little from the gradient, so they
    // damp and never feed the wave.
    struct relaxation_maps {
        const char *kappa, *a1, *b1, *a2, *b2;
        double phase;
    };
    const relaxation_maps sides[] = {{"kappax.dat", "apmlx1.dat", "bpmlx1.dat", "apmlx2.dat", "bpmlx2.dat", 0.0},
                                     {"kappau.dat", "apmlu1.dat", "bpmlu1.dat", "apmlu2.dat", "bpmlu2.dat", 0.7}};
    for (const relaxation_maps& side : sides) {
        const double ph = side.phase;
        auto kappa = [&](int x, int y) { return 1.0 + 0.5 * edge_profile(g, x, y, sponge) + 0.05 * ripple(g, x, y, ph); };
        auto b1 = [&](int x, int y) {
            const double d = 4.0 * alpha * edge_profile(g, x, y, sponge);
            return std::exp(-(d / kappa(x, y) + alpha) * dT);
        };
        auto b2 = [&](int x, int y) { return 0.6 + 0.15 * ripple(g, x, y, ph + 2.0); };
        ok = ok && write_map(dir, side.kappa, g, kappa) && write_map(dir, side.b1, g, b1) &&
             write_map(dir, side.a1, g,
                       [&](int x, int y) {
                           const double d = 4.0 * alpha * edge_profile(g, x, y, sponge);
                           const double share = 0.03 + 0.5 * d / (d + alpha);
                           return -share * (1.0 - b1(x, y)) / kappa(x, y);
                       }) &&
             write_map(dir, side.b2, g, b2) &&
             write_map(dir, side.a2, g, [&](int x, int y) { return -0.08 * (1.0 - b2(x, y)); });
    }
    if (!ok)
        return 1;
    std::printf("Wrote check case %d: a %d x %d grid, %d steps (a frame every %d), %zu sources, %zu receivers, to "
                "%s\n",
                which, g.nX, g.nY, nT, modT, all.size() + zero_points.size(), outc.size() / 2, dir.c_str());
    return 0;
}

// A decimal int, the whole text, at least `least`.
bool parse_int(const char* text, int least, int* value)
{
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < least || v > 2147483647L)
        return false;
    *value = static_cast<int>(v);
    return true;
}

} // namespace

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s write DIR [nX nY nT] | check-case DIR CASE [nX nY nT] | compare DIR_A DIR_B | summary "
                 "DIR\n"
                 "       (check-case: CASE 1 or 2, nX >= 136, nY >= 40, nT >= 1)\n",
                 program);
    return 2;
}

bool make_directory(const std::string& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!error)
        return true;
    std::fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), error.message().c_str());
    return false;
}

int check_mode(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "compare")
        return argc == 4 ? compare_genout(argv[2], argv[3]) : usage(argv[0]);
    if (mode != "check-case")
        return -1;
    // nX >= 136: every GPU of 8 gets its 17 columns.
    int which = 0, nX = 771, nY = 525, nT = 400;
    if ((argc != 4 && argc != 7) || !parse_int(argv[3], 1, &which) || which > 2)
        return usage(argv[0]);
    if (argc == 7 && (!parse_int(argv[4], 136, &nX) || !parse_int(argv[5], 40, &nY) || !parse_int(argv[6], 1, &nT) ||
                      static_cast<long long>(nX) * nY > 2147483647LL))
        return usage(argv[0]);
    return write_case(argv[2], which, grid{nX, nY}, nT);
}
