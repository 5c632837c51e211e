// The exponential-attenuation program end to end: standard output, frames and
// slots of genout.dat, invariance over GPU counts, schedules and memory
// saving, exit statuses, and a travel-time check.
#include "exponential_model.h"
#include "output_points.h"
#include "program_cases.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

input_set small_set(int nT)
{
    input_set s = homogeneous_set(40, 24, nT);
    s.icc_add = {20, 12};
    s.divev_add = ricker(nT > 0 ? nT : 0, 25.0f, s.dT);
    s.outc = {24, 12, 30, 12, 20, 3};
    return s;
}

size_t frames(const run_output& out, const input_set& set) { return out.genout.size() / (set.outc.size() / 2); }

TEST(ExponentialProgram, SmallRunPrintsReportProgressAndDone)
{
    input_set set = small_set(3);
    environment env = host_environment(1);
    env.push_back({"TESSARO_HOST_MEMORY", "1073741824"});
    run_output out = run_case(program, set, env, "exp_small");
    ASSERT_EQ(out.result.status, 0) << out.result.err;
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    const std::string expected = std::string("Starting time stepping loop...\n"
                                             "Progress :      [Rank  0 | ") +
                                 host +
                                 " | GPU 0] GPU memory estimate (local_nx=40, nY=24):\n"
                                 "  TOTAL ESTIMATED (user allocs)  :       0.00 GB\n"
                                 "  Context overhead (pre-alloc)   :       0.00 GB\n"
                                 "  PREDICTED nvtop total          :       0.00 GB\n"
                                 "  GPU free / total               : 1.00 / 1.00 GB\n"
                                 "\b\b\b\b\b0.000\b\b\b\b\b0.500\b\b\b\b\b1.000\n"
                                 "Done.\n";
    const size_t at = out.result.out.find("Starting time stepping loop...");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(out.result.out.substr(at), expected);
    EXPECT_EQ(out.result.err, "Warning: outc has 1 point outside the updated area x in [8, 32), y in [8, 16), which "
                              "read 0 in every frame; the first is point 2 {20, 3}\n");
    ASSERT_EQ(frames(out, set), 3u);
    // The point in the y margin gives +0.0 in every frame; the others see the pulse.
    for (size_t f = 0; f < 3; ++f)
        EXPECT_EQ(float_bits(out.genout[f * 3 + 2]), 0u);
    EXPECT_NE(out.genout[2 * 3 + 0], 0.0f);
}

TEST(ExponentialProgram, FramesFollowStepsAndOutputPeriod)
{
    struct row {
        int nT, modT;
        size_t frames;
        const char* last_progress;
    };
    const row rows[] = {{0, 1, 0, nullptr}, {-3, 1, 0, nullptr}, {1, 1, 1, "1.000"}, {5, 7, 1, "1.000"},
                        {9, 4, 3, "1.000"}, {10, 4, 3, "1.000"}};
    for (const row& r : rows) {
        input_set set = small_set(r.nT);
        set.modT = r.modT;
        if (r.nT < 0)
            set.nTic = 0; // nTic defaults to nT, and a negative nTic is refused
        run_output out = run_case(program, set, host_environment(1), "exp_frames");
        SCOPED_TRACE("nT=" + std::to_string(r.nT) + " modT=" + std::to_string(r.modT));
        ASSERT_EQ(out.result.status, 0) << out.result.err;
        ASSERT_TRUE(out.has_genout);
        EXPECT_EQ(out.genout.size(), r.frames * 3);
        EXPECT_NE(out.result.out.find("\nDone.\n"), std::string::npos);
        if (r.last_progress) {
            EXPECT_NE(out.result.out.find(std::string("\b\b\b\b\b") + r.last_progress + "\nDone.\n"),
                      std::string::npos);
        }
    }
}

// The same genout.dat, bit for bit, on 1 to 4 GPUs, under both schedules,
// with memory saving on and off.
TEST(ExponentialProgram, GenoutIsTheSameOnAnyGpuCountScheduleAndMemoryMode)
{
    const input_set set = heterogeneous_set(7);
    const std::vector<float> reference = expect_same_genout_everywhere(program, set);
    ASSERT_EQ(reference.size(), 8 * set.outc.size() / 2);
    double energy = 0;
    for (float v : reference)
        energy += static_cast<double>(v) * v;
    EXPECT_GT(energy, 0.0);
}

