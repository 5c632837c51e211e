// The source schedule through the host runtime's trace: which kernel runs on
// which region and stream, in which order, on 1, 2 and 3 GPUs; the memory-
// saving uploads; the waits before the velocity update; and, by results, the
// family order at a shared point.
#include "decomposition.h"
#include "program_cases.h"
#include "trace.h"

#include <gtest/gtest.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

input_set schedule_set()
{
    input_set s = homogeneous_set(100, 20, 2);
    s.nTic = 1; // step 1 runs only the zero points
    s.icc = {30, 10};
    s.divev = {1.0f};
    s.icc_add = {35, 10};
    s.divev_add = {1.0f};
    s.icczero = {40, 10};
    s.icc_u = {60, 10};
    s.divev_u = {1.0f};
    s.icc_w = {70, 10};
    s.divev_w = {1.0f};
    s.outc = {50, 10};
    return s;
}

struct launch {
    std::string kernel;
    int dev;
    int stream; // serial: 5k + 1 compute, 5k + 2 halo
    int x_lo, x_hi, x_offset;
};

std::vector<launch> source_launches_of_step(const std::vector<std::string>& lines, int step)
{
    std::vector<launch> out;
    int seen_step = -1;
    bool in_sources = false;
    for (const std::string& line : lines) {
        if (line.rfind("launch ", 0) != 0)
            continue;
        const std::string kernel = trace_field(line, "kernel");
        const bool source = kernel.rfind("inject_source", 0) == 0;
        if (source && !in_sources)
            ++seen_step, in_sources = true;
        if (!source) {
            in_sources = false;
            continue;
        }
        if (seen_step != step)
            continue;
        // x_lo is the first region argument: after t, nY, nTic for the time-series kernels
        const int lo = kernel == "inject_source_zero" ? 4 : (kernel.find("slice") != std::string::npos ? 5 : 7);
        const std::string stream = trace_field(line, "stream");
        out.push_back({kernel, std::stoi(trace_field(line, "dev")), std::stoi(stream.substr(0, stream.find('/'))),
                       std::stoi(launch_arg(line, lo)), std::stoi(launch_arg(line, lo + 1)),
                       std::stoi(launch_arg(line, lo + 2))});
    }
    return out;
}

// Expected launches: per GPU and family, the halo-side regions (own halo
// regions, then the ghost columns) on halo_stream, then the body on
// compute_stream.
std::vector<launch> expected_launches(int gpus, bool zero_only)
{
    decomposition d;
    compute_decomposition(100, gpus, &d);
    const char* kernels[] = {"inject_source", "inject_source_additive", "inject_source_zero", "inject_source",
                             "inject_source"};
    std::vector<launch> out;
    for (int k = 0; k < gpus; ++k) {
        std::vector<int> halo;
        if (gpus > 1) {
            if (k > 0)
                halo.push_back(2 * k - 1);
            if (k < gpus - 1)
                halo.push_back(2 * k);
            if (k > 0)
                halo.push_back(2 * k - 2);
            if (k < gpus - 1)
                halo.push_back(2 * k + 1);
        }
        for (int f = 0; f < 5; ++f) {
            if (zero_only && f != 2)
                continue;
            for (int h : halo)
                out.push_back({kernels[f], k, 5 * k + 2, d.halo_start[h], d.halo_end[h], d.gpu_start[k]});
            out.push_back({kernels[f], k, 5 * k + 1, d.body_start[k], d.body_end[k], d.gpu_start[k]});
        }
    }
    return out;
}

TEST(SourceSchedule, FamiliesRegionsAndStreamsOnOneTwoAndThreeGpus)
{
    for (int gpus = 1; gpus <= 3; ++gpus) {
        SCOPED_TRACE(std::to_string(gpus) + " GPUs");
        const scratch_dir scratch("schedule");
        const std::string& dir = scratch.path;
        write_input_set(dir, schedule_set());
        program_result r = run_program(program, dir,
                                       {{"TESSARO_HOST_GPUS", std::to_string(gpus)},
                                        {"TESSARO_HOST_TRACE", dir + "/trace"}});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = read_lines(dir + "/trace");
        for (int step = 0; step < 2; ++step) {
            const std::vector<launch> actual = source_launches_of_step(lines, step);
            const std::vector<launch> expected = expected_launches(gpus, step == 1);
            ASSERT_EQ(actual.size(), expected.size()) << "step " << step;
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(actual[i].kernel, expected[i].kernel) << i;
                EXPECT_EQ(actual[i].dev, expected[i].dev) << i;
                EXPECT_EQ(actual[i].stream, expected[i].stream) << i;
                EXPECT_EQ(actual[i].x_lo, expected[i].x_lo) << i;
                EXPECT_EQ(actual[i].x_hi, expected[i].x_hi) << i;
                EXPECT_EQ(actual[i].x_offset, expected[i].x_offset) << i;
            }
        }
        // Every GPU's halo and compute streams are waited for between the
        // sources and the first velocity update.
        size_t last_source = 0, first_update = 0;
        for (size_t i = 0; i < lines.size() && !first_update; ++i) {
            const std::string kernel = trace_field(lines[i], "kernel");
            if (kernel.rfind("inject_source", 0) == 0)
                last_source = i;
            else if (kernel.find("fd_u") != std::string::npos)
                first_update = i;
        }
        std::vector<std::string> waits;
        for (size_t i = last_source; i < first_update; ++i)
            if (lines[i].rfind("cudaStreamSynchronize", 0) == 0)
                waits.push_back(trace_field(lines[i], "stream"));
        std::vector<std::string> expected_waits;
        for (int k = 0; k < gpus; ++k)
            expected_waits.insert(expected_waits.end(),
                                  {std::to_string(5 * k + 2) + "/-5", std::to_string(5 * k + 1) + "/0"});
        EXPECT_EQ(waits, expected_waits);
    }
}

