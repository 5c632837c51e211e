// Split of x over the GPUs: the tables themselves, their invariants over every
// grid within the limits, and the printed tables of the program run on the
// simulated GPU counts.
#include "decomposition.h"
#include "input_set.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<int, int>> ranges;

struct split_case {
    int nX, ngpus;
    ranges gpu, output, body, halo;
};

ranges gpu_ranges(const decomposition& d)
{
    ranges r;
    for (int k = 0; k < d.ngpus; ++k)
        r.push_back({d.gpu_start[k], d.gpu_end[k]});
    return r;
}

ranges output_ranges(const decomposition& d)
{
    ranges r;
    for (int k = 0; k < d.ngpus; ++k)
        r.push_back({d.output_start[k], d.output_end[k]});
    return r;
}

ranges body_ranges(const decomposition& d)
{
    ranges r;
    for (int k = 0; k < d.ngpus; ++k)
        r.push_back({d.body_start[k], d.body_end[k]});
    return r;
}

ranges halo_ranges(const decomposition& d)
{
    ranges r;
    for (int h = 0; d.ngpus > 1 && h < 2 * d.ngpus - 2; ++h)
        r.push_back({d.halo_start[h], d.halo_end[h]});
    return r;
}

TEST(Decomposition, WorkedExamples)
{
    const split_case cases[] = {
        {100, 1, {{0, 100}}, {{0, 100}}, {{8, 92}}, {}},
        {100, 2, {{0, 58}, {42, 100}}, {{0, 50}, {50, 100}}, {{8, 42}, {58, 92}}, {{42, 50}, {50, 58}}},
        {100,
         3,
         {{0, 42}, {26, 75}, {59, 100}},
         {{0, 34}, {34, 67}, {67, 100}},
         {{8, 26}, {42, 59}, {75, 92}},
         {{26, 34}, {34, 42}, {59, 67}, {67, 75}}},
        {103,
         4,
         {{0, 34}, {18, 60}, {44, 86}, {70, 103}},
         {{0, 26}, {26, 52}, {52, 78}, {78, 103}},
         {{8, 18}, {34, 44}, {60, 70}, {86, 95}},
         {{18, 26}, {26, 34}, {44, 52}, {52, 60}, {70, 78}, {78, 86}}},
        {17, 1, {{0, 17}}, {{0, 17}}, {{8, 9}}, {}},
        {34, 2, {{0, 25}, {9, 34}}, {{0, 17}, {17, 34}}, {{8, 9}, {25, 26}}, {{9, 17}, {17, 25}}},
    };
    for (const split_case& c : cases) {
        SCOPED_TRACE("nX=" + std::to_string(c.nX) + " on " + std::to_string(c.ngpus) + " GPUs");
        decomposition d;
        compute_decomposition(c.nX, c.ngpus, &d);
        EXPECT_EQ(d.ngpus, c.ngpus);
        EXPECT_EQ(gpu_ranges(d), c.gpu);
        EXPECT_EQ(output_ranges(d), c.output);
        EXPECT_EQ(body_ranges(d), c.body);
        EXPECT_EQ(halo_ranges(d), c.halo);
    }
}

// Every grid within the limits: the owned ranges tile the grid, the domains add
// the ghost columns, and body plus halo regions cover the owned columns but
// the outer 8 of the grid.
TEST(Decomposition, InvariantsWithinTheLimits)
{
    for (int G = 1; G <= max_gpus; ++G)
        for (int nX = 17 * G; nX <= 17 * G + 3 * G + 20; ++nX) {
            SCOPED_TRACE("nX=" + std::to_string(nX) + " on " + std::to_string(G) + " GPUs");
            decomposition d;
            compute_decomposition(nX, G, &d);
            int widest = 0, narrowest = nX;
            for (int k = 0; k < G; ++k) {
                const int W = d.output_domain_local_nx[k];
                ASSERT_EQ(d.output_start[k], k == 0 ? 0 : d.output_end[k - 1]);
                ASSERT_EQ(d.output_end[k] - d.output_start[k], W);
                ASSERT_GE(W, 17);
                widest = std::max(widest, W);
                narrowest = std::min(narrowest, W);
                ASSERT_EQ(d.gpu_start[k], k == 0 ? 0 : d.output_start[k] - halo_width);
                ASSERT_EQ(d.gpu_end[k], k == G - 1 ? nX : d.output_end[k] + halo_width);
                ASSERT_EQ(d.gpu_domain_local_nx[k], d.gpu_end[k] - d.gpu_start[k]);
                ASSERT_EQ(d.body_start[k], d.output_start[k] + halo_width);
                ASSERT_EQ(d.body_end[k], d.output_end[k] - halo_width);
                ASSERT_EQ(d.body_local_nx[k], W - 2 * halo_width);
            }
            ASSERT_EQ(d.output_end[G - 1], nX);
            ASSERT_LE(widest - narrowest, 1);
            for (int h = 0; h < 2 * G - 2; ++h) {
                const int k = h / 2;
                ASSERT_EQ(d.halo_local_nx[h], halo_width);
                ASSERT_EQ(d.halo_end[h] - d.halo_start[h], halo_width);
                if (h % 2 == 0)
                    ASSERT_EQ(d.halo_end[h], d.output_end[k]);
                else
                    ASSERT_EQ(d.halo_start[h], d.output_start[k + 1]);
            }
        }
}

