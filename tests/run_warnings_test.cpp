// Warnings for runs that cannot be right, with status 0: a time step above a
// coefficient set's stability limit, NaN or inf in genout.dat, sources in rows
// that no update reads; and none for the cases the project ships.
#include "program_cases.h"
#include "time_step_check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace {

const std::string exponential = TESSARO_EXPONENTIAL_PROGRAM;
const std::string relaxation = TESSARO_RELAXATION_PROGRAM;

const float exact_weights[8] = {1.2340910f,    -1.06649846e-1f, 2.3036367e-2f, -5.3423856e-3f,
                                1.0772712e-3f, -1.6641888e-4f,  1.7021711e-5f, -8.5234642e-7f};

double sum_of_weights()
{
    double s = 0.0;
    for (float c : exact_weights)
        s += std::fabs(static_cast<double>(c));
    return s;
}

// Where the largest symbol lies in closed form: at (pi, pi) the pairs give
// 2 S on both axes and the transverse terms -4 c_x; for a large c_x at
// (0, pi) only Ay is left, 2 S + 4 c_x.
TEST(TimeStepCheck, LimitOfTheWeightsInClosedForm)
{
    const double S = sum_of_weights();
    const struct {
        float cross;
        double limit;
    } cases[] = {
        {0.0f, 1.0 / (std::sqrt(2.0) * S)},
        {0.05f, 1.0 / (std::sqrt(2.0) * (S - 2 * static_cast<double>(0.05f)))},
        {-0.05f, 1.0 / (std::sqrt(2.0) * (S + 2 * static_cast<double>(0.05f)))},
        {0.3f, 1.0 / (S + 2 * static_cast<double>(0.3f))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cross);
        EXPECT_NEAR(stability_limit(exact_weights, c.cross), c.limit, 1e-12);
    }
    EXPECT_NEAR(stability_limit(exact_weights, 0.0f), 0.515993, 1e-6);
    const float none[8] = {};
    EXPECT_EQ(stability_limit(none, 0.0f), INFINITY);
}

struct stability_row {
    const char* name;
    const std::string* program;
    float cross;          // transverse weight of set 0
    float kappax, kappau; // everywhere
    double factor;        // Courant number over the set's limit
    bool warns;
};

// Water on 40 x 24, dX 10 m, dT from the Courant number wanted.
input_set courant_set(const stability_row& r, double* courant)
{
    input_set s = homogeneous_set(40, 24, 2);
    s.dmap[3] = r.cross;
    s.kappax.assign(s.kappax.size(), r.kappax);
    s.kappau.assign(s.kappau.size(), r.kappau);
    const bool stretched = r.program == &relaxation;
    const double c = std::sqrt(2.25e9 / 1000.0 / (stretched ? double(r.kappax) * r.kappau : 1.0));
    s.dT = static_cast<float>(r.factor * stability_limit(exact_weights, r.cross) * s.dX / c);
    *courant = c * s.dT / s.dX;
    s.icc_add = {20, 12};
    s.divev_add = {1.0f, 1.0f};
    s.outc = {24, 12};
    return s;
}

std::string unstable_line(int set, const char* speed, double courant, int x, int y, double limit, double dT_max)
{
    char line[512];
    std::snprintf(line, sizeof line,
                  "Warning: coefficient set %d: the Courant number %s*dT/dX reaches %.6g at x=%d, y=%d, not below "
                  "the stability limit %.6g of its weights: the time stepping is unstable; dT must stay below %e\n",
                  set, speed, courant, x, y, limit, dT_max);
    return line;
}

