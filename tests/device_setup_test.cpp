// Device set-up through the host runtime's trace: streams and priorities, peer
// access with access to the peer's memory pool, allocations, clears and
// uploads per GPU in order, the final waits.
#include "program_cases.h"
#include "device_setup.h"
#include "relaxation_model.h"
#include "startup.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

// rho(x, y) = 1000 + x tells from which host row an upload starts.
input_set setup_set()
{
    input_set s = homogeneous_set(100, 20, 1);
    s.nTic = 3;
    for (int x = 0; x < 100; ++x)
        for (int y = 0; y < 20; ++y)
            s.rho[static_cast<size_t>(x) * 20 + y] = 1000.0f + x;
    s.icc = {30, 10, 31, 10};
    s.divev.assign(6, 1.0f);
    s.icczero = {40, 10};
    s.icc_add = {50, 10};
    s.divev_add.assign(3, 1.0f);
    s.icc_u = {60, 10};
    s.divev_u.assign(3, 1.0f);
    s.icc_w = {70, 10, 71, 11, 72, 9};
    s.divev_w.assign(9, 1.0f);
    s.outc = {50, 10};
    return s;
}

// "call dev=.. stream=.. bytes=.." with only the named fields kept.
std::string keep(const std::string& line, const std::vector<std::string>& keys)
{
    std::string out = line.substr(0, line.find(' '));
    for (const std::string& k : keys) {
        const std::string v = trace_field(line, k);
        if (!v.empty())
            out += " " + k + "=" + v;
    }
    return out;
}

std::string hex_bits(float v)
{
    char text[16];
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    std::snprintf(text, sizeof text, "0x%08x", bits);
    return text;
}

std::vector<std::string> expected_setup(int gpus, const int* L, const int* gpu_start, bool saving)
{
    std::vector<std::string> e = {"cudaDeviceGetStreamPriorityRange dev=0"};
    auto bytes = [](long b) { return " bytes=" + std::to_string(b); };
    for (int k = 0; k < gpus; ++k) {
        const std::string dev = " dev=" + std::to_string(k);
        const std::string compute = " stream=" + std::to_string(5 * k + 1) + "/0";
        e.push_back("cudaSetDevice" + dev);
        for (int s = 0; s < 5; ++s)
            e.push_back("cudaStreamCreateWithPriority" + dev + " stream=" + std::to_string(5 * k + 1 + s) +
                        (s == 0 ? "/0" : "/-5"));
        for (int j = 0; j < gpus; ++j)
            if (j != k) {
                e.push_back("cudaDeviceCanAccessPeer" + dev + " peer=" + std::to_string(j));
                e.push_back("cudaDeviceEnablePeerAccess" + dev + " peer=" + std::to_string(j));
                e.push_back("cudaGetLastError" + dev); // no error left pending
                // GPU k may read and write the pool that GPU j's fields come from.
                e.push_back("cudaDeviceGetDefaultMemPool dev=" + std::to_string(j) + " pool=" + std::to_string(j));
                e.push_back("cudaMemPoolSetAccess pool=" + std::to_string(j) + " access=" + std::to_string(k) + ":rw");
            }
        const long window = 20L * L[k] * 4;
        // p u w rho K beta a_exp dmap dcmap, then divev icc icczero divev_add icc_add divev_u icc_u divev_w icc_w
        const long sizes[] = {2 * window, 2 * window, 2 * window, window, window, window, window, 72, window,
                              (saving ? 2 : 6) * 4L, 16, 8, (saving ? 1 : 3) * 4L, 8, (saving ? 1 : 3) * 4L, 8,
                              (saving ? 3 : 9) * 4L, 24};
        for (long b : sizes)
            e.push_back("cudaMallocAsync" + dev + compute + bytes(b));
        for (int i = 0; i < 3; ++i)
            e.push_back("cudaMemsetAsync" + dev + compute + bytes(2 * window));
        const std::string h2d = " kind=H2D";
        e.push_back("cudaMemcpyAsync" + dev + compute + h2d + bytes(window) + " head=" +
                    hex_bits(1000.0f + gpu_start[k]));
        for (int i = 0; i < 4; ++i)
            e.push_back("cudaMemcpyAsync" + dev + compute + h2d + bytes(window)); // K beta dcmap a_exp
        e.push_back("cudaMemcpyAsync" + dev + compute + h2d + bytes(72));
        const long families[][2] = {{6 * 4, 16}, {0, 8}, {3 * 4, 8}, {3 * 4, 8}, {9 * 4, 24}};
        for (int f = 0; f < 5; ++f) {
            if (families[f][0] && !saving)
                e.push_back("cudaMemcpyAsync" + dev + compute + h2d + bytes(families[f][0]));
            e.push_back("cudaMemcpyAsync" + dev + compute + h2d + bytes(families[f][1]));
        }
    }
    for (int k = 0; k < gpus; ++k) {
        e.push_back("cudaSetDevice dev=" + std::to_string(k));
        e.push_back("cudaStreamSynchronize dev=" + std::to_string(k) + " stream=" + std::to_string(5 * k + 1) + "/0");
        e.push_back("cudaStreamSynchronize dev=" + std::to_string(k) + " stream=" + std::to_string(5 * k + 2) +
                    "/-5");
    }
    return e;
}

