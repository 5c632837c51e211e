// Logical GPUs (TESSARO_LOGICAL_GPUS): simulated devices presented as more
// GPUs give the genout.dat of as many simulated GPUs, byte for byte, with the
// peer copies between GPUs of one device made device-local copies; the
// setting is a number from 1 to 16, and the 8-GPU cap applies to it.
#include "program_cases.h"
#include "trace.h"

#include <gtest/gtest.h>

namespace {

const struct {
    const char* name;
    const char* path;
} programs[] = {{"exponential", TESSARO_EXPONENTIAL_PROGRAM}, {"two-relaxation", TESSARO_RELAXATION_PROGRAM}};

// The device check's second case: sources next to the GPU boundaries, a
// frame every third step; odd sizes.
const int nX = 153, nY = 91, nT = 45;

struct traced_run {
    std::string genout;
    std::vector<std::string> trace;
};

traced_run run_traced(const std::string& program, const environment& env)
{
    const scratch_dir scratch = write_check_case(2, nX, nY, nT);
    const std::string& dir = scratch.path;
    environment with_trace = env;
    with_trace.push_back({"TESSARO_HOST_TRACE", dir + "/trace"});
    const program_result r = run_program(program, dir, with_trace);
    EXPECT_EQ(r.status, 0) << r.err;
    return {read_bytes(dir + "/genout.dat"), read_lines(dir + "/trace")};
}

size_t count_calls(const std::vector<std::string>& trace, const std::string& call, const std::string& kind = "")
{
    size_t n = 0;
    for (const std::string& line : select_calls(trace, {call}))
        n += kind.empty() || trace_field(line, "kind") == kind;
    return n;
}

TEST(LogicalGpus, OneDeviceAsSeveralGpusWritesTheGenoutOfAsManyDevices)
{
    const struct {
        int devices, logical;
    } rows[] = {{1, 2}, {1, 3}, {2, 3}};
    for (const auto& p : programs)
        for (const char* schedule : {"eager", "deferred"})
            for (const auto& row : rows) {
                SCOPED_TRACE(std::string(p.name) + ", " + schedule + ": " + std::to_string(row.devices) +
                             " simulated as " + std::to_string(row.logical));
                const traced_run expected = run_traced(p.path, host_environment(row.logical, schedule));
                environment env = host_environment(row.devices, schedule);
                env.push_back({"TESSARO_LOGICAL_GPUS", std::to_string(row.logical)});
                const traced_run logical = run_traced(p.path, env);
                size_t zeros = 0;
                for (size_t i = 0; i + 4 <= expected.genout.size(); i += 4)
                    zeros += expected.genout.compare(i, 4, std::string(4, '\0')) == 0;
                ASSERT_GT(expected.genout.size(), 0u);
                EXPECT_LT(2 * zeros, expected.genout.size() / 4) << "too few non-zero samples";
                EXPECT_TRUE(logical.genout == expected.genout) << "genout.dat differs";

                const size_t exchanged = count_calls(expected.trace, "cudaMemcpyPeerAsync");
                EXPECT_GT(exchanged, 0u);
                EXPECT_EQ(count_calls(expected.trace, "cudaMemcpyAsync", "D2D"), 0u);
                if (row.devices == 1) {
                    // Every exchange a copy within device 0 on the sender's stream; nothing to enable.
                    EXPECT_EQ(count_calls(logical.trace, "cudaMemcpyPeerAsync"), 0u);
                    EXPECT_EQ(count_calls(logical.trace, "cudaMemcpyAsync", "D2D"), exchanged);
                    for (const char* call : {"cudaDeviceCanAccessPeer", "cudaDeviceEnablePeerAccess",
                                             "cudaDeviceGetDefaultMemPool", "cudaMemPoolSetAccess"})
                        EXPECT_EQ(count_calls(logical.trace, call), 0u) << call;
                    for (const std::string& line : logical.trace) {
                        if (!trace_field(line, "dev").empty()) {
                            ASSERT_EQ(trace_field(line, "dev"), "0") << line;
                        }
                    }
                } else {
                    // GPU 2 on device 0: neighbours are on other devices, named by device.
                    EXPECT_EQ(count_calls(logical.trace, "cudaMemcpyAsync", "D2D"), 0u);
                    const std::vector<std::string> copies = select_calls(logical.trace, {"cudaMemcpyPeerAsync"});
                    EXPECT_EQ(copies.size(), exchanged);
                    for (const std::string& line : copies)
                        EXPECT_NE(trace_field(line, "dst_dev"), trace_field(line, "src_dev")) << line;
                }
            }
}

TEST(LogicalGpus, TheSettingIsANumberFrom1To16AndTheCapApplies)
{
    const struct {
        const char* value;
        int status;
        const char* out;  // a line of standard output
        const char* err;  // all of standard error
    } rows[] = {
        {"", 0, "Number of GPUs: 1\n", ""},
        {"1", 0, "TESSARO_LOGICAL_GPUS=1: GPU k runs on device k mod 1\nNumber of GPUs: 1\n", ""},
        {"03", 0, "TESSARO_LOGICAL_GPUS=3: GPU k runs on device k mod 1\nNumber of GPUs: 3\n", ""},
        {"9", 0, "TESSARO_LOGICAL_GPUS=9: GPU k runs on device k mod 1\nNumber of GPUs: 8\n",
         "Warning: 9 GPUs found; using the first 8 (at most 8 are supported)\n"},
        {"0", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not '0'\n"},
        {"17", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not '17'\n"},
        {"-2", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not '-2'\n"},
        {"3x", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not '3x'\n"},
        {" 3", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not ' 3'\n"},
        {"99999999999", 1, nullptr, "Error: TESSARO_LOGICAL_GPUS must be a number from 1 to 16, not '99999999999'\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("TESSARO_LOGICAL_GPUS='") + row.value + "'");
        const scratch_dir scratch = write_check_case(2, nX, nY, 3);
        const std::string& dir = scratch.path;
        const program_result r =
            run_program(TESSARO_EXPONENTIAL_PROGRAM, dir, {{"TESSARO_LOGICAL_GPUS", row.value}});
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        if (row.out != nullptr) {
            EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find("Number of GPUs"), std::string::npos) << r.out;
        }
        if (*row.value == '\0') {
            EXPECT_EQ(r.out.find("TESSARO_LOGICAL_GPUS"), std::string::npos) << r.out;
        }
        EXPECT_EQ(file_exists(dir + "/genout.dat"), row.status == 0);
    }
}

} // namespace
