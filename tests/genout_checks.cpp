#include "genout_checks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

input_set large_frame_set(int nT, int points)
{
    input_set s = homogeneous_set(40, 24, nT);
    s.icc_add = {20, 12};
    s.divev_add = ricker(nT, 25.0f, s.dT);
    for (int i = 0; i < points; ++i)
        s.outc.insert(s.outc.end(), {8 + i % 24, 8 + i / 24 % 8});
    return s;
}

std::vector<float> whole_frames(const std::vector<float>& genout, size_t frame)
{
    return std::vector<float>(genout.begin(), genout.begin() + static_cast<long>(genout.size() / frame * frame));
}

void expect_true_frames(const std::vector<float>& genout, const std::vector<float>& reference, size_t frame,
                        size_t whole_frames_expected)
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

bool wait_for_size(const std::string& path, size_t bytes)
{
    struct stat info;
    return wait_until([&] { return stat(path.c_str(), &info) == 0 && static_cast<size_t>(info.st_size) >= bytes; });
}

bool wait_for_text(const std::string& path, const std::string& text)
{
    return wait_until([&] { return read_bytes(path).find(text) != std::string::npos; });
}

bool ended_within(const running_program& child, int seconds)
{
    const bool ended = wait_until(
        [&] {
            siginfo_t info = {};
            return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == child.pid;
        },
        seconds);
    if (!ended)
        kill(child.pid, SIGKILL);
    return ended;
}

genout_fifo::genout_fifo(const std::string& dir, size_t limit, after_limit then, int pause_us_per_read)
    : path_(dir + "/genout.dat"), limit_(limit), then_(then), pause_us_(pause_us_per_read)
{
    EXPECT_EQ(mkfifo(path_.c_str(), 0644), 0);
    reader_ = std::thread([this] { read_all(); });
}

void genout_fifo::read_all()
{
    const int fd = open(path_.c_str(), O_RDONLY);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = true;
    }
    char chunk[65536];
    while (fd >= 0) {
        size_t want = sizeof chunk;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!resumed_ && data_.size() >= limit_) {
                if (then_ == quit)
                    break;
                changed_.wait(lock, [this] { return resumed_; });
            }
            if (!resumed_ && limit_ - data_.size() < want)
                want = limit_ - data_.size();
        }
        const ssize_t got = read(fd, chunk, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            data_.append(chunk, static_cast<size_t>(got));
        }
        changed_.notify_all();
        if (pause_us_ > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us_));
    }
    if (fd >= 0)
        close(fd);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool genout_fifo::wait_for(size_t bytes)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return ended_ || data_.size() >= bytes; });
}

void genout_fifo::resume()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resumed_ = true;
    }
    changed_.notify_all();
}

std::vector<float> genout_fifo::finish()
{
    resume();
    if (reader_.joinable()) {
        // A run that never opened genout.dat leaves the reader waiting for a writer.
        wait_until([this] {
            const int unblock = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
            if (unblock >= 0)
                close(unblock);
            std::lock_guard<std::mutex> lock(mutex_);
            return opened_;
        });
        reader_.join();
    }
    std::vector<float> floats(data_.size() / 4);
    if (!floats.empty())
        std::memcpy(floats.data(), data_.data(), floats.size() * 4);
    if (data_.size() % 4 != 0)
        floats.push_back(0.0f); // a cut value makes a cut frame
    return floats;
}