TEST(DeviceSetup, PerGpuStreamsPeersAllocationsClearsUploadsThenWaits)
{
    const int L[] = {42, 49, 41}, gpu_start[] = {0, 26, 59};
    for (bool saving : {false, true}) {
        SCOPED_TRACE(saving ? "memory saving" : "time series on the GPUs");
        const scratch_dir scratch("setup");
        const std::string& dir = scratch.path;
        write_input_set(dir, setup_set());
        environment env = {{"TESSARO_HOST_GPUS", "3"}, {"TESSARO_HOST_TRACE", dir + "/trace"}};
        if (saving)
            env.push_back({"DIVEV_MEMORY_SAVING", "yes"});
        program_result r = run_program(program, dir, env);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = read_lines(dir + "/trace");
        std::vector<std::string> actual;
        for (const std::string& line : lines) {
            if (line.rfind("cudaMallocHost", 0) == 0)
                break; // the writer's slots follow the set-up
            if (line.rfind("cudaGetDeviceCount", 0) == 0)
                continue;
            actual.push_back(keep(line, {"dev", "stream", "peer", "pool", "access", "kind", "bytes", "head"}));
        }
        std::vector<std::string> expected = expected_setup(3, L, gpu_start, saving);
        ASSERT_EQ(actual.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            if (expected[i].find(" head=") == std::string::npos && actual[i].find(" head=") != std::string::npos)
                actual[i] = actual[i].substr(0, actual[i].find(" head="));
            EXPECT_EQ(actual[i], expected[i]) << "call " << i;
        }
        EXPECT_NE(r.out.find("Allocating memory.\n"), std::string::npos);
        const std::string peers = "GPU 0 enabled peer access to GPU 1\nGPU 0 enabled peer access to GPU 2\n"
                                  "GPU 1 enabled peer access to GPU 0\nGPU 1 enabled peer access to GPU 2\n"
                                  "GPU 2 enabled peer access to GPU 0\nGPU 2 enabled peer access to GPU 1\n"
                                  "Starting time stepping loop...\n";
        EXPECT_NE(r.out.find(peers), std::string::npos) << r.out;
    }
}