// Two GPUs of a 100-column grid: GPU 0 takes {10, 20}, GPU 1 {60, 20} and
// {50, 39}; {150, 5} and {49, 40} belong to no GPU.
TEST(ExponentialProgram, FrameSlotsAreGroupedByGpu)
{
    input_set set = homogeneous_set(100, 40, 12);
    set.icc_add = {55, 20};
    set.divev_add = ricker(12, 60.0f, set.dT);
    set.outc = {60, 20, 10, 20, 150, 5, 50, 39, 49, 40};
    run_output one = run_case(program, set, host_environment(1), "exp_slots");
    run_output two = run_case(program, set, host_environment(2), "exp_slots");
    ASSERT_EQ(one.result.status, 0);
    ASSERT_EQ(two.result.status, 0);
    ASSERT_EQ(two.genout.size(), 12u * 5);
    for (size_t f = 0; f < 12; ++f) {
        const float* a = &one.genout[f * 5];
        const float* b = &two.genout[f * 5];
        EXPECT_EQ(float_bits(b[0]), float_bits(a[1])); // {10, 20}
        EXPECT_EQ(float_bits(b[1]), float_bits(a[0])); // {60, 20}
        for (int s = 2; s < 5; ++s)
            EXPECT_EQ(float_bits(b[s]), 0u); // upper margin, then no owner
    }
    EXPECT_NE(two.genout[11 * 5 + 1], 0.0f);
}

TEST(ExponentialProgram, MemoryEstimateCountsFieldsMapsTablesAndOutputs)
{
    host_inputs in = {};
    in.s.nY = 40;
    in.s.ndmap = 3;
    in.s.ncoords = 2;
    in.s.nTic = 1000;
    in.s.ncoordszero = 5; // not counted by this program
    EXPECT_EQ(memory_estimate(exponential_model, in, 58, 2), 44u * 40 * 58 + 72 * 3 + 8 * 2 + 4 * 2 * 1000 + 20 * 2);
    in.memory_saving = 1;
    EXPECT_EQ(memory_estimate(exponential_model, in, 58, 2), 44u * 40 * 58 + 72 * 3 + 8 * 2 + 4 * 2 + 20 * 2);
    in.s.ncoords = 0;
    EXPECT_EQ(memory_estimate(exponential_model, in, 58, 0), 44u * 40 * 58 + 72 * 3);
}

