// Every runtime call that the programs make can fail: TESSARO_HOST_FAIL makes
// its first, a middle and its last call fail, and the run ends as that failure
// is designed to end it, in bounded time, with genout.dat holding only whole
// frames, each the undisturbed run's frame of its index.
#include "program_cases.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How the run ends when `call` fails: its status, and the lines that it adds
// on standard error (regular expressions, in order), at the first call and at
// the later ones.
struct designed_end {
    const char* call;
    int status;
    std::vector<std::string> first_err, later_err;
};

const std::string named = "failed( on GPU [0-9])?: unknown error";

std::vector<std::string> error_of(const std::string& call) { return {"Error: " + call + " " + named}; }

designed_end fatal(const char* call) { return {call, 1, error_of(call), error_of(call)}; }

// Calls whose failure the run survives or reports otherwise; every other call
// ends it with "Error: CALL failed on GPU k: unknown error" and status 1.
std::vector<designed_end> designed_ends(bool peer_access_required)
{
    const std::vector<std::string> peer_warning = {
        "Warning: GPU [0-9] could not enable peer access to GPU [0-9]: unknown error"};
    std::vector<std::string> peer_refusal = peer_warning;
    peer_refusal.push_back("The Multi-GPU feature requires peer access to the GPUs.");
    peer_refusal.push_back("Peer access not supported. Exiting.");
    const std::vector<std::string> launch = {
        "Error: (source kernel|update kernel|sampling kernel|proceed_time) launch " + named};
    return {
        {"cudaGetDeviceCount", 1,
         {"Error: no usable GPU: cudaGetDeviceCount failed \\(unknown error\\); at least 1 GPU is needed"}, {}},
        // the query's result is not needed: the report shows 0 / 0 GB
        {"cudaMemGetInfo", 0, {}, {}},
        // called to clear a tolerated error; its own result is not examined
        {"cudaGetLastError", 0, {}, {}},
        {"cudaDeviceEnablePeerAccess", peer_access_required ? 1 : 0,
         peer_access_required ? peer_refusal : peer_warning, peer_access_required ? peer_refusal : peer_warning},
        // the writer's first slot: the writer cannot start
        {"cudaMallocHost", 1, {"Failed to initialize float writer: Cannot allocate memory"}, error_of("cudaMallocHost")},
        {"cudaLaunchKernel", 1, launch, launch},
        fatal("cudaSetDevice"), fatal("cudaDeviceGetStreamPriorityRange"), fatal("cudaStreamCreateWithPriority"),
        fatal("cudaDeviceCanAccessPeer"), fatal("cudaMallocAsync"), fatal("cudaMemsetAsync"),
        fatal("cudaMemcpyAsync"), fatal("cudaStreamSynchronize"), fatal("cudaMalloc"), fatal("cudaMemcpy"),
        fatal("cudaMemcpyPeerAsync"), fatal("cudaDeviceSynchronize"), fatal("cudaFreeHost"), fatal("cudaFree"),
        fatal("cudaStreamDestroy"), fatal("cudaDeviceGetDefaultMemPool"), fatal("cudaMemPoolSetAccess"),
    };
}

// Calls of each runtime function in a trace, kernel launches as cudaLaunchKernel.
std::map<std::string, size_t> count_calls(const std::vector<std::string>& lines)
{
    std::map<std::string, size_t> counts;
    for (const std::string& line : lines) {
        const std::string head = line.substr(0, line.find(' '));
        ++counts[head == "launch" ? "cudaLaunchKernel" : head];
    }
    return counts;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct program_case {
    const char* name;
    std::string path;
    bool peer_access_required;
};

TEST(FailureInjection, EveryRuntimeCallOfBothProgramsFailsCleanly)
{
    const unsigned time_limit_s = 60; // a run takes milliseconds
    // 2 GPUs, memory saving on: peer copies and per-step uploads; 4 frames of 3 samples.
    input_set set = homogeneous_set(40, 24, 4);
    set.modT = 1;
    set.icc_add = {20, 12};
    set.divev_add = ricker(4, 25.0f, set.dT);
    set.outc = {10, 12, 30, 12, 20, 14};
    const size_t frame_bytes = 4 * set.outc.size() / 2;
    const environment env = host_environment(2, "eager", true);
    const std::string notice = "DIVEV_MEMORY_SAVING enabled: divev stays on CPU, slice transferred per step";
    const program_case programs[] = {{"exponential", TESSARO_EXPONENTIAL_PROGRAM, false},
                                     {"two-relaxation", TESSARO_RELAXATION_PROGRAM, true}};
    for (const program_case& p : programs) {
        SCOPED_TRACE(p.name);
        const scratch_dir traces("injection_trace");
        environment traced = env;
        traced.push_back({"TESSARO_HOST_TRACE", traces.path + "/trace"});
        const run_output reference = run_case(p.path, set, traced, "injection_ref");
        ASSERT_EQ(reference.result.status, 0) << reference.result.err;
        ASSERT_EQ(reference.genout.size(), 4u * 3);
        const std::string expected_genout = read_bytes(reference.dir.path + "/genout.dat");
        std::map<std::string, size_t> calls = count_calls(read_lines(traces.path + "/trace"));

        for (const designed_end& d : designed_ends(p.peer_access_required)) {
            const size_t made = calls[d.call];
            calls.erase(d.call);
            EXPECT_GT(made, 0u) << d.call << " is not made by the program";
            for (size_t n : std::set<size_t>{1, (made + 1) / 2, made}) {
                const std::string fault = std::string(d.call) + ":" + std::to_string(n);
                SCOPED_TRACE(fault + " of " + std::to_string(made));
                const scratch_dir dir("injection");
                write_input_set(dir.path, set);
                environment failing = env;
                failing.push_back({"TESSARO_HOST_FAIL", fault});
                child_setup setup;
                setup.time_limit_s = time_limit_s;
                const program_result r = run_program(p.path, dir.path, failing, setup);
                ASSERT_NE(r.status, 128 + SIGALRM) << "no end within " << time_limit_s << " s";
                EXPECT_EQ(r.status, d.status) << r.err;
                const std::vector<std::string>& expected = n == 1 ? d.first_err : d.later_err;
                std::vector<std::string> err = lines_of(r.err);
                if (!err.empty() && err.front() == notice)
                    err.erase(err.begin());
                EXPECT_EQ(err.size(), expected.size()) << r.err;
                for (size_t i = 0; i < err.size() && i < expected.size(); ++i)
                    EXPECT_TRUE(std::regex_match(err[i], std::regex(expected[i]))) << err[i];
                const std::string genout = read_bytes(dir.path + "/genout.dat");
                EXPECT_EQ(genout.size() % frame_bytes, 0u) << "a frame is cut";
                EXPECT_EQ(genout, expected_genout.substr(0, genout.size())) << "a frame is not the undisturbed one";
                // a run that fails in its teardown has written every frame
                if (d.status == 0 || r.out.find("\nDone.\n") != std::string::npos) {
                    EXPECT_EQ(genout, expected_genout);
                }
            }
        }
        for (const auto& missing : calls)
            ADD_FAILURE() << missing.first << " (" << missing.second << " calls) has no designed end";
    }
}

} // namespace