TEST(DeviceSetup, OneGpuQueriesNoPeer)
{
    const scratch_dir scratch("setup1");
    const std::string& dir = scratch.path;
    write_input_set(dir, setup_set());
    program_result r = run_program(program, dir, {{"TESSARO_HOST_TRACE", dir + "/trace"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(select_calls(read_lines(dir + "/trace"), {"cudaDeviceCanAccessPeer"}).empty());
    EXPECT_EQ(r.out.find("peer access"), std::string::npos);
}

// Pool access goes with peer access: none for a pair that cannot reach each
// other, or whose enabling failed (a warning, in the exponential program).
TEST(DeviceSetup, PoolAccessOnlyWherePeerAccessWasEnabled)
{
    const struct {
        const char* name;
        environment env;
        std::vector<std::string> grants; // "GPU -> pool's GPU", in order
    } rows[] = {
        {"no peer access between 0 and 2", {{"TESSARO_HOST_NO_PEER", "0-2"}}, {"0->1", "1->0", "1->2", "2->1"}},
        {"enabling 0 -> 2 fails", {{"TESSARO_HOST_FAIL", "cudaDeviceEnablePeerAccess:2"}},
         {"0->1", "1->0", "1->2", "2->0", "2->1"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const scratch_dir scratch("setup_pools");
        const std::string& dir = scratch.path;
        write_input_set(dir, setup_set());
        environment env = row.env;
        env.push_back({"TESSARO_HOST_GPUS", "3"});
        env.push_back({"TESSARO_HOST_TRACE", dir + "/trace"});
        const program_result r = run_program(program, dir, env);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> grants;
        for (const std::string& line : select_calls(read_lines(dir + "/trace"), {"cudaMemPoolSetAccess"})) {
            const std::string access = trace_field(line, "access");
            grants.push_back(access.substr(0, access.find(':')) + "->" + trace_field(line, "pool"));
            EXPECT_EQ(access.substr(access.find(':')), ":rw") << line;
        }
        EXPECT_EQ(grants, row.grants);
    }
}

// CUDA gives no memory for 0 bytes, so the programs ask for none and copy
// none: no output points at all, a GPU without output points, and time series
// of no samples leave those pointers null, and the runs still succeed.
TEST(DeviceSetup, NothingOfZeroBytesIsAllocatedOrCopied)
{
    struct row {
        const char* name;
        int gpus;
        void (*change)(input_set&);
        size_t frames;
    };
    const row rows[] = {
        {"no output points", 2, [](input_set& s) { s.outc.clear(); }, 0},
        {"output points on GPU 0 only", 3, [](input_set& s) { s.outc = {10, 10, 20, 5}; }, 1},
        {"series of no samples", 2,
         [](input_set& s) {
             s.nTic = 0;
             for (auto* v : {&s.divev, &s.divev_add, &s.divev_u, &s.divev_w})
                 v->clear();
         },
         1},
    };
    for (const char* path : {TESSARO_EXPONENTIAL_PROGRAM, TESSARO_RELAXATION_PROGRAM})
        for (const row& r : rows)
            for (bool saving : {false, true}) {
                SCOPED_TRACE(std::string(path) + ": " + r.name + (saving ? ", memory saving" : ""));
                input_set set = setup_set();
                r.change(set);
                const scratch_dir scratch("zero_bytes");
                const std::string& dir = scratch.path;
                write_input_set(dir, set);
                environment env = host_environment(r.gpus, "eager", saving);
                env.push_back({"TESSARO_HOST_TRACE", dir + "/trace"});
                const program_result result = run_program(path, dir, env);
                ASSERT_EQ(result.status, 0) << result.err;
                EXPECT_EQ(read_floats(dir + "/genout.dat").size(), r.frames * set.outc.size() / 2);
                const std::vector<std::string> lines = read_lines(dir + "/trace");
                ASSERT_FALSE(lines.empty());
                for (const std::string& line : lines)
                    EXPECT_NE(trace_field(line, "bytes"), "0") << line;
            }
}

// A pair whose peer access was enabled before counts as enabled: the program
// that needs peer access goes on, with the usual lines and no warning.
TEST(DeviceSetup, PeerAccessEnabledBeforeCountsAsEnabled)
{
    char home[4096];
    ASSERT_NE(getcwd(home, sizeof home), nullptr);
    const scratch_dir scratch("setup_enabled");
    const std::string& dir = scratch.path;
    write_input_set(dir, setup_set());
    ASSERT_EQ(chdir(dir.c_str()), 0);
    setenv("TESSARO_HOST_GPUS", "2", 1);
    host_runtime::reset();
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaDeviceEnablePeerAccess(0, 0), cudaSuccess);

    static host_inputs in;
    static decomposition d;
    static device_state st;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int started = start_up(relaxation_model, &in, &d);
    const int set_up = started == 0 ? set_up_devices(relaxation_model, in, d, &st) : -1;
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(set_up, 0);
    EXPECT_EQ(err, "");
    EXPECT_NE(out.find("GPU 0 enabled peer access to GPU 1\nGPU 1 enabled peer access to GPU 0\n"), std::string::npos)
        << out;

    unsetenv("TESSARO_HOST_GPUS");
    host_runtime::reset();
    EXPECT_EQ(chdir(home), 0);
}

} // namespace