TEST(ExponentialProgram, ExitStatuses)
{
    enum genout_kind { no_file, empty_file, complete_file, any_file };
    typedef std::function<void(input_set&, environment&, child_setup&)> edit_fn;
    typedef std::function<void(const std::string& dir)> files_fn; // after the inputs are written
    struct row {
        const char* name;
        edit_fn edit;
        files_fn files;
        int status;
        const char* err;      // expected start of standard error
        const char* err_also; // also on standard error
        bool done;
        genout_kind genout;
    };
    const row rows[] = {
        {"complete", nullptr, nullptr, 0, "", nullptr, true, complete_file},
        {"no source", [](input_set& s, environment&, child_setup&) { s.icc_add.clear(); }, nullptr, 1,
         "Error: no source defined (ncoords, ncoords_add, ncoords_u, ncoords_w all zero).\n", nullptr, false, no_file},
        {"genout.dat cannot be opened", nullptr,
         [](const std::string& dir) { ASSERT_EQ(mkdir((dir + "/genout.dat").c_str(), 0755), 0); }, 1,
         "Failed to initialize float writer: Is a directory\n", nullptr, false, any_file},
        {"disk full", nullptr,
         [](const std::string& dir) { ASSERT_EQ(symlink("/dev/full", (dir + "/genout.dat").c_str()), 0); }, 1,
         nullptr, "Error: genout.dat is incomplete", true, any_file},
        {"device memory too small",
         [](input_set&, environment& env, child_setup&) { env.push_back({"TESSARO_HOST_MEMORY", "4096"}); }, nullptr,
         1, "Error: cudaMallocAsync failed on GPU 0: ", nullptr, false, no_file},
        // no step runs, so no source sample is needed
        {"negative nT without nTic.dat", [](input_set& s, environment&, child_setup&) { s.nT = -3; }, nullptr, 0, "",
         nullptr, true, empty_file},
        // console text must not reach genout.dat through descriptor 1
        {"standard output closed", [](input_set&, environment&, child_setup& c) { c.stdout_closed = true; }, nullptr,
         0, "", nullptr, false, complete_file},
        // past the limit a write fails instead of the signal ending the run
        {"file-size limit",
         [](input_set&, environment&, child_setup& c) { c.limits.push_back({RLIMIT_FSIZE, 2 * 4 * 1203 + 100}); },
         nullptr, 1, nullptr, "Error: genout.dat is incomplete", true, any_file},
        // a pinned frame slot of the writer that cannot be released
        {"writer release fails",
         [](input_set&, environment& env, child_setup&) { env.push_back({"TESSARO_HOST_FAIL", "cudaFreeHost:2"}); },
         nullptr, 1, "Error: cudaFreeHost failed: unknown error\n", nullptr, true, complete_file},
        {"writer release fails after a failed open",
         [](input_set&, environment& env, child_setup&) { env.push_back({"TESSARO_HOST_FAIL", "cudaFreeHost"}); },
         [](const std::string& dir) { ASSERT_EQ(mkdir((dir + "/genout.dat").c_str(), 0755), 0); }, 1,
         "Error: cudaFreeHost failed: unknown error\nFailed to initialize float writer: Is a directory\n", nullptr,
         false, any_file},
        // the second copy of an exchange on 2 GPUs is sent by GPU 1
        {"peer copy fails",
         [](input_set&, environment& env, child_setup&) {
             env = host_environment(2);
             env.push_back({"TESSARO_HOST_FAIL", "cudaMemcpyPeerAsync:2"});
         },
         nullptr, 1, "Error: cudaMemcpyPeerAsync failed on GPU 1: unknown error\n", nullptr, false, any_file},
        // a grid that passes every check, but whose host maps (7 GiB) do not fit
        // the limit, far above what the run needs before them
        {"host memory limit", [](input_set&, environment&, child_setup& c) { c.limits.push_back({RLIMIT_AS, 3ULL << 30}); },
         [](const std::string& dir) {
             write_ints(dir + "/nX.dat", {16384});
             write_ints(dir + "/nY.dat", {16384});
         },
         1, "Error: cannot allocate host memory for ", nullptr, false, no_file},
        // the row table of 200 million rows counts, although nTic = 0 leaves the block empty;
        // host allocations: c, rho, K, beta, a_exp, d, dmap, dcmap, then divev
        {"host allocation of divev fails",
         [](input_set& s, environment& env, child_setup&) {
             s.nTic = 0;
             env.push_back({"TESSARO_HOST_FAIL", "host_alloc:9"});
         },
         [](const std::string& dir) { write_ints(dir + "/ncoords.dat", {200000000}); }, 1,
         "Error: cannot allocate host memory for divev (1600000000 bytes)\n", nullptr, false, no_file},
        // 1000 points of icc_add ({0, 0} from /dev/zero) are read, their sort order cannot be obtained;
        // host allocations: c, rho, K, beta, a_exp, d, dmap, dcmap, outc, icc_add, divev_add, then the order
        {"host allocation of the repeated-point check fails",
         [](input_set& s, environment& env, child_setup&) {
             s.nTic = 0;
             env.push_back({"TESSARO_HOST_FAIL", "host_alloc:12"});
         },
         [](const std::string& dir) {
             write_ints(dir + "/ncoords_add.dat", {1000});
             ASSERT_EQ(unlink((dir + "/icc_add.dat").c_str()), 0);
             ASSERT_EQ(symlink("/dev/zero", (dir + "/icc_add.dat").c_str()), 0);
         },
         1, "Error: cannot allocate host memory for the repeated-point check of icc_add (4000 bytes)\n", nullptr, false,
         no_file},
        // an input that is there but cannot be read is no missing input
        {"input cannot be read", nullptr,
         [](const std::string& dir) {
             ASSERT_EQ(unlink((dir + "/K.dat").c_str()), 0);
             ASSERT_EQ(mkdir((dir + "/K.dat").c_str(), 0755), 0);
         },
         1, "Error: cannot read K.dat: Is a directory\n", nullptr, false, no_file},
        // the trace file takes the last descriptor once the GPUs are counted
        {"too few descriptors",
         [](input_set&, environment& env, child_setup& c) {
             env.push_back({"TESSARO_HOST_TRACE", "trace"});
             c.limits.push_back({RLIMIT_NOFILE, 4});
         },
         nullptr, 1, "Error: cannot read d.dat: Too many open files\n", nullptr, false, no_file},
        {"count file short", nullptr, [](const std::string& dir) { write_bytes(dir + "/ncoords_add.dat", "abc"); }, 1,
         "Error: count input incomplete: ncoords_add.dat (each must hold one 4-byte value, or be absent for a count "
         "of 0)\n",
         nullptr, false, no_file},
    };
    // Frames of 1203 samples, several stream blocks each.
    input_set base = small_set(4);
    base.outc.clear(); // every point where the wave arrives: no warning ahead of the errors
    for (int i = 0; i < 401; ++i)
        base.outc.insert(base.outc.end(), {24, 12, 30, 12, 20, 10});
    const run_output reference = run_case(program, base, host_environment(1), "exp_status_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    ASSERT_EQ(reference.genout.size(), 4u * 1203);

    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // the sanitizers reserve more address space than the limit leaves
        if (std::string(r.name) == "host memory limit")
            continue;
#endif
        input_set set = base;
        environment env = host_environment(1);
        child_setup setup;
        if (r.edit)
            r.edit(set, env, setup);
        const scratch_dir scratch("exp_status");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        if (r.files)
            r.files(dir);
        const program_result result = run_program(program, dir, env, setup);
        EXPECT_EQ(result.status, r.status) << result.err;
        if (r.err) {
            EXPECT_EQ(result.err.substr(0, std::string(r.err).size()), r.err);
        }
        if (r.err_also) {
            EXPECT_NE(result.err.find(r.err_also), std::string::npos) << result.err;
        }
        EXPECT_EQ(result.out.find("\nDone.\n") != std::string::npos, r.done);
        const std::string genout = dir + "/genout.dat";
        switch (r.genout) {
        case no_file:
            EXPECT_FALSE(file_exists(genout));
            break;
        case empty_file:
            EXPECT_TRUE(file_exists(genout));
            EXPECT_EQ(read_bytes(genout), "");
            break;
        case complete_file:
            EXPECT_EQ(read_floats(genout), reference.genout);
            break;
        case any_file:
            break;
        }
    }
}

