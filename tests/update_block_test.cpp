// The block shape of the update kernels (build setting TESSARO_UPDATE_BLOCK)
// changes no result: both programs built with another shape write the same
// genout.dat, byte for byte, on one and several simulated GPUs; their update
// launches use that shape with grids that follow it, and their nY limit
// follows its y size.
#include "decomposition.h"
#include "program_cases.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <set>

namespace {

struct block_shape {
    int x, y;
};

block_shape parse_shape(const std::string& text)
{
    return {std::stoi(text), std::stoi(text.substr(text.find('x') + 1))};
}

struct program_pair {
    const char* name;
    std::string usual, other;
};

const program_pair programs[] = {
    {"exponential", TESSARO_EXPONENTIAL_PROGRAM, TESSARO_EXPONENTIAL_OTHER_BLOCK},
    {"two-relaxation", TESSARO_RELAXATION_PROGRAM, TESSARO_RELAXATION_OTHER_BLOCK},
};

// The device check's second case (every source family and map in use, a
// frame every third step); nY is a multiple of neither block's y size.
const int nX = 150, nY = 90, nT = 30;

// Runs `program` on a fresh copy of the case; returns genout.dat and leaves
// the host runtime's trace in `trace`.
std::string run_traced(const std::string& program, int gpus, const std::string& trace)
{
    const scratch_dir scratch = write_check_case(2, nX, nY, nT);
    const std::string& dir = scratch.path;
    environment env = host_environment(gpus);
    env.push_back({"TESSARO_HOST_TRACE", trace});
    const program_result r = run_program(program, dir, env);
    EXPECT_EQ(r.status, 0) << r.err;
    return read_bytes(dir + "/genout.dat");
}

// "dev grid block" of every update launch in a trace.
std::set<std::string> update_launches(const std::string& trace)
{
    std::set<std::string> launches;
    for (const std::string& line : select_calls(read_lines(trace), {"launch"}))
        if (trace_field(line, "kernel").find("fd_") != std::string::npos)
            launches.insert(trace_field(line, "dev") + " " + trace_field(line, "grid") + " " +
                            trace_field(line, "block"));
    return launches;
}

// Those that blocks of shape b give: one per body region, one per halo region
// (2 * 8 columns of threads wide), each over nY.
std::set<std::string> expected_launches(block_shape b, int gpus)
{
    decomposition d;
    compute_decomposition(nX, gpus, &d);
    const std::string tail = "x" + std::to_string((nY + b.y - 1) / b.y) + "x1 " + std::to_string(b.x) + "x" +
                             std::to_string(b.y) + "x1";
    std::set<std::string> launches;
    for (int k = 0; k < gpus; ++k)
        launches.insert(std::to_string(k) + " " + std::to_string((d.body_local_nx[k] + b.x - 1) / b.x) + tail);
    for (int h = 0; h < 2 * gpus - 2; ++h) // GPU k updates regions 2k - 1 and 2k
        launches.insert(std::to_string((h + 1) / 2) + " " +
                        std::to_string((2 * d.halo_local_nx[h] + b.x - 1) / b.x) + tail);
    return launches;
}

TEST(UpdateBlock, AnotherShapeWritesTheSameGenoutWithGridsThatFollowIt)
{
    const block_shape usual = parse_shape(TESSARO_UPDATE_BLOCK_SETTING), other = parse_shape(TESSARO_OTHER_UPDATE_BLOCK);
    ASSERT_TRUE(usual.x != other.x || usual.y != other.y);
    for (const program_pair& p : programs)
        for (int gpus : {1, 3}) {
            SCOPED_TRACE(std::string(p.name) + " program, " + std::to_string(gpus) + " GPUs");
            const scratch_dir traces_scratch("update_block_trace");
            const std::string& traces = traces_scratch.path;
            const std::string a = run_traced(p.usual, gpus, traces + "/usual");
            const std::string b = run_traced(p.other, gpus, traces + "/other");
            size_t zeros = 0;
            for (size_t i = 0; i + 4 <= a.size(); i += 4)
                zeros += a.compare(i, 4, std::string(4, '\0')) == 0;
            ASSERT_GT(a.size(), 0u);
            EXPECT_LT(2 * zeros, a.size() / 4) << "too few non-zero samples to tell shapes apart";
            EXPECT_TRUE(a == b) << "genout.dat differs between blocks of " TESSARO_UPDATE_BLOCK_SETTING
                                   " and " TESSARO_OTHER_UPDATE_BLOCK;
            EXPECT_EQ(update_launches(traces + "/usual"), expected_launches(usual, gpus));
            EXPECT_EQ(update_launches(traces + "/other"), expected_launches(other, gpus));
        }
}

TEST(UpdateBlock, TheNyLimitFollowsTheBlockHeight)
{
    const int height = parse_shape(TESSARO_OTHER_UPDATE_BLOCK).y, limit = 65535 * height;
    const scratch_dir scratch = write_check_case(1, nX, nY, 1);
    const std::string& dir = scratch.path;
    write_ints(dir + "/nY.dat", {limit + 1});
    const program_result r = run_program(TESSARO_EXPONENTIAL_OTHER_BLOCK, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: nY=" + std::to_string(limit + 1) + " is out of range: it must be at most " +
                         std::to_string(limit) + " (the update kernels' grid has at most 65535 blocks of " +
                         std::to_string(height) + " rows along y)\n");
}

} // namespace
