// Inputs that run but cannot give the results meant: a line on standard error
// each, and the run goes on.
#include "startup.h"

#include <cmath>
#include <cstdio>

namespace {

// Points of a divisor map in the area that the updates reach, [8, nX-8) x
// [8, nY-8), that are zero, negative or not finite.
void warn_divisor_map(const float* values, const char* name, int nX, int nY)
{
    long long count = 0;
    long long first = -1;
    for (int x = halo_width; x < nX - halo_width; ++x)
        for (int y = halo_width; y < nY - halo_width; ++y) {
            const long long i = static_cast<long long>(x) * nY + y;
            if (std::isfinite(values[i]) && values[i] > 0.0f)
                continue;
            if (count++ == 0)
                first = i;
        }
    if (count > 0)
        std::fprintf(stderr,
                     "Warning: %s is zero, negative or not finite at %lld %s that the updates reach, the first at "
                     "x=%lld, y=%lld (%e): the results will be inf or NaN\n",
                     name, count, count == 1 ? "point" : "points", first / nY, first % nY,
                     static_cast<double>(values[first]));
}

// Source points outside the columns that the updates cover, [8, nX-8): the
// source kernels act only there.
void warn_unreached_points(const host_inputs& in, family_id f)
{
    const int n = in.count[f], nX = in.s.nX;
    if (n <= 0)
        return;
    const int* points = in.coords[f][0];
    int count = 0, first = -1;
    for (int i = 0; i < n; ++i) {
        if (points[2 * i] >= halo_width && points[2 * i] < nX - halo_width)
            continue;
        if (count++ == 0)
            first = i;
    }
    if (count > 0)
        std::fprintf(stderr,
                     "Warning: %s has %d %s outside the updated columns x in [%d, %d), never applied; the first is "
                     "point %d {%d, %d}\n",
                     source_families[f].list_name, count, count == 1 ? "point" : "points", halo_width,
                     nX - halo_width, first, points[2 * first], points[2 * first + 1]);
}

} // namespace

void warn_host_inputs(const solver_model& model, const host_inputs& in)
{
    for (int i = 0; i < model.divisor_maps.count; ++i) {
        const array_id id = model.divisor_maps.ids[i];
        warn_divisor_map(in.maps[id][0], array_name(id), in.s.nX, in.s.nY);
    }
    for (int f = 0; f < family_count; ++f)
        warn_unreached_points(in, static_cast<family_id>(f));
}
