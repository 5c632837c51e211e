// genout.dat stays whole and true however a run ends: a failed runtime call,
// a stop signal, a second run in the same directory, or genout.dat that is
// one of the run's own input files.
#include "genout_checks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

// Runs the program on `set` with genout.dat a FIFO that a reader drains
// slowly, so that the run's writer thread is nearly always inside a write;
// returns the result and everything the FIFO carried.
std::pair<program_result, std::vector<float>> run_into_slow_fifo(const input_set& set, const environment& env)
{
    const scratch_dir scratch("integrity_fifo");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    genout_fifo fifo(dir, SIZE_MAX, genout_fifo::hold, 1000);
    const program_result result = run_program(program, dir, env);
    return {result, fifo.finish()};
}

// A runtime call that fails ends the run only after the writer has written
// every frame handed to it: no frame is cut, repeated or false.
TEST(GenoutIntegrity, FailedRunKeepsWholeTrueFrames)
{
    const int nT = 12;
    const input_set set = large_frame_set(nT, 1 << 18);
    const run_output reference = run_case(program, set, host_environment(2), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    ASSERT_EQ(reference.genout.size(), nT * frame_floats(set));
    // Six peer copies a step on 2 GPUs: copy N fails in step (N - 1) / 6, after
    // the frames of the steps before it. The first cudaFreeHost is in the
    // teardown, after every frame.
    const struct {
        const char* fault;
        size_t frames;
    } rows[] = {{"cudaMemcpyPeerAsync:1", 0},  {"cudaMemcpyPeerAsync:20", 3}, {"cudaMemcpyPeerAsync:39", 6},
                {"cudaMemcpyPeerAsync:71", 11}, {"cudaFreeHost", 12}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.fault);
        environment env = host_environment(2);
        env.push_back({"TESSARO_HOST_FAIL", r.fault});
        const auto out = run_into_slow_fifo(set, env);
        EXPECT_EQ(out.first.status, 1);
        EXPECT_EQ(out.first.err.rfind("Error: ", 0), 0u) << out.first.err;
        expect_true_frames(out.second, reference.genout, frame_floats(set), r.frames);
    }
}

// SIGTERM, SIGINT and SIGHUP stop the run at a step boundary: the writer
// finishes, genout.dat keeps whole true frames, one line says what happened,
// and the process ends by the same signal. A stop signal within 2 s of the
// first belongs to the same request: a group signal with a direct one, or
// timeout's direct one and then its group's. The run is held with SIGSTOP
// while the signals are sent, so that it cannot end first (two different
// signals, since identical ones would merge there), or runs on (two SIGTERMs).
TEST(GenoutIntegrity, StopSignalLeavesWholeTrueFrames)
{
    input_set set = large_frame_set(40);
    set.modT = 2;
    const run_output reference = run_case(program, set, host_environment(1), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    const struct {
        int signal;
        int group_signal; // 0: none
        bool held;        // sent while the run is held with SIGSTOP
        size_t frames_seen; // frames in the file when the signals are sent
    } rows[] = {{SIGTERM, 0, true, 0},        {SIGTERM, 0, true, 5},        {SIGINT, 0, true, 2},
                {SIGHUP, 0, true, 12},        {SIGINT, SIGTERM, true, 0},   {SIGTERM, SIGHUP, true, 6},
                {SIGHUP, SIGINT, true, 12},   {SIGTERM, SIGTERM, false, 3}, {SIGTERM, SIGTERM, false, 10}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.signal) + " and " + std::to_string(r.group_signal) + " to the group after " +
                     std::to_string(r.frames_seen) + " frames" + (r.held ? ", held" : ""));
        const scratch_dir scratch("integrity_signal");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        child_setup setup;
        setup.own_process_group = true;
        const running_program child = start_program(program, dir, host_environment(1), setup);
        const std::string genout = dir + "/genout.dat";
        // The line comes once the stop signals are caught.
        ASSERT_TRUE(wait_for_text(child.out_path, "Starting time stepping loop..."));
        ASSERT_TRUE(wait_for_size(genout, r.frames_seen * frame * 4));
        if (r.held)
            kill(child.pid, SIGSTOP);
        kill(child.pid, r.signal);
        if (r.group_signal != 0)
            kill(-child.pid, r.group_signal);
        if (r.held)
            kill(child.pid, SIGCONT);
        const program_result result = finish_program(child);
        int steps = -1, total = -1;
        size_t frames = 0;
        const size_t line = result.err.find("Stopped by ");
        ASSERT_NE(line, std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("Stopped by ", line + 1), std::string::npos) << result.err;
        char name[8] = "";
        ASSERT_EQ(std::sscanf(result.err.c_str() + line, "Stopped by %7s after %d of %d steps: genout.dat holds %zu",
                              name, &steps, &total, &frames),
                  4)
            << result.err;
        // Either may be taken first; the run ends by the one that it names.
        int named = 0;
        for (int candidate : {r.signal, r.group_signal})
            if (candidate != 0 &&
                std::string(name) == (candidate == SIGINT ? "SIGINT" : candidate == SIGTERM ? "SIGTERM" : "SIGHUP"))
                named = candidate;
        ASSERT_NE(named, 0) << result.err;
        EXPECT_EQ(result.status, 128 + named) << result.err;
        EXPECT_EQ(total, 40);
        EXPECT_EQ(frames, static_cast<size_t>(steps + 1) / 2); // a frame at every even step done
        EXPECT_GE(frames, r.frames_seen);
        expect_true_frames(read_floats(genout), reference.genout, frame, frames);
    }
}