// Just below the limit no word; just above one line, in both programs, with
// and without a transverse weight, the stretching maps dividing c^2.
TEST(TimeStepCheck, WarnsJustAboveTheLimitOnly)
{
    const stability_row rows[] = {
        {"exact weights below", &exponential, 0.0f, 1.0f, 1.0f, 0.9995, false},
        {"exact weights above", &exponential, 0.0f, 1.0f, 1.0f, 1.0005, true},
        {"transverse weight below", &exponential, 0.05f, 1.0f, 1.0f, 0.9995, false},
        {"transverse weight above", &exponential, 0.05f, 1.0f, 1.0f, 1.0005, true},
        {"stretched below", &relaxation, 0.0f, 1.5f, 3.0f, 0.9995, false},
        {"stretched above", &relaxation, 0.0f, 1.5f, 3.0f, 1.0005, true},
        {"negative transverse weight below", &relaxation, -0.05f, 1.0f, 1.0f, 0.9995, false},
        {"negative transverse weight above", &relaxation, -0.05f, 1.0f, 1.0f, 1.0005, true},
    };
    for (const stability_row& r : rows) {
        SCOPED_TRACE(r.name);
        double courant = 0.0;
        const input_set set = courant_set(r, &courant);
        const run_output out = run_case(*r.program, set, host_environment(1), "courant");
        EXPECT_EQ(out.result.status, 0) << out.result.err;
        const double limit = stability_limit(exact_weights, r.cross);
        const double speed = courant * set.dX / set.dT;
        const char* formula = r.program == &relaxation ? "sqrt(K/(rho*kappax*kappau))" : "sqrt(K/rho)";
        EXPECT_EQ(out.result.err, r.warns ? unstable_line(0, formula, courant, 8, 8, limit, limit * set.dX / speed) : "");
    }
}

// A wrong byte order or unit makes one point absurdly fast: the set it uses
// is named with that point; the other set, slow everywhere, is not.
TEST(TimeStepCheck, AbsurdMapValueTripsItsSet)
{
    const struct {
        const char* name;
        float rho, K;
    } cases[] = {{"density 1e-30", 1e-30f, 2.25e9f}, {"bulk modulus 1e30", 1000.0f, 1e30f}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input_set set = homogeneous_set(40, 24, 2);
        set.ndmap = 2;
        set.dmap.assign(36, 0.0f);
        for (int k = 0; k < 8; ++k)
            set.dmap[static_cast<size_t>(2 * k + 2) * 2] = set.dmap[static_cast<size_t>(2 * k + 2) * 2 + 1] =
                exact_weights[k];
        const int at = 21 * 24 + 13;
        set.dcmap[at] = set.dcmap[at + 1] = 1;
        set.rho[at + 1] = c.rho;
        set.K[at + 1] = c.K;
        set.icc_add = {20, 12};
        set.divev_add = {1.0f, 1.0f};
        const run_output out = run_case(exponential, set, host_environment(1), "courant_absurd");
        EXPECT_EQ(out.result.status, 0) << out.result.err;
        const double speed = std::sqrt(static_cast<double>(c.K) / static_cast<double>(c.rho));
        const double limit = stability_limit(exact_weights, 0.0f);
        EXPECT_EQ(out.result.err, unstable_line(1, "sqrt(K/rho)", speed * set.dT / set.dX, 21, 14, limit,
                                                limit * set.dX / speed));
    }
}

// Courant 0.55 on 2 GPUs, outc not in x order: the warning gives the count,
// the first frame with its step, and the slot with its outc point, as
// genout.dat itself shows them.
TEST(NonFiniteOutput, BlownUpRunSaysWhereItStarted)
{
    input_set set = homogeneous_set(60, 60, 240);
    set.modT = 3;
    set.dT = static_cast<float>(0.55 * set.dX / 1500.0);
    set.icc_add = {30, 30};
    set.divev_add = ricker(240, 25.0f, set.dT);
    set.outc = {45, 30, 15, 30, 30, 45, 30, 15};
    const int outc_of_slot[4] = {1, 0, 2, 3}; // GPU 0 holds x < 30
    const run_output out = run_case(exponential, set, host_environment(2), "non_finite");
    ASSERT_EQ(out.result.status, 0) << out.result.err;
    ASSERT_EQ(out.genout.size(), 80u * 4);
    long count = 0, first = -1;
    for (size_t i = 0; i < out.genout.size(); ++i)
        if (!std::isfinite(out.genout[i]) && count++ == 0)
            first = static_cast<long>(i);
    ASSERT_GT(count, 0);
    ASSERT_GT(first / 4, 0); // not from the start
    const int slot = static_cast<int>(first % 4), point = outc_of_slot[slot];
    const std::string unstable = out.result.err.substr(0, out.result.err.find('\n') + 1);
    EXPECT_EQ(unstable.rfind("Warning: coefficient set 0: ", 0), 0u) << out.result.err;
    EXPECT_EQ(out.result.err.substr(unstable.size()),
              "Warning: genout.dat holds " + std::to_string(count) + " NaN or inf samples of 320, the first in frame " +
                  std::to_string(first / 4) + " (after step " + std::to_string(first / 4 * 3) + "), slot " +
                  std::to_string(slot) + ": outc point " + std::to_string(point) + " {" +
                  std::to_string(set.outc[2 * point]) + ", " + std::to_string(set.outc[2 * point + 1]) + "}\n");
}

