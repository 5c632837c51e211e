// Inputs that run but cannot give the results meant: a line on standard error
// each, and the run goes on.
#include "startup.h"
#include "time_step_check.h"

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
                     "x=%lld, y=%lld (%e): the updates divide by a value that is not finite and positive there\n",
                     name, count, count == 1 ? "point" : "points", first / nY, first % nY,
                     static_cast<double>(values[first]));
}

// The points of a list for which `outside` holds: how many, and the first.
template <typename Test> int count_points(const int* points, int n, Test outside, int* first)
{
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (outside(points[2 * i], points[2 * i + 1]) && count++ == 0)
            *first = i;
    return count;
}

const char* points_word(int count) { return count == 1 ? "point" : "points"; }

bool in_range(int v, int lo, int hi) { return v >= lo && v < hi; }

// Rows of a source's target field, at the level the sources write, that some
// update reads. fd_u's gradient reads p up to 7 rows below and 8 above the
// updated rows [8, nY-8), so every row but 0 when there are updated rows;
// u and w only at the updated points themselves (fd_p reads the next level).
void rows_read(array_id target, int nY, int* lo, int* hi)
{
    *lo = halo_width;
    *hi = nY - halo_width;
    if (target == arr_p && *lo < *hi)
        *lo = 1, *hi = nY;
}

// Source points that never act: outside the updated columns [8, nX-8) the
// source kernels do not apply them; in the updated columns, rows that no
// update reads.
void warn_unreached_points(const host_inputs& in, family_id f)
{
    const int n = in.count[f], nX = in.s.nX;
    if (n <= 0)
        return;
    const char* list = source_families[f].list_name;
    const int* points = in.coords[f][0];
    const auto off_columns = [nX](int x, int) { return !in_range(x, halo_width, nX - halo_width); };
    int first = -1;
    int count = count_points(points, n, off_columns, &first);
    if (count > 0)
        std::fprintf(stderr,
                     "Warning: %s has %d %s outside the updated columns x in [%d, %d), never applied; the first is "
                     "point %d {%d, %d}\n",
                     list, count, points_word(count), halo_width, nX - halo_width, first, points[2 * first],
                     points[2 * first + 1]);
    int lo, hi;
    rows_read(source_families[f].target, in.s.nY, &lo, &hi);
    const auto off_rows = [&](int x, int y) { return !off_columns(x, y) && !in_range(y, lo, hi); };
    count = count_points(points, n, off_rows, &first);
    if (count > 0)
        std::fprintf(stderr,
                     "Warning: %s has %d %s in rows that no update reads, outside y in [%d, %d), never acting; the "
                     "first is point %d {%d, %d}\n",
                     list, count, points_word(count), lo, hi, first, points[2 * first], points[2 * first + 1]);
}

// Output points outside the updated area, [8, nX-8) x [8, nY-8): off the
// grid, in the frame or in the y margins, each reads 0 in every frame.
void warn_unreached_outputs(const host_inputs& in)
{
    const int nX = in.s.nX, nY = in.s.nY;
    const int* points = in.outc[0];
    const auto outside = [nX, nY](int x, int y) {
        return !in_range(x, halo_width, nX - halo_width) || !in_range(y, halo_width, nY - halo_width);
    };
    int first = -1;
    const int count = count_points(points, in.s.ncoordsout, outside, &first);
    if (count > 0)
        std::fprintf(stderr,
                     "Warning: outc has %d %s outside the updated area x in [%d, %d), y in [%d, %d), which read 0 in "
                     "every frame; the first is point %d {%d, %d}\n",
                     count, points_word(count), halo_width, nX - halo_width, halo_width, nY - halo_width, first,
                     points[2 * first], points[2 * first + 1]);
}

} // namespace

int warn_host_inputs(const solver_model& model, const host_inputs& in)
{
    for (int i = 0; i < model.divisor_maps.count; ++i) {
        const array_id id = model.divisor_maps.ids[i];
        warn_divisor_map(in.maps[id][0], array_name(id), in.s.nX, in.s.nY);
    }
    if (check_time_step(model, in) != 0)
        return 1;
    for (int f = 0; f < family_count; ++f)
        warn_unreached_points(in, static_cast<family_id>(f));
    warn_unreached_outputs(in);
    return 0;
}
