// The two-relaxation program end to end: agreement with the exponential
// program where the relaxation is neutral, invariance over GPU counts,
// schedules and memory saving, mandatory peer access, the memory report and
// the release of every device array.
#include "output_points.h"
#include "program_cases.h"
#include "relaxation_model.h"
#include "trace.h"

#include <gtest/gtest.h>

namespace {

const std::string relaxation = TESSARO_RELAXATION_PROGRAM;
const std::string exponential = TESSARO_EXPONENTIAL_PROGRAM;

// kappa 1, apml 0 and bpml 1 leave the updates of the exponential program
// with a_exp 1, bit for bit.
TEST(RelaxationProgram, NeutralRelaxationMatchesTheExponentialProgram)
{
    input_set set = heterogeneous_set(3);
    const size_t n = set.rho.size();
    set.a_exp.assign(n, 1.0f);
    set.kappax.assign(n, 1.0f);
    set.kappau.assign(n, 1.0f);
    for (auto* m : {&set.apmlx1, &set.apmlx2, &set.apmlu1, &set.apmlu2})
        m->assign(n, 0.0f);
    for (auto* m : {&set.bpmlx1, &set.bpmlx2, &set.bpmlu1, &set.bpmlu2})
        m->assign(n, 1.0f);
    for (int gpus : {1, 3}) {
        run_output a = run_case(exponential, set, host_environment(gpus), "relax_neutral");
        run_output b = run_case(relaxation, set, host_environment(gpus), "relax_neutral");
        ASSERT_EQ(a.result.status, 0) << a.result.err;
        ASSERT_EQ(b.result.status, 0) << b.result.err;
        ASSERT_FALSE(a.genout.empty());
        ASSERT_EQ(a.genout.size(), b.genout.size());
        for (size_t i = 0; i < a.genout.size(); ++i)
            ASSERT_EQ(float_bits(a.genout[i]), float_bits(b.genout[i])) << gpus << " GPUs, sample " << i;
    }
}

TEST(RelaxationProgram, GenoutIsTheSameOnAnyGpuCountScheduleAndMemoryMode)
{
    const input_set set = heterogeneous_set(11);
    const std::vector<float> reference = expect_same_genout_everywhere(relaxation, set);
    run_output exponential_run = run_case(exponential, set, host_environment(1), "relax_inv");
    EXPECT_NE(reference, frames_in_outc_order(set, exponential_run.genout, 1)); // the relaxation maps act
}

TEST(RelaxationProgram, GpusThatCannotReachEachOtherEndTheRun)
{
    struct row {
        int gpus;
        std::pair<std::string, std::string> setting;
        const char* out_peer_lines;
        const char* err;
    };
    const row rows[] = {
        {2, {"TESSARO_HOST_NO_PEER", "0-1"}, "", "GPU 0 cannot access GPU 1\n"},
        {3, {"TESSARO_HOST_NO_PEER", "1-2"},
         "GPU 0 enabled peer access to GPU 1\nGPU 0 enabled peer access to GPU 2\nGPU 1 enabled peer access to GPU 0\n",
         "GPU 1 cannot access GPU 2\n"},
        // reachable, but enabling fails: no "enabled" line for the pair
        {3, {"TESSARO_HOST_FAIL", "cudaDeviceEnablePeerAccess:2"}, "GPU 0 enabled peer access to GPU 1\n",
         "Warning: GPU 0 could not enable peer access to GPU 2: unknown error\n"},
    };
    // the set holds a source in the first 8 columns and output points off the grid and in the margins, on purpose
    const std::string margin_warning = "Warning: icc has 1 point outside the updated columns x in [8, 82), never "
                                       "applied; the first is point 4 {5, 18}\n"
                                       "Warning: outc has 5 points outside the updated area x in [8, 82), y in [8, "
                                       "28), which read 0 in every frame; the first is point 13 {45, 7}\n";
    for (const row& r : rows) {
        SCOPED_TRACE(r.setting.second);
        const scratch_dir scratch("relax_peer");
        const std::string& dir = scratch.path;
        write_input_set(dir, heterogeneous_set(1));
        environment env = host_environment(r.gpus);
        env.push_back(r.setting);
        program_result result = run_program(relaxation, dir, env);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, margin_warning + r.err +
                                  "The Multi-GPU feature requires peer access to the GPUs.\n"
                                  "Peer access not supported. Exiting.\n");
        const std::string out = result.out;
        ASSERT_GE(out.size(), std::string(r.out_peer_lines).size());
        EXPECT_EQ(out.substr(out.size() - std::string(r.out_peer_lines).size()), r.out_peer_lines);
        EXPECT_EQ(out.find("Starting time stepping loop..."), std::string::npos);
        EXPECT_FALSE(file_exists(dir + "/genout.dat"));
        // The exponential program goes on without peer access, with the warning
        // of a failed enabling.
        program_result other = run_program(exponential, dir, env);
        EXPECT_EQ(other.status, 0) << other.err;
        if (r.setting.first == "TESSARO_HOST_FAIL") {
            EXPECT_EQ(other.err, margin_warning + r.err);
            EXPECT_EQ(other.out.find("GPU 0 enabled peer access to GPU 2\n"), std::string::npos);
            EXPECT_NE(other.out.find("GPU 2 enabled peer access to GPU 1\n"), std::string::npos);
        }
    }
}

TEST(RelaxationProgram, MemoryEstimateCountsTheLargerStateAndTheZeroPoints)
{
    host_inputs in = {};
    in.s.nY = 200;
    in.s.ndmap = 3;
    in.s.ncoords = 2;
    in.s.nTic = 500;
    in.s.ncoordszero = 1;
    in.s.ncoords_add = 9; // not counted
    const uint64_t base = 144u * 108 * 200 + 72 * 3 + 8 * 1 + 20 * 7;
    EXPECT_EQ(memory_estimate(relaxation_model, in, 108, 7), base + 8 * 2 + 4 * 2 * 500);
    in.memory_saving = 1;
    EXPECT_EQ(memory_estimate(relaxation_model, in, 108, 7), base + 24);
}

TEST(RelaxationProgram, ReportPadsLabelsAndEveryArrayIsReleased)
{
    input_set set = heterogeneous_set(2);
    set.nT = 0;
    const scratch_dir scratch("relax_release");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    environment env = host_environment(2);
    env.push_back({"TESSARO_HOST_TRACE", dir + "/trace"});
    program_result r = run_program(relaxation, dir, env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n  TOTAL ESTIMATED (user allocs)    :       0.00 GB\n"
                         "  Context overhead (pre-alloc)     :       0.00 GB\n"
                         "  PREDICTED nvtop total            :       0.00 GB\n"
                         "  GPU free / total                 : "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nDone.\n"), std::string::npos);
    EXPECT_EQ(read_bytes(dir + "/genout.dat"), "");
    const std::vector<std::string> lines = read_lines(dir + "/trace");
    const size_t allocations = select_calls(lines, {"cudaMalloc", "cudaMallocAsync"}).size();
    // per GPU: 26 arrays, 9 source tables (every family), 3 output arrays
    EXPECT_EQ(allocations, 2u * (26 + 9 + 3));
    EXPECT_EQ(select_calls(lines, {"cudaFree"}).size(), allocations);
    EXPECT_EQ(select_calls(lines, {"cudaStreamDestroy"}).size(), 10u);
}

} // namespace
