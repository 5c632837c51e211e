// genout.dat stays whole and true however a run ends: a failed runtime call,
// a stop signal, a second run in the same directory, or genout.dat that is
// one of the run's own input files.
#include "program_cases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string program = TESSARO_EXPONENTIAL_PROGRAM;

// Frames of `points` output points over the interior of a small grid (4 MB by
// default) that change from step to step.
input_set large_frame_set(int nT, int points = 1 << 20)
{
    input_set s = homogeneous_set(40, 24, nT);
    s.icc_add = {20, 12};
    s.divev_add = ricker(nT, 25.0f, s.dT);
    for (int i = 0; i < points; ++i)
        s.outc.insert(s.outc.end(), {8 + i % 24, 8 + i / 24 % 8});
    return s;
}

size_t frame_floats(const input_set& set) { return set.outc.size() / 2; }

// Every frame of `genout` is whole and equals the reference frame of its index.
void expect_true_frames(const std::vector<float>& genout, const std::vector<float>& reference, size_t frame,
                        size_t whole_frames_expected = SIZE_MAX)
{
    ASSERT_EQ(genout.size() % frame, 0u) << "a frame is cut";
    const size_t frames = genout.size() / frame;
    ASSERT_LE(frames, reference.size() / frame);
    if (whole_frames_expected != SIZE_MAX) {
        EXPECT_EQ(frames, whole_frames_expected);
    }
    for (size_t f = 0; f < frames; ++f) {
        for (size_t i = 0; i < frame; ++i) {
            if (float_bits(genout[f * frame + i]) != float_bits(reference[f * frame + i])) {
                ADD_FAILURE() << "frame " << f << " of " << frames << " differs at slot " << i;
                return;
            }
        }
    }
}

// Waits until `ready()` holds; false after 60 s.
template <typename Ready> bool wait_until(Ready ready)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits until the file exists and holds at least `bytes`; false after 60 s.
bool wait_for_size(const std::string& path, size_t bytes)
{
    struct stat info;
    return wait_until([&] { return stat(path.c_str(), &info) == 0 && static_cast<size_t>(info.st_size) >= bytes; });
}

// Waits until the file holds `text`; false after 60 s.
bool wait_for_text(const std::string& path, const std::string& text)
{
    return wait_until([&] { return read_bytes(path).find(text) != std::string::npos; });
}

// Runs the program on `set` with genout.dat a FIFO that a reader drains
// slowly, so that the run's writer thread is nearly always inside a write;
// returns the result and everything the FIFO carried.
std::pair<program_result, std::vector<float>> run_into_slow_fifo(const input_set& set, const environment& env)
{
    const scratch_dir scratch("integrity_fifo");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    const std::string fifo = dir + "/genout.dat";
    EXPECT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::string data;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        char chunk[65536];
        for (ssize_t got; fd >= 0 && (got = read(fd, chunk, sizeof chunk)) != 0;) {
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break;
            data.append(chunk, static_cast<size_t>(got));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (fd >= 0)
            close(fd);
    });
    const program_result result = run_program(program, dir, env);
    // A run that never opened genout.dat leaves the reader waiting for a writer.
    const int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0)
        close(unblock);
    reader.join();
    std::vector<float> genout(data.size() / 4);
    if (!genout.empty())
        std::memcpy(genout.data(), data.data(), genout.size() * 4);
    if (data.size() % 4 != 0)
        genout.push_back(0.0f); // a cut value makes a cut frame
    return {result, genout};
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
// and the process ends by the same signal. The run is held with SIGSTOP while
// the signal is sent, so that it cannot end first. It is sent once the run
// catches the signals, which it does before it prints "Starting time stepping
// loop..." (flushed with the memory report).
TEST(GenoutIntegrity, StopSignalLeavesWholeTrueFrames)
{
    input_set set = large_frame_set(40);
    set.modT = 2;
    const run_output reference = run_case(program, set, host_environment(1), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    const struct {
        int signal;
        const char* name;
        size_t frames_seen; // frames in the file when the signal is sent
    } rows[] = {{SIGTERM, "SIGTERM", 0}, {SIGTERM, "SIGTERM", 5}, {SIGINT, "SIGINT", 2}, {SIGHUP, "SIGHUP", 12}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " after " + std::to_string(r.frames_seen) + " frames");
        const scratch_dir scratch("integrity_signal");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        const running_program child = start_program(program, dir, host_environment(1));
        const std::string genout = dir + "/genout.dat";
        ASSERT_TRUE(wait_for_text(child.out_path, "Starting time stepping loop..."));
        ASSERT_TRUE(wait_for_size(genout, r.frames_seen * frame * 4));
        kill(child.pid, SIGSTOP);
        kill(child.pid, r.signal);
        kill(child.pid, SIGCONT);
        const program_result result = finish_program(child);
        EXPECT_EQ(result.status, 128 + r.signal) << result.err;
        int steps = -1, total = -1;
        size_t frames = 0;
        const std::string format = std::string("Stopped by ") + r.name + " after %d of %d steps: genout.dat holds %zu";
        const size_t line = result.err.find("Stopped by ");
        ASSERT_NE(line, std::string::npos) << result.err;
        ASSERT_EQ(std::sscanf(result.err.c_str() + line, format.c_str(), &steps, &total, &frames), 3) << result.err;
        EXPECT_EQ(total, 40);
        EXPECT_EQ(frames, static_cast<size_t>(steps + 1) / 2); // a frame at every even step done
        EXPECT_GE(frames, r.frames_seen);
        expect_true_frames(read_floats(genout), reference.genout, frame, frames);
    }
}

// A second stop signal ends the run at once; a signal that the run was
// started to ignore (nohup) stays ignored.
TEST(GenoutIntegrity, SecondSignalEndsAtOnceAndIgnoredSignalsStayIgnored)
{
    input_set set = large_frame_set(20, 1 << 16);
    const run_output reference = run_case(program, set, host_environment(1), "integrity_ref");
    ASSERT_EQ(reference.result.status, 0) << reference.result.err;
    const size_t frame = frame_floats(set);
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGHUP ignored" : "SIGINT and SIGTERM together");
        const scratch_dir scratch("integrity_signals");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        child_setup setup;
        if (ignored)
            setup.ignored_signals = {SIGHUP};
        const running_program child = start_program(program, dir, host_environment(1), setup);
        ASSERT_TRUE(wait_for_size(dir + "/genout.dat", 4 * frame));
        kill(child.pid, SIGSTOP);
        if (ignored) {
            kill(child.pid, SIGHUP);
        } else {
            kill(child.pid, SIGINT);
            kill(child.pid, SIGTERM);
        }
        kill(child.pid, SIGCONT);
        const program_result result = finish_program(child);
        EXPECT_EQ(result.err.find("Stopped by"), std::string::npos) << result.err;
        const std::vector<float> genout = read_floats(dir + "/genout.dat");
        if (ignored) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(genout.size(), reference.genout.size());
        } else {
            EXPECT_TRUE(result.status == 128 + SIGINT || result.status == 128 + SIGTERM) << result.status;
        }
        // Ending at once may cut the last frame; the whole ones before it are true.
        expect_true_frames(std::vector<float>(genout.begin(), genout.begin() + genout.size() / frame * frame),
                           reference.genout, frame);
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
