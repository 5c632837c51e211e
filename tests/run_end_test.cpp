// How a run ends when its output blocks or goes away: a stop is not held up
// by a full console or a stalled genout.dat, a console or FIFO whose reader
// has gone changes nothing but what it must, genout.dat on a device is shared
// by runs, and lines on standard error start on a line of their own.
#include "genout_checks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

// A pipe of one page for a child's standard output, so that it fills quickly.
struct console_pipe {
    int read_end = -1, write_end = -1;
    console_pipe()
    {
        int ends[2];
        EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
        read_end = ends[0];
        write_end = ends[1];
        EXPECT_EQ(fcntl(write_end, F_SETPIPE_SZ, 4096), 4096);
    }
    ~console_pipe()
    {
        close_write_end();
        if (read_end >= 0)
            close(read_end);
    }
    void close_write_end()
    {
        if (write_end >= 0)
            close(write_end);
        write_end = -1;
    }
    int held() const
    {
        int bytes = 0;
        ioctl(read_end, FIONREAD, &bytes);
        return bytes;
    }
};

// True while the main thread of process `pid` is blocked writing to `fd`.
bool blocked_writing(int pid, int fd)
{
    std::ifstream calls("/proc/" + std::to_string(pid) + "/syscall");
    long call = -1;
    std::string first;
    calls >> call >> first;
    std::ostringstream expected;
    expected << "0x" << std::hex << fd;
    return call == SYS_write && first == expected.str();
}

// A small run of many steps and one frame per `modT` steps.
input_set long_run(int nT, int modT)
{
    input_set s = homogeneous_set(40, 24, nT);
    s.nTic = 10;
    s.modT = modT;
    s.icc_add = {20, 12};
    s.divev_add = ricker(10, 25.0f, s.dT);
    s.outc = {20, 12, 24, 12};
    return s;
}