// In a homogeneous medium the pulse from a point source crosses the distance
// between two receivers in that distance over sqrt(K / rho).
TEST(ExponentialProgram, PulseTravelsAtTheSpeedOfSound)
{
    const int n = 160, nT = 700;
    input_set set = homogeneous_set(n, n, nT);
    set.dX = 5.0f;
    set.dY = 5.0f;
    set.dT = 5.0e-4f;
    set.icc_add = {40, 80};
    set.divev_add = ricker(nT, 25.0f, set.dT);
    for (int d : {20, 40, 60, 80})
        set.outc.insert(set.outc.end(), {40 + d, 80});
    run_output out = run_case(program, set, host_environment(2), "exp_physics");
    ASSERT_EQ(out.result.status, 0) << out.result.err;
    ASSERT_EQ(frames(out, set), static_cast<size_t>(nT));
    const double c = std::sqrt(2.25e9 / 1000.0);
    std::vector<double> peak_time;
    for (int r = 0; r < 4; ++r) {
        int best = 0;
        for (int t = 0; t < nT; ++t)
            if (std::fabs(out.genout[static_cast<size_t>(t) * 4 + r]) >
                std::fabs(out.genout[static_cast<size_t>(best) * 4 + r]))
                best = t;
        peak_time.push_back(best * static_cast<double>(set.dT));
    }
    for (int r = 1; r < 4; ++r) {
        const double expected = 20 * 5.0 * r / c;
        EXPECT_NEAR(peak_time[r] - peak_time[0], expected, 0.03 * expected) << "receiver " << r;
    }
}

} // namespace
