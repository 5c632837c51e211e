// For tests of how a run ends: runs with large changing frames, checks that
// genout.dat holds whole true frames, waits for the state of a running
// program, and genout.dat as a FIFO that the test reads.
#pragma once

#include "program_cases.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Frames of `points` output points over the interior of a small grid (4 MB by
// default) that change from step to step.
input_set large_frame_set(int nT, int points = 1 << 20);

inline size_t frame_floats(const input_set& set) { return set.outc.size() / 2; }

// The whole frames at the start of `genout` (a cut one left out).
std::vector<float> whole_frames(const std::vector<float>& genout, size_t frame);

// Every frame of `genout` is whole and equals the reference frame of its index.
void expect_true_frames(const std::vector<float>& genout, const std::vector<float>& reference, size_t frame,
                        size_t whole_frames_expected = SIZE_MAX);

// Tests `ready` every millisecond until it holds; false after `seconds`.
template <typename Ready>
bool wait_until(Ready ready, int seconds = 60)
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Until the file exists and holds at least `bytes`; false after 60 s.
bool wait_for_size(const std::string& path, size_t bytes);
// Until the file holds `text`; false after 60 s.
bool wait_for_text(const std::string& path, const std::string& text);
// True when the child ends within `seconds`; it is left for finish_program
// to collect. Otherwise it is killed (SIGKILL) and the result is false.
bool ended_within(const running_program& child, int seconds);

// genout.dat in `dir` as a FIFO that a thread of the test reads: to the end,
// or up to `limit` bytes and then, as `then` says, nothing more until
// resume() (or the end of the test), or nothing ever (its end closed).
class genout_fifo {
public:
    enum after_limit { hold, quit };
    explicit genout_fifo(const std::string& dir, size_t limit = SIZE_MAX, after_limit then = hold,
                         int pause_us_per_read = 0);
    ~genout_fifo() { finish(); }
    // Until the reader holds at least `bytes`, or has ended; false after 60 s.
    bool wait_for(size_t bytes);
    void resume();
    // Resumes the reader, lets a run that never opened the FIFO go, and
    // returns everything read as floats (a cut value as one more).
    std::vector<float> finish();

private:
    void read_all();

    std::string path_;
    size_t limit_;
    after_limit then_;
    int pause_us_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string data_;
    bool opened_ = false, resumed_ = false, ended_ = false;
    std::thread reader_;
};