// A source at a row that the warning names leaves genout.dat as a run
// without it; at the nearest row it does not name, it changes it. p is read
// 8 rows to either side of the updated rows [8, 16) but row 0; u and w only
// at the updated points.
TEST(SourceRows, WarnedRowsNeverActOthersDo)
{
    input_set base = homogeneous_set(40, 24, 12);
    base.icc_add = {20, 12};
    base.divev_add = ricker(12, 100.0f, base.dT);
    for (int x = 10; x < 30; x += 3)
        for (int y = 8; y < 16; y += 2)
            base.outc.insert(base.outc.end(), {x, y});
    const run_output reference = run_case(exponential, base, host_environment(1), "source_rows_ref");
    ASSERT_EQ(reference.result.err, "");
    const struct {
        const char* family;
        int y;
        const char* range; // the rows read, when warned
    } cases[] = {{"icc_add", 0, "[1, 24)"}, {"icc_add", 1, nullptr},  {"icc", 23, nullptr},
                 {"icc_u", 7, "[8, 16)"},   {"icc_u", 8, nullptr},    {"icc_w", 15, nullptr},
                 {"icc_w", 16, "[8, 16)"},  {"icc_u", 23, "[8, 16)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " at y=" + std::to_string(c.y));
        input_set set = base;
        const std::vector<int32_t> point = {24, c.y};
        const std::vector<float> series(12, 1000.0f);
        const std::string family = c.family;
        if (family == "icc_add") {
            set.icc_add.insert(set.icc_add.end(), point.begin(), point.end());
            set.divev_add.insert(set.divev_add.end(), series.begin(), series.end());
        } else if (family == "icc") {
            set.icc = point, set.divev = series;
        } else if (family == "icc_u") {
            set.icc_u = point, set.divev_u = series;
        } else {
            set.icc_w = point, set.divev_w = series;
        }
        const run_output out = run_case(exponential, set, host_environment(1), "source_rows");
        EXPECT_EQ(out.result.status, 0) << out.result.err;
        const bool warned = c.range != nullptr;
        const int index = family == "icc_add" ? 1 : 0;
        EXPECT_EQ(out.result.err, warned ? "Warning: " + family + " has 1 point in rows that no update reads, outside y in " +
                                              c.range + ", never acting; the first is point " +
                                              std::to_string(index) + " {24, " + std::to_string(c.y) + "}\n"
                                        : "");
        EXPECT_EQ(out.genout == reference.genout, warned);
    }
}

// The example at its own layout and the device check's cases at their
// smallest and default sizes: no word on standard error from either program.
TEST(ShippedCases, RunWithoutWarnings)
{
    struct shipped {
        const char* name;
        std::vector<std::string> args; // of tessaro_example_inputs, after DIR
    };
    const shipped cases[] = {
        {"example", {"write", "", "400", "300", "20"}},
        {"example, small", {"write", "", "120", "80", "20"}},
        {"check case 1, smallest", {"check-case", "", "1", "136", "40", "6"}},
        {"check case 2, smallest", {"check-case", "", "2", "136", "40", "6"}},
        {"check case 1", {"check-case", "", "1", "771", "525", "3"}},
        {"check case 2", {"check-case", "", "2", "771", "525", "3"}},
    };
    for (const shipped& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_dir scratch("shipped");
        const std::string& dir = scratch.path;
        child_setup setup;
        setup.args = c.args;
        setup.args[1] = dir;
        ASSERT_EQ(run_program(TESSARO_EXAMPLE_INPUTS, dir, {}, setup).status, 0);
        for (const std::string* program : {&exponential, &relaxation}) {
            const program_result r = run_program(*program, dir, host_environment(2));
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "") << *program;
        }
    }
}

} // namespace
