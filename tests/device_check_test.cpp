// The device check's cases (tessaro_example_inputs check-case): odd sizes by
// default, a source and receivers next to the far edges of the updated part.
// Its comparison of two genout.dat (tessaro_example_inputs compare): byte for
// byte with any NaN equal to any NaN, the first difference by frame and slot
// with both values and their distance, and no verdict of "identical" for
// files with too few non-zero finite samples.
#include "program_cases.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

float from_bits(uint32_t bits)
{
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

// Three frames of four slots, every sample non-zero and finite.
std::vector<float> frames()
{
    std::vector<float> v;
    for (int i = 0; i < 12; ++i)
        v.push_back(0.5f + static_cast<float>(i));
    return v;
}

struct compare_case {
    const char* name;
    void (*change_a)(std::vector<float>&);
    void (*change_b)(std::vector<float>&);
    int status;
    const char* last_line; // the end of the output
};

void unchanged(std::vector<float>&) {}

program_result compare(const std::vector<float>& a, const std::vector<float>& b, bool write_b = true)
{
    const scratch_dir scratch_a("compare_a"), scratch_b("compare_b");
    const std::string &dir_a = scratch_a.path, &dir_b = scratch_b.path;
    write_ints(dir_a + "/ncoordsout.dat", {4});
    write_floats(dir_a + "/genout.dat", a);
    if (write_b)
        write_floats(dir_b + "/genout.dat", b);
    child_setup setup;
    setup.args = {"compare", dir_a, dir_b};
    return run_program(TESSARO_EXAMPLE_INPUTS, dir_a, {}, setup);
}

std::vector<int32_t> read_ints(const std::string& path)
{
    const std::string bytes = read_bytes(path);
    std::vector<int32_t> values(bytes.size() / 4);
    if (!values.empty())
        std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
}

// A grid of blocks rounded down instead of up leaves the last columns or rows
// of the updated part [8, nX - 8) x [8, nY - 8) unchanged: the default sizes
// divide into no block shape, and both cases have a source within 12 cells of
// the far x and y edges and receivers in the last updated column and row.
TEST(DeviceCheckCases, OddSizesWithASourceAndReceiversAtTheFarEdges)
{
    const struct {
        std::vector<std::string> sizes; // none: the default
        int nX, nY, nT;
    } rows[] = {{{}, 771, 525, 400}, {{"136", "40", "1"}, 136, 40, 1}, {{"161", "97", "120"}, 161, 97, 120}};
    for (const auto& row : rows)
        for (const char* which : {"1", "2"}) {
            SCOPED_TRACE("case " + std::string(which) + ", " + std::to_string(row.nX) + " x " + std::to_string(row.nY));
            const scratch_dir scratch("check_case_edges");
            const std::string& dir = scratch.path;
            child_setup setup;
            setup.args = {"check-case", dir, which};
            setup.args.insert(setup.args.end(), row.sizes.begin(), row.sizes.end());
            const program_result r = run_program(TESSARO_EXAMPLE_INPUTS, dir, {}, setup);
            ASSERT_EQ(r.status, 0) << r.err;
            const int nX = read_ints(dir + "/nX.dat").at(0), nY = read_ints(dir + "/nY.dat").at(0);
            EXPECT_EQ(nX, row.nX);
            EXPECT_EQ(nY, row.nY);
            EXPECT_EQ(read_ints(dir + "/nT.dat").at(0), row.nT);
            if (row.sizes.empty()) {
                EXPECT_EQ((nX - 16) % 2, 1) << "updated columns";
                // Rows: the grid covers all nY, the last 8 never updated, so a
                // grid short by one block row misses updated rows only when nY
                // exceeds a multiple of the block height by more than 8.
                EXPECT_TRUE(nY % 128 > 8 && nY % 128 < 16) << "updated rows";
                EXPECT_GE(row.nT, 400);
            }
            auto near_far_edges = [&](int x, int y) { return x >= nX - 12 && x < nX - 8 && y >= nY - 12 && y < nY - 8; };
            bool source = false;
            for (const char* list : {"icc", "icc_add", "icc_u", "icc_w"}) {
                const std::vector<int32_t> p = read_ints(dir + "/" + list + ".dat");
                for (size_t i = 0; i + 1 < p.size(); i += 2)
                    source = source || near_far_edges(p[i], p[i + 1]);
            }
            EXPECT_TRUE(source);
            const std::vector<int32_t> outc = read_ints(dir + "/outc.dat");
            bool last_column = false, last_row = false;
            for (size_t i = 0; i + 1 < outc.size(); i += 2) {
                const int x = outc[i], y = outc[i + 1];
                ASSERT_TRUE(x >= 8 && x < nX - 8 && y >= 8 && y < nY - 8) << x << ", " << y;
                last_column = last_column || (x == nX - 9 && y >= nY - 12);
                last_row = last_row || (y == nY - 9 && x >= nX - 12);
            }
            EXPECT_TRUE(last_column);
            EXPECT_TRUE(last_row);
        }
}

TEST(DeviceCheckCompare, SamplesByteForByteAndNanAsNan)
{
    const compare_case cases[] = {
        {"identical", unchanged, unchanged, 0, "  identical\n"},
        {"NaNs of other bits", [](std::vector<float>& v) { v[5] = from_bits(0x7fc0bad0u); },
         [](std::vector<float>& v) { v[5] = from_bits(0xffc00001u); }, 0, "  identical\n"},
        {"one unit in the last place", unchanged, [](std::vector<float>& v) { v[9] = std::nextafter(v[9], 100.0f); },
         1, "  first difference: frame 2, slot 1: 9.5 (0x41180000) and 9.50000095 (0x41180001), distance 1 units in "
            "the last place\n"},
        {"+0 and -0", [](std::vector<float>& v) { v[2] = 0.0f; }, [](std::vector<float>& v) { v[2] = -0.0f; }, 1,
         "  first difference: frame 0, slot 2: 0 (0x00000000) and -0 (0x80000000), distance 1 units in the last "
         "place\n"},
        {"across zero", [](std::vector<float>& v) { v[0] = from_bits(0x00000002u); },
         [](std::vector<float>& v) { v[0] = from_bits(0x80000001u); }, 1,
         "  first difference: frame 0, slot 0: 2.80259693e-45 (0x00000002) and -1.40129846e-45 (0x80000001), "
         "distance 4 units in the last place\n"},
        {"a NaN against a number", unchanged, [](std::vector<float>& v) { v[4] = std::nanf(""); }, 1,
         "  first difference: frame 1, slot 0: 4.5 (0x40900000) and nan (0x7fc00000), one of them NaN\n"},
        {"a frame more", unchanged, [](std::vector<float>& v) { v.insert(v.end(), 4, 1.0f); }, 1,
         "  the files differ in length: 48 and 64 bytes\n"},
        {"half zeros and infinities",
         [](std::vector<float>& v) {
             for (size_t i = 0; i < 7; ++i)
                 v[i] = i % 2 ? 0.0f : std::numeric_limits<float>::infinity();
         },
         [](std::vector<float>& v) {
             for (size_t i = 0; i < 7; ++i)
                 v[i] = i % 2 ? 0.0f : std::numeric_limits<float>::infinity();
         },
         2, "  identical, but does not count: fewer than half of the 12 samples are non-zero and finite\n"},
        {"no samples", [](std::vector<float>& v) { v.clear(); }, [](std::vector<float>& v) { v.clear(); }, 2,
         "  identical, but does not count: fewer than half of the 0 samples are non-zero and finite\n"},
    };
    for (const compare_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> a = frames(), b = frames();
        c.change_a(a);
        c.change_b(b);
        const program_result r = compare(a, b);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        const std::string last = c.last_line;
        ASSERT_GE(r.out.size(), last.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    }
}

TEST(DeviceCheckCompare, CountsTheNonZeroFiniteSamplesOfEachFile)
{
    std::vector<float> a = frames(), b = frames();
    b[3] = 0.0f;
    b[7] = std::nanf("");
    const program_result r = compare(a, b);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("/genout.dat: 12 samples, 12 non-zero and finite\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/genout.dat: 12 samples, 10 non-zero and finite\n"), std::string::npos) << r.out;
}

TEST(DeviceCheckCompare, AMissingFileIsNoComparison)
{
    const program_result r = compare(frames(), frames(), false);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("/genout.dat: No such file or directory\n"), std::string::npos) << r.out;
}

} // namespace