TEST(SourceSchedule, MemorySavingUploadsOneSliceAndWaitsPerFamilyAndGpu)
{
    input_set set = homogeneous_set(100, 20, 3);
    set.nTic = 2;
    for (int i = 0; i < 300; ++i)
        set.icc.insert(set.icc.end(), {8 + i % 80, 8 + i / 80});
    set.divev.assign(300 * 2, 1.0f);
    for (int i = 0; i < 5; ++i)
        set.icc_u.insert(set.icc_u.end(), {20 + i, 10});
    set.divev_u.assign(5 * 2, 1.0f);
    const scratch_dir scratch("schedule_saving");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    program_result r = run_program(program, dir,
                                   {{"TESSARO_HOST_GPUS", "2"},
                                    {"TESSARO_HOST_TRACE", dir + "/trace"},
                                    {"DIVEV_MEMORY_SAVING", "1"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "DIVEV_MEMORY_SAVING enabled: divev stays on CPU, slice transferred per step\n");
    const std::vector<std::string> lines = read_lines(dir + "/trace");
    // After the set-up: uploads and their waits, per step, GPU and family.
    std::vector<std::string> uploads;
    bool loop = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        // the memory report follows the set-up (no output point: no frame buffer to mark it)
        loop = loop || lines[i].rfind("cudaMemGetInfo", 0) == 0;
        if (loop && lines[i].rfind("cudaMemcpyAsync", 0) == 0 && trace_field(lines[i], "kind") == "H2D") {
            uploads.push_back(trace_field(lines[i], "dev") + ":" + trace_field(lines[i], "stream") + ":" +
                              trace_field(lines[i], "bytes"));
            ASSERT_LT(i + 1, lines.size());
            EXPECT_EQ(lines[i + 1].substr(0, lines[i + 1].find(' ')), "cudaStreamSynchronize");
            EXPECT_EQ(trace_field(lines[i + 1], "stream"), trace_field(lines[i], "stream"));
        }
    }
    const std::vector<std::string> per_step = {"0:1/0:1200", "0:1/0:20", "1:6/0:1200", "1:6/0:20"};
    std::vector<std::string> expected = per_step;
    expected.insert(expected.end(), per_step.begin(), per_step.end()); // steps 0 and 1; none at step 2
    EXPECT_EQ(uploads, expected);
}

// At a point listed by several families, the sample is written, then added
// to, then zeroed: an icc and an icc_add source at one point act as one
// source of their summed samples, and an icczero point cancels both.
TEST(SourceSchedule, FamilyOrderAtASharedPoint)
{
    input_set base = homogeneous_set(60, 30, 10);
    base.icc_u = {40, 20};
    base.divev_u = ricker(10, 80.0f, base.dT);
    base.outc = {25, 15, 30, 12};
    const std::vector<float> a = ricker(10, 60.0f, base.dT), b = ricker(10, 90.0f, base.dT);
    std::vector<float> sum(10);
    for (int t = 0; t < 10; ++t)
        sum[t] = b[t] + a[t];

    input_set both = base, summed = base, zeroed = base, base_zeroed = base;
    both.icc = {28, 14};
    both.divev = a;
    both.icc_add = {28, 14};
    both.divev_add = b;
    summed.icc = {28, 14};
    summed.divev = sum;
    zeroed = both;
    zeroed.icczero = {28, 14};
    base_zeroed.icczero = {28, 14};
    const environment env = {{"TESSARO_HOST_GPUS", "2"}, {"TESSARO_HOST_SCHEDULE", "deferred"}};
    run_output r_both = run_case(program, both, env, "order_both");
    run_output r_summed = run_case(program, summed, env, "order_summed");
    run_output r_zeroed = run_case(program, zeroed, env, "order_zeroed");
    run_output r_base = run_case(program, base_zeroed, env, "order_base");
    ASSERT_EQ(r_both.result.status, 0);
    ASSERT_EQ(r_both.genout.size(), 20u);
    EXPECT_EQ(r_both.genout, r_summed.genout);
    EXPECT_EQ(r_zeroed.genout, r_base.genout);
    EXPECT_NE(r_both.genout, r_base.genout);
}

} // namespace