// A stop signal more than 2 s after the first is a new request and ends the
// run at once, here while the stop waits for a writer that genout.dat's
// reader holds up; a signal that the run was started to ignore (nohup) stays
// ignored.
TEST(GenoutIntegrity, LaterSignalEndsAtOnceAndIgnoredSignalsStayIgnored)
{
    input_set set = large_frame_set(20, 1 << 16);
    const run_output reference = run_case(program, set, host_environment(1), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    {
        SCOPED_TRACE("SIGINT 3.5 s after SIGTERM");
        const scratch_dir scratch("integrity_signals");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        genout_fifo fifo(dir, 4 * frame * 3 / 2);
        const running_program child = start_program(program, dir, host_environment(1));
        ASSERT_TRUE(fifo.wait_for(4 * frame * 3 / 2));
        kill(child.pid, SIGTERM);
        // Past the 2 s of one request even if the handler runs late under load.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        kill(child.pid, SIGINT);
        // Before the stop would give up on the writer, 10 s after SIGTERM.
        EXPECT_TRUE(ended_within(child, 5));
        const program_result result = finish_program(child);
        EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
        EXPECT_EQ(result.err.find("Stopped by"), std::string::npos) << result.err;
        expect_true_frames(whole_frames(fifo.finish(), frame), reference.genout, frame);
    }
    {
        SCOPED_TRACE("SIGHUP ignored");
        const scratch_dir scratch("integrity_signals");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        child_setup setup;
        setup.ignored_signals = {SIGHUP};
        const running_program child = start_program(program, dir, host_environment(1), setup);
        ASSERT_TRUE(wait_for_size(dir + "/genout.dat", 4 * frame));
        kill(child.pid, SIGSTOP);
        kill(child.pid, SIGHUP);
        kill(child.pid, SIGCONT);
        const program_result result = finish_program(child);
        EXPECT_EQ(result.err.find("Stopped by"), std::string::npos) << result.err;
        EXPECT_EQ(result.status, 0) << result.err;
        const std::vector<float> genout = read_floats(dir + "/genout.dat");
        EXPECT_EQ(genout.size(), reference.genout.size());
        expect_true_frames(genout, reference.genout, frame);
    }
}

// A second run in the directory of a running one leaves its genout.dat alone.
TEST(GenoutIntegrity, SecondRunInTheSameDirectoryIsRefused)
{
    const input_set set = large_frame_set(20);
    const run_output reference = run_case(program, set, host_environment(1), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const scratch_dir scratch("integrity_two_runs");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    const running_program first = start_program(program, dir, host_environment(1));
    ASSERT_TRUE(wait_for_size(dir + "/genout.dat", 4 * frame_floats(set)));
    kill(first.pid, SIGSTOP); // the first run stays inside its time loop
    const program_result second = run_program(program, dir, host_environment(1));
    kill(first.pid, SIGCONT);
    const program_result result = finish_program(first);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "Error: genout.dat is in use by another run\n");
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<float> genout = read_floats(dir + "/genout.dat");
    ASSERT_EQ(genout.size(), reference.genout.size());
    expect_true_frames(genout, reference.genout, frame_floats(set));
}

// genout.dat that is an input file, by a symbolic or a hard link, is refused
// before it is truncated.
TEST(GenoutIntegrity, GenoutThatIsAnInputFileIsRefused)
{
    input_set set = homogeneous_set(40, 24, 4);
    set.icc_add = {20, 12};
    set.divev_add = ricker(4, 25.0f, set.dT);
    set.outc = {24, 12};
    for (const char* input : {"rho.dat", "outc.dat", "nT.dat"})
        for (bool hard : {false, true}) {
            SCOPED_TRACE(std::string(input) + (hard ? " by a hard link" : " by a symbolic link"));
            const scratch_dir scratch("integrity_input");
            const std::string& dir = scratch.path;
            write_input_set(dir, set);
            const std::string before = read_bytes(dir + "/" + input);
            const std::string genout = dir + "/genout.dat";
            ASSERT_EQ(hard ? link((dir + "/" + input).c_str(), genout.c_str()) : symlink(input, genout.c_str()), 0);
            const program_result result = run_program(program, dir, host_environment(1));
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, std::string("Error: genout.dat is the input file ") + input + "\n");
            EXPECT_EQ(read_bytes(dir + "/" + input), before);
        }
    // A device is no file to destroy: the unused c.dat and genout.dat may both be /dev/null.
    const scratch_dir scratch("integrity_input");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    std::remove((dir + "/c.dat").c_str());
    ASSERT_EQ(symlink("/dev/null", (dir + "/c.dat").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir + "/genout.dat").c_str()), 0);
    const program_result result = run_program(program, dir, host_environment(1));
    EXPECT_EQ(result.status, 0) << result.err;
}

} // namespace