// Standard output is a pipe that nobody reads; the main thread blocks in a
// console write, and SIGTERM still ends the run within the bound, with its
// line. The pipe fills in the time loop, or (nT <= 0) the test fills it ahead
// of the run so that the first write after the stop signals are caught blocks.
TEST(RunEnd, StopIsNotHeldUpByAFullConsole)
{
    const struct {
        int nT, modT;
        bool filled_ahead;
        const char* line_end;
    } rows[] = {{1000000, 1000000, false, " of 1000000 steps: genout.dat holds 1 whole frame\n"},
                {-3, 1, true, " of -3 steps: genout.dat holds 0 whole frames\n"}};
    for (const auto& r : rows) {
        SCOPED_TRACE("nT " + std::to_string(r.nT));
        const input_set set = long_run(r.nT, r.modT);
        console_pipe console;
        if (r.filled_ahead) {
            // What the run writes before it catches the stop signals fills the pipe to the brim.
            const run_output reference = run_case(program, set, host_environment(1), "run_end_ref");
            const size_t before = reference.result.out.find("Starting time stepping loop...");
            ASSERT_NE(before, std::string::npos);
            const std::string filler(4096 - before, 'x');
            ASSERT_EQ(write(console.write_end, filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
        }
        const scratch_dir scratch("run_end_console");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        child_setup setup;
        setup.stdout_fd = console.write_end;
        const running_program child = start_program(program, dir, host_environment(1), setup);
        console.close_write_end();
        if (!r.filled_ahead) {
            ASSERT_TRUE(wait_for_size(dir + "/genout.dat", 4 * frame_floats(set)));
        }
        ASSERT_TRUE(wait_until([&] { return blocked_writing(child.pid, 1); })) << console.held() << " bytes held";
        kill(child.pid, SIGTERM);
        EXPECT_TRUE(ended_within(child, 10));
        const program_result result = finish_program(child);
        EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
        const std::string head = "Stopped by SIGTERM after ";
        EXPECT_EQ(result.err.rfind(head, 0), 0u) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        ASSERT_GE(result.err.size(), std::strlen(r.line_end));
        EXPECT_EQ(result.err.substr(result.err.size() - std::strlen(r.line_end)), r.line_end) << result.err;
    }
}

// genout.dat's reader stops reading in the middle of a frame: after SIGTERM
// the run waits for the writer while it makes progress, gives up once it has
// made none for 10 s, says what the file holds and ends by the signal.
TEST(RunEnd, StopGivesUpOnAStalledWriter)
{
    const input_set set = large_frame_set(20);
    const run_output reference = run_case(program, set, host_environment(1), "run_end_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    const scratch_dir scratch("run_end_stalled");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    genout_fifo fifo(dir, 4 * frame * 3 / 2);
    const running_program child = start_program(program, dir, host_environment(1));
    ASSERT_TRUE(fifo.wait_for(4 * frame * 3 / 2));
    const auto stopped = std::chrono::steady_clock::now();
    kill(child.pid, SIGTERM);
    EXPECT_TRUE(ended_within(child, 30));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    const program_result result = finish_program(child);
    EXPECT_GE(waited, 9.5);
    EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
    int steps = -1;
    char rest[256] = "";
    ASSERT_EQ(std::sscanf(result.err.c_str(), "Stopped by SIGTERM after %d of 20 steps: %255[^\n]", &steps, rest), 2)
        << result.err;
    EXPECT_EQ(std::string(rest),
              "genout.dat holds 1 whole frame, then perhaps part of a frame whose write made no progress for 10 s");
    expect_true_frames(whole_frames(fifo.finish(), frame), reference.genout, frame, 1);
}

// A stop that comes while the teardown waits for the writer (genout.dat's
// reader holds it up) ends the run once every frame is written; "Done." is
// the last line on standard output.
TEST(RunEnd, StopDuringTheTeardownFollowsDone)
{
    const input_set set = large_frame_set(2);
    const run_output reference = run_case(program, set, host_environment(1), "run_end_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const scratch_dir scratch("run_end_teardown");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    genout_fifo fifo(dir, 0);
    const running_program child = start_program(program, dir, host_environment(1));
    ASSERT_TRUE(wait_for_text(child.out_path, "Done."));
    kill(child.pid, SIGTERM);
    fifo.resume();
    EXPECT_TRUE(ended_within(child, 60));
    const program_result result = finish_program(child);
    EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
    EXPECT_EQ(result.err, "Stopped by SIGTERM after 2 of 2 steps: genout.dat holds 2 whole frames\n");
    const std::string last = "1.000\nDone.\n";
    ASSERT_GE(result.out.size(), last.size());
    EXPECT_EQ(result.out.substr(result.out.size() - last.size()), last);
    expect_true_frames(fifo.finish(), reference.genout, frame_floats(set), 2);
}

// SIGPIPE does not end a run: standard output whose reader has gone (| head)
// changes nothing, a genout.dat FIFO whose reader has gone leaves the file
// incomplete, with the warning and the error line.
TEST(RunEnd, ClosedPipesChangeNothingButGenout)
{
    const input_set set = large_frame_set(40, 1 << 14);
    const run_output reference = run_case(program, set, host_environment(1), "run_end_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    {
        SCOPED_TRACE("standard output | head -c 20");
        const scratch_dir scratch("run_end_head");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        console_pipe console;
        child_setup setup;
        setup.stdout_fd = console.write_end;
        const running_program child = start_program(program, dir, host_environment(1), setup);
        console.close_write_end();
        char head[20];
        for (size_t got = 0; got < sizeof head;) {
            const ssize_t n = read(console.read_end, head + got, sizeof head - got);
            ASSERT_GT(n, 0);
            got += static_cast<size_t>(n);
        }
        close(console.read_end);
        console.read_end = -1;
        const program_result result = finish_program(child);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const std::vector<float> genout = read_floats(dir + "/genout.dat");
        EXPECT_EQ(genout.size(), reference.genout.size());
        expect_true_frames(genout, reference.genout, frame);
    }
    {
        SCOPED_TRACE("genout.dat a FIFO whose reader quits");
        const scratch_dir scratch("run_end_quit");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        genout_fifo fifo(dir, 4 * frame * 3 / 2, genout_fifo::quit);
        const program_result result = run_program(program, dir, host_environment(1));
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.err.rfind("Warning: Only wrote ", 0), 0u) << result.err;
        const std::string error = "Error: genout.dat is incomplete: a write, flush, sync or close of it failed\n";
        ASSERT_GE(result.err.size(), error.size());
        EXPECT_EQ(result.err.substr(result.err.size() - error.size()), error);
        expect_true_frames(whole_frames(fifo.finish(), frame), reference.genout, frame, 1);
    }
}

// genout.dat linked to /dev/null (a run timed without its output) is not
// locked: two such runs at once both complete.
TEST(RunEnd, GenoutOnADeviceIsSharedByRuns)
{
    const input_set set = long_run(20000, 100); // long enough to be held while the other runs
    const scratch_dir scratch[2] = {scratch_dir("run_end_device"), scratch_dir("run_end_device")};
    const std::string dirs[2] = {scratch[0].path, scratch[1].path};
    for (const std::string& dir : dirs) {
        write_input_set(dir, set);
        ASSERT_EQ(symlink("/dev/null", (dir + "/genout.dat").c_str()), 0);
    }
    const running_program first = start_program(program, dirs[0], host_environment(1));
    ASSERT_TRUE(wait_for_text(first.out_path, "Starting time stepping loop..."));
    kill(first.pid, SIGSTOP); // it holds genout.dat open, inside its time loop
    const program_result second = run_program(program, dirs[1], host_environment(1));
    kill(first.pid, SIGCONT);
    const program_result result = finish_program(first);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(result.status, 0) << result.err;
}

// A regular genout.dat is synced before it is closed: a sync that fails
// leaves the run incomplete (status 1, the error last), its frames whole and
// true.
TEST(RunEnd, FailedSyncLeavesTheRunIncomplete)
{
    const input_set set = large_frame_set(6, 1 << 12);
    const run_output reference = run_case(program, set, host_environment(1), "run_end_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    environment env = host_environment(1);
    env.push_back({"TESSARO_HOST_FAIL", "genout_sync"});
    const run_output out = run_case(program, set, env, "run_end_sync");
    EXPECT_EQ(out.result.status, 1);
    EXPECT_EQ(out.result.err, "Error: genout.dat is incomplete: a write, flush, sync or close of it failed\n");
    EXPECT_EQ(out.result.out.substr(out.result.out.size() - 7), "\nDone.\n");
    expect_true_frames(out.genout, reference.genout, frame_floats(set), 6);
}

// With standard output and error in one file, every "Error: " and
// "Warning: " line starts a line of its own, and progress figures after one
// begin the progress line again.
TEST(RunEnd, MessagesStartOnTheirOwnLine)
{
    const input_set set = large_frame_set(20, 1 << 12);
    const struct {
        const char* name;
        int gpus;
        const char* threads;
        const char* fault;
        bool full_device;
        int status;
        const char* message;
    } rows[] = {
        {"failed peer copy", 2, "2", "cudaMemcpyPeerAsync:20", false, 1, "Error: cudaMemcpyPeerAsync failed on GPU "},
        {"launch thread refused", 1, "4", "launch_thread", false, 0,
         "Warning: host runtime: launch thread 1 of 3 could not be started"},
        {"genout.dat on a full device", 1, "2", nullptr, true, 1, "Warning: Only wrote "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const scratch_dir scratch("run_end_messages");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        if (r.full_device) {
            ASSERT_EQ(symlink("/dev/full", (dir + "/genout.dat").c_str()), 0);
        }
        environment env = host_environment(r.gpus);
        for (auto& setting : env)
            if (setting.first == "TESSARO_HOST_THREADS")
                setting.second = r.threads;
        if (r.fault != nullptr)
            env.push_back({"TESSARO_HOST_FAIL", r.fault});
        const std::string both = dir + "/console";
        child_setup setup;
        setup.stdout_fd = setup.stderr_fd = open(both.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(setup.stdout_fd, 0);
        const program_result result = run_program(program, dir, env, setup);
        close(setup.stdout_fd);
        EXPECT_EQ(result.status, r.status);
        const std::string console = read_bytes(both);
        const size_t message = console.find(r.message);
        ASSERT_NE(message, std::string::npos) << console;
        std::istringstream lines(console);
        bool after_message = false;
        for (std::string line; std::getline(lines, line);) {
            for (const char* kind : {"Error: ", "Warning: "}) {
                const size_t at = line.find(kind);
                EXPECT_TRUE(at == std::string::npos || at == 0) << line;
            }
            if (after_message && line.find('\b') != std::string::npos) {
                EXPECT_EQ(line.rfind("Progress :      \b\b\b\b\b", 0), 0u) << line;
            }
            after_message = line.rfind("Error: ", 0) == 0 || line.rfind("Warning: ", 0) == 0;
        }
        // The host runtime's warning comes at start-up, before the time loop.
        if (r.fault != nullptr && std::string(r.fault) == "launch_thread") {
            EXPECT_LT(message, console.find("Starting time stepping loop...")) << console;
        }
    }
}

} // namespace