// The program's decomposition text: from the GPU count line to "Allocating memory.".
std::string decomposition_text(int nX, int gpus, std::string* err = nullptr)
{
    input_set set = homogeneous_set(nX, 20, 1);
    set.icc = {nX / 2, 10};
    set.divev = {1.0f};
    const scratch_dir scratch("decomposition");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    const program_result r =
        run_program(TESSARO_EXPONENTIAL_PROGRAM, dir, {{"TESSARO_HOST_GPUS", std::to_string(gpus)}});
    if (err)
        *err = r.err;
    const size_t from = r.out.find("Number of GPUs:");
    const std::string end = "Allocating memory.\n";
    const size_t to = r.out.find(end);
    if (from == std::string::npos || to == std::string::npos)
        return "(status " + std::to_string(r.status) + ")\n" + r.out + r.err;
    return r.out.substr(from, to + end.size() - from);
}

TEST(DecompositionProgram, PrintsTheFourTables)
{
    const struct {
        int nX, gpus;
        const char* text;
    } cases[] = {
        {100, 1,
         "Number of GPUs: 1\n"
         "GPU 0: global range [0, 100), gpu_domain_local_nx = 100\n"
         "Output GPU 0: global range [0, 100), gpu_domain_local_nx = 100\n"
         "Body region 0: global range [8, 92), body_local_nx = 84\n"
         "Allocating memory.\n"},
        {100, 2,
         "Number of GPUs: 2\n"
         "GPU 0: global range [0, 58), gpu_domain_local_nx = 58\n"
         "GPU 1: global range [42, 100), gpu_domain_local_nx = 58\n"
         "Output GPU 0: global range [0, 50), gpu_domain_local_nx = 50\n"
         "Output GPU 1: global range [50, 100), gpu_domain_local_nx = 50\n"
         "Body region 0: global range [8, 42), body_local_nx = 34\n"
         "Body region 1: global range [58, 92), body_local_nx = 34\n"
         "Halo region 0: global range [42, 50), halo_local_nx = 8\n"
         "Halo region 1: global range [50, 58), halo_local_nx = 8\n"
         "Allocating memory.\n"},
        {100, 3,
         "Number of GPUs: 3\n"
         "GPU 0: global range [0, 42), gpu_domain_local_nx = 42\n"
         "GPU 1: global range [26, 75), gpu_domain_local_nx = 49\n"
         "GPU 2: global range [59, 100), gpu_domain_local_nx = 41\n"
         "Output GPU 0: global range [0, 34), gpu_domain_local_nx = 34\n"
         "Output GPU 1: global range [34, 67), gpu_domain_local_nx = 33\n"
         "Output GPU 2: global range [67, 100), gpu_domain_local_nx = 33\n"
         "Body region 0: global range [8, 26), body_local_nx = 18\n"
         "Body region 1: global range [42, 59), body_local_nx = 17\n"
         "Body region 2: global range [75, 92), body_local_nx = 17\n"
         "Halo region 0: global range [26, 34), halo_local_nx = 8\n"
         "Halo region 1: global range [34, 42), halo_local_nx = 8\n"
         "Halo region 2: global range [59, 67), halo_local_nx = 8\n"
         "Halo region 3: global range [67, 75), halo_local_nx = 8\n"
         "Allocating memory.\n"},
        {103, 4,
         "Number of GPUs: 4\n"
         "GPU 0: global range [0, 34), gpu_domain_local_nx = 34\n"
         "GPU 1: global range [18, 60), gpu_domain_local_nx = 42\n"
         "GPU 2: global range [44, 86), gpu_domain_local_nx = 42\n"
         "GPU 3: global range [70, 103), gpu_domain_local_nx = 33\n"
         "Output GPU 0: global range [0, 26), gpu_domain_local_nx = 26\n"
         "Output GPU 1: global range [26, 52), gpu_domain_local_nx = 26\n"
         "Output GPU 2: global range [52, 78), gpu_domain_local_nx = 26\n"
         "Output GPU 3: global range [78, 103), gpu_domain_local_nx = 25\n"
         "Body region 0: global range [8, 18), body_local_nx = 10\n"
         "Body region 1: global range [34, 44), body_local_nx = 10\n"
         "Body region 2: global range [60, 70), body_local_nx = 10\n"
         "Body region 3: global range [86, 95), body_local_nx = 9\n"
         "Halo region 0: global range [18, 26), halo_local_nx = 8\n"
         "Halo region 1: global range [26, 34), halo_local_nx = 8\n"
         "Halo region 2: global range [44, 52), halo_local_nx = 8\n"
         "Halo region 3: global range [52, 60), halo_local_nx = 8\n"
         "Halo region 4: global range [70, 78), halo_local_nx = 8\n"
         "Halo region 5: global range [78, 86), halo_local_nx = 8\n"
         "Allocating memory.\n"},
        {34, 2,
         "Number of GPUs: 2\n"
         "GPU 0: global range [0, 25), gpu_domain_local_nx = 25\n"
         "GPU 1: global range [9, 34), gpu_domain_local_nx = 25\n"
         "Output GPU 0: global range [0, 17), gpu_domain_local_nx = 17\n"
         "Output GPU 1: global range [17, 34), gpu_domain_local_nx = 17\n"
         "Body region 0: global range [8, 9), body_local_nx = 1\n"
         "Body region 1: global range [25, 26), body_local_nx = 1\n"
         "Halo region 0: global range [9, 17), halo_local_nx = 8\n"
         "Halo region 1: global range [17, 25), halo_local_nx = 8\n"
         "Allocating memory.\n"},
        {17, 1,
         "Number of GPUs: 1\n"
         "GPU 0: global range [0, 17), gpu_domain_local_nx = 17\n"
         "Output GPU 0: global range [0, 17), gpu_domain_local_nx = 17\n"
         "Body region 0: global range [8, 9), body_local_nx = 1\n"
         "Allocating memory.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("nX=" + std::to_string(c.nX) + " on " + std::to_string(c.gpus) + " GPUs");
        EXPECT_EQ(decomposition_text(c.nX, c.gpus), c.text);
    }
}

const char* const eight_gpus_200 =
    "Number of GPUs: 8\n"
    "GPU 0: global range [0, 33), gpu_domain_local_nx = 33\n"
    "GPU 1: global range [17, 58), gpu_domain_local_nx = 41\n"
    "GPU 2: global range [42, 83), gpu_domain_local_nx = 41\n"
    "GPU 3: global range [67, 108), gpu_domain_local_nx = 41\n"
    "GPU 4: global range [92, 133), gpu_domain_local_nx = 41\n"
    "GPU 5: global range [117, 158), gpu_domain_local_nx = 41\n"
    "GPU 6: global range [142, 183), gpu_domain_local_nx = 41\n"
    "GPU 7: global range [167, 200), gpu_domain_local_nx = 33\n"
    "Output GPU 0: global range [0, 25), gpu_domain_local_nx = 25\n"
    "Output GPU 1: global range [25, 50), gpu_domain_local_nx = 25\n"
    "Output GPU 2: global range [50, 75), gpu_domain_local_nx = 25\n"
    "Output GPU 3: global range [75, 100), gpu_domain_local_nx = 25\n"
    "Output GPU 4: global range [100, 125), gpu_domain_local_nx = 25\n"
    "Output GPU 5: global range [125, 150), gpu_domain_local_nx = 25\n"
    "Output GPU 6: global range [150, 175), gpu_domain_local_nx = 25\n"
    "Output GPU 7: global range [175, 200), gpu_domain_local_nx = 25\n"
    "Body region 0: global range [8, 17), body_local_nx = 9\n"
    "Body region 1: global range [33, 42), body_local_nx = 9\n"
    "Body region 2: global range [58, 67), body_local_nx = 9\n"
    "Body region 3: global range [83, 92), body_local_nx = 9\n"
    "Body region 4: global range [108, 117), body_local_nx = 9\n"
    "Body region 5: global range [133, 142), body_local_nx = 9\n"
    "Body region 6: global range [158, 167), body_local_nx = 9\n"
    "Body region 7: global range [183, 192), body_local_nx = 9\n"
    "Halo region 0: global range [17, 25), halo_local_nx = 8\n"
    "Halo region 1: global range [25, 33), halo_local_nx = 8\n"
    "Halo region 2: global range [42, 50), halo_local_nx = 8\n"
    "Halo region 3: global range [50, 58), halo_local_nx = 8\n"
    "Halo region 4: global range [67, 75), halo_local_nx = 8\n"
    "Halo region 5: global range [75, 83), halo_local_nx = 8\n"
    "Halo region 6: global range [92, 100), halo_local_nx = 8\n"
    "Halo region 7: global range [100, 108), halo_local_nx = 8\n"
    "Halo region 8: global range [117, 125), halo_local_nx = 8\n"
    "Halo region 9: global range [125, 133), halo_local_nx = 8\n"
    "Halo region 10: global range [142, 150), halo_local_nx = 8\n"
    "Halo region 11: global range [150, 158), halo_local_nx = 8\n"
    "Halo region 12: global range [167, 175), halo_local_nx = 8\n"
    "Halo region 13: global range [175, 183), halo_local_nx = 8\n"
    "Allocating memory.\n";

TEST(DecompositionProgram, EightGpusPrintFourteenHaloLines)
{
    std::string err;
    EXPECT_EQ(decomposition_text(200, 8, &err), eight_gpus_200);
    EXPECT_EQ(err.find("Warning:"), std::string::npos) << err;
}

// Beyond 8 GPUs the run takes the first 8 and says so.
TEST(DecompositionProgram, MoreThanEightGpusUseTheFirstEight)
{
    std::string err;
    EXPECT_EQ(decomposition_text(200, 12, &err), eight_gpus_200);
    EXPECT_EQ(err, "Warning: 12 GPUs found; using the first 8 (at most 8 are supported)\n");
}

} // namespace
