// Refusals of inputs that no run can use; each writes one line on standard
// error and returns 1.
#include "raw_data.h"
#include "startup.h"
#include "update_block.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

namespace {

constexpr long long max_elements = 2147483647;

int at_least(const char* name, int value, int least)
{
    if (value >= least)
        return 0;
    std::fprintf(stderr, "Error: %s=%d is out of range: it must be at least %d\n", name, value, least);
    return 1;
}

int finite_positive(const char* name, float value)
{
    if (std::isfinite(value) && value > 0.0f)
        return 0;
    std::fprintf(stderr, "Error: %s=%e is out of range: it must be finite and positive\n", name,
                 static_cast<double>(value));
    return 1;
}

// An element count must fit a 32-bit signed int.
int fits(const char* product, long long elements, const std::string& operands)
{
    if (elements <= max_elements)
        return 0;
    std::fprintf(stderr, "Error: %s = %lld elements (%s) is too large: an array holds at most %lld elements\n",
                 product, elements, operands.c_str(), max_elements);
    return 1;
}

std::string named(const char* name, long long value) { return std::string(name) + "=" + std::to_string(value); }

// Refuses a point listed twice among the first n points of a list, naming the
// pair with the lowest second index. The point indices are sorted by point,
// then by index, so that each repeated point heads a run of equal points.
int check_distinct(const int* points, int n, const char* list)
{
    if (n < 2)
        return 0;
    int* order = static_cast<int*>(allocate_host(sizeof(int) * static_cast<size_t>(n)));
    if (obtained(order, ("the repeated-point check of " + std::string(list)).c_str(), 4LL * n))
        return 1;
    const auto key = [points](int i) { return std::make_tuple(points[2 * i], points[2 * i + 1], i); };
    const auto same = [points](int a, int b) {
        return points[2 * a] == points[2 * b] && points[2 * a + 1] == points[2 * b + 1];
    };
    for (int i = 0; i < n; ++i)
        order[i] = i;
    std::sort(order, order + n, [&](int a, int b) { return key(a) < key(b); });
    int run = -1; // where in `order` the chosen run begins
    for (int k = 0; k + 1 < n; ++k)
        if ((k == 0 || !same(order[k - 1], order[k])) && same(order[k], order[k + 1]) &&
            (run < 0 || order[k + 1] < order[run + 1]))
            run = k;
    const int first = run < 0 ? -1 : order[run], second = run < 0 ? -1 : order[run + 1];
    std::free(order);
    if (run < 0)
        return 0;
    std::fprintf(stderr, "Error: %s points %d and %d are both {%d, %d}: a point may be listed only once\n", list, first,
                 second, points[2 * first], points[2 * first + 1]);
    return 1;
}

} // namespace

int check_sources_defined(const scalar_inputs& s)
{
    if ((s.ncoords | s.ncoords_add | s.ncoords_u | s.ncoords_w) != 0)
        return 0;
    std::fprintf(stderr, "Error: no source defined (ncoords, ncoords_add, ncoords_u, ncoords_w all zero).\n");
    return 1;
}

int check_scalar_ranges(const scalar_inputs& s, int ngpus, decomposition* d)
{
    if (s.nX < 17 * ngpus) {
        std::fprintf(stderr,
                     "Error: nX=%d is too small for %d GPU(s): every GPU needs at least 17 columns, so nX must be at "
                     "least %d\n",
                     s.nX, ngpus, 17 * ngpus);
        return 1;
    }
    if (at_least("nY", s.nY, 1) || at_least("ndmap", s.ndmap, 1) || at_least("modT", s.modT, 1))
        return 1;
    // The update launches cover nY in blocks of update_block_y rows, at most 65535 of them.
    if (s.nY > max_update_nY) {
        std::fprintf(stderr,
                     "Error: nY=%d is out of range: it must be at most %d (the update kernels' grid has at most %d "
                     "blocks of %d rows along y)\n",
                     s.nY, max_update_nY, max_grid_y, update_block_y);
        return 1;
    }
    if (finite_positive("dX", s.dX) || finite_positive("dT", s.dT))
        return 1;
    const struct {
        const char* name;
        int value;
    } counts[] = {{"ncoords", s.ncoords},         {"ncoordszero", s.ncoordszero}, {"ncoordsout", s.ncoordsout},
                  {"ncoords_add", s.ncoords_add}, {"ncoords_u", s.ncoords_u},     {"ncoords_w", s.ncoords_w}};
    for (const auto& c : counts)
        if (at_least(c.name, c.value, 0))
            return 1;
    if (at_least("nTic", s.nTic, 0))
        return 1;

    const long long nX = s.nX, nY = s.nY, nTic = s.nTic;
    if (fits("nX*nY", nX * nY, named("nX", nX) + ", " + named("nY", nY)))
        return 1;
    compute_decomposition(s.nX, ngpus, d);
    long long widest = 0;
    for (int k = 0; k < ngpus; ++k)
        widest = d->gpu_domain_local_nx[k] > widest ? d->gpu_domain_local_nx[k] : widest;
    if (fits("2*L*nY", 2 * widest * nY, named("L", widest) + " for the widest GPU window, " + named("nY", nY)))
        return 1;
    if (fits("18*ndmap", 18LL * s.ndmap, named("ndmap", s.ndmap)))
        return 1;
    const struct {
        const char* name;
        int value;
        bool series;
    } families[] = {{"ncoords", s.ncoords, true},
                    {"ncoordszero", s.ncoordszero, false},
                    {"ncoords_add", s.ncoords_add, true},
                    {"ncoords_u", s.ncoords_u, true},
                    {"ncoords_w", s.ncoords_w, true}};
    for (const auto& f : families) {
        const std::string n = named(f.name, f.value);
        if (fits(("2*" + std::string(f.name)).c_str(), 2LL * f.value, n))
            return 1;
        if (f.series && fits(("nTic*" + std::string(f.name)).c_str(), nTic * f.value, named("nTic", nTic) + ", " + n))
            return 1;
    }
    if (fits("3*ncoordsout", 3LL * s.ncoordsout, named("ncoordsout", s.ncoordsout)))
        return 1;
    return 0;
}

int check_host_inputs(const host_inputs& in)
{
    const int nX = in.s.nX, nY = in.s.nY, ndmap = in.s.ndmap;
    const int* dcmap = in.dcmap[0];
    for (int i = 0; i < nX * nY; ++i)
        if (dcmap[i] < 0 || dcmap[i] >= ndmap) {
            std::fprintf(stderr,
                         "Error: dcmap at x=%d, y=%d is %d: coefficient set indices must lie in [0, ndmap) = [0, %d)\n",
                         i / nY, i % nY, dcmap[i], ndmap);
            return 1;
        }

    for (int f = 0; f < family_count; ++f) {
        const int n = in.count[f];
        if (n <= 0)
            continue;
        const char* list = source_families[f].list_name;
        const int* points = in.coords[f][0];
        for (int i = 0; i < n; ++i)
            if (points[2 * i + 1] < 0 || points[2 * i + 1] >= nY) {
                std::fprintf(stderr, "Error: %s point %d is {%d, %d}: y must lie in [0, nY) = [0, %d)\n", list, i,
                             points[2 * i], points[2 * i + 1], nY);
                return 1;
            }
        // Two writes of one point race; zero points may repeat. Points that
        // a short file left unread are not compared.
        if (f != family_icczero && check_distinct(points, in.points_read[f], list) != 0)
            return 1;
    }
    return 0;
}
