// The device check's comparison of two genout.dat (tessaro_example_inputs
// compare): byte for byte with any NaN equal to any NaN, the first
// difference by frame and slot with both values and their distance, and no
// verdict of "identical" for files with too few non-zero finite samples.
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
