#include "float_writer.h"
#include "platform.h"
#include "test_support.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <future>
#include <regex>
#include <thread>
#include <vector>

namespace {

// Runs each test in a fresh working directory, where genout.dat is opened.
class FloatWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home = here;
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(home.c_str()), 0); }

    std::string home;
    const scratch_dir scratch{"float_writer"};
    const std::string& dir = scratch.path;
};

// Redirects fd `fd` (1 or 2) into a file until text() is called.
class fd_capture {
public:
    explicit fd_capture(int fd) : fd_(fd), path_(dir_.path + "/captured")
    {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(file, fd_);
        close(file);
    }
    std::string text()
    {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
        return read_bytes(path_);
    }
    ~fd_capture() { text(); }

private:
    int fd_;
    const scratch_dir dir_{"writer_fd"};
    std::string path_;
    int saved_ = -1;
};

std::vector<float> frame_of(int tag, size_t n)
{
    std::vector<float> f(n);
    for (size_t j = 0; j < n; ++j)
        f[j] = static_cast<float>(tag * 10000 + static_cast<int>(j));
    return f;
}

pthread_t start(float_writer* w)
{
    pthread_t thread;
    pthread_create(&thread, nullptr, float_writer_thread, w);
    return thread;
}

// Joins within `seconds`; false when the thread is still running.
bool joined_within(pthread_t thread, int seconds)
{
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

std::vector<float> concat(const std::vector<std::vector<float>>& frames)
{
    std::vector<float> all;
    for (const auto& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

} // namespace

// genout.dat is a FIFO that a slow reader drains, so the producer fills both
// slots and has to wait; the last frame ends the thread without a shutdown.
TEST_F(FloatWriterTest, SlowFileKeepsOrderAndLastFrameEndsThread)
{
    ASSERT_EQ(mkfifo("genout.dat", 0644), 0);
    std::string drained;
    std::thread reader([&] {
        int fd = open("genout.dat", O_RDONLY);
        char chunk[4096];
        for (;;) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0)
                break;
            drained.append(chunk, static_cast<size_t>(n));
            usleep(200);
        }
        close(fd);
    });

    const size_t floats = 2048;
    const int count = 40;
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, floats), 0);
    pthread_t thread = start(&w);
    // One producer buffer, refilled after each submission as the driver does.
    std::vector<std::vector<float>> frames;
    std::vector<float> producer(floats);
    for (int f = 0; f < count; ++f) {
        frames.push_back(frame_of(f, floats));
        producer = frames.back();
        float_writer_submit(&w, producer.data(), floats, f == count - 1);
    }
    bool ended = joined_within(thread, 30);
    if (!ended) {
        float_writer_shutdown(&w);
        pthread_join(thread, nullptr);
    }
    EXPECT_TRUE(ended) << "the thread did not end after the frame marked last";
    float_writer_destroy(&w);
    reader.join();

    std::vector<float> want = concat(frames);
    ASSERT_EQ(drained.size(), want.size() * 4);
    EXPECT_EQ(std::memcmp(drained.data(), want.data(), drained.size()), 0);
    EXPECT_EQ(float_writer_failed(&w), 0);
    EXPECT_EQ(w.frames_written, count);
}

// Frames submitted before the thread runs and before shutdown are all written.
TEST_F(FloatWriterTest, ShutdownWritesReadySlotsFirst)
{
    for (int ready : {1, 2}) {
        SCOPED_TRACE(ready);
        float_writer w;
        ASSERT_EQ(float_writer_init(&w, 3), 0);
        std::vector<std::vector<float>> frames;
        for (int f = 0; f < ready; ++f) {
            frames.push_back(frame_of(f + 1, 3));
            float_writer_submit(&w, frames.back().data(), 3, 0);
        }
        float_writer_shutdown(&w);
        pthread_t thread = start(&w);
        ASSERT_TRUE(joined_within(thread, 30));
        float_writer_destroy(&w);
        EXPECT_EQ(read_floats("genout.dat"), concat(frames));
    }
}

// The writer counts NaN and inf as it writes: how many, and the frame and
// slot of the first; finite values, however large, do not count.
TEST_F(FloatWriterTest, CountsNonFiniteSamplesAsItWrites)
{
    const float inf = INFINITY, nan = std::nanf("");
    const struct {
        const char* name;
        std::vector<std::vector<float>> frames;
        int64_t count;
        int32_t first_frame;
        int64_t first_slot;
    } cases[] = {
        {"all finite", {{1.0f, 3.4e38f, -3.4e38f}, {0.0f, -0.0f, 1e-45f}}, 0, -1, 0},
        {"from the second frame", {{1.0f, 2.0f, 3.0f}, {4.0f, nan, -inf}, {inf, 5.0f, nan}}, 4, 1, 1},
        {"first frame, last slot", {{1.0f, 2.0f, -nan}}, 1, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        float_writer w;
        ASSERT_EQ(float_writer_init(&w, 3), 0);
        pthread_t thread = start(&w);
        for (const auto& frame : c.frames)
            float_writer_submit(&w, frame.data(), 3, 0);
        float_writer_shutdown(&w);
        ASSERT_TRUE(joined_within(thread, 30));
        float_writer_destroy(&w);
        EXPECT_EQ(w.non_finite.count, c.count);
        EXPECT_EQ(w.non_finite.first_frame, c.first_frame);
        if (c.count > 0) {
            EXPECT_EQ(w.non_finite.first_slot, c.first_slot);
        }
        EXPECT_EQ(w.non_finite.frames, static_cast<int32_t>(c.frames.size()));
    }
}

TEST_F(FloatWriterTest, ShutdownWithoutFramesLeavesEmptyFile)
{
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, 8), 0);
    pthread_t thread = start(&w);
    float_writer_shutdown(&w);
    ASSERT_TRUE(joined_within(thread, 30));
    float_writer_destroy(&w);
    EXPECT_TRUE(file_exists("genout.dat"));
    EXPECT_EQ(read_bytes("genout.dat"), "");
}

// A write of no floats leaves no trace, a flush does: a byte put into the
// stream's buffer ahead of the frame reaches the file with the flush of a
// frame of one float, and stays buffered past an empty frame until the close.
TEST_F(FloatWriterTest, EmptyFrameIsNotFlushed)
{
    const float one = 1.0f;
    const std::string sample(reinterpret_cast<const char*>(&one), sizeof one);
    struct flush_case {
        uint64_t n;
        std::string before_close, after_close;
    };
    for (const flush_case& c : {flush_case{0, "", "#"}, flush_case{1, "#" + sample, "#" + sample}}) {
        SCOPED_TRACE(c.n);
        float_writer w;
        ASSERT_EQ(float_writer_init(&w, 4), 0);
        pthread_t thread = start(&w);
        pthread_mutex_lock(&w.mutex);
        std::fputc('#', w.file);
        pthread_mutex_unlock(&w.mutex);
        float_writer_submit(&w, &one, c.n, 1);
        ASSERT_TRUE(joined_within(thread, 30));
        EXPECT_EQ(read_bytes("genout.dat"), c.before_close);
        float_writer_destroy(&w);
        EXPECT_EQ(read_bytes("genout.dat"), c.after_close);
        EXPECT_EQ(float_writer_failed(&w), 0);
    }
}

// One float fits in the stream's buffer: on /dev/full only its flush fails,
// and the thread records that before it ends, without a warning.
TEST_F(FloatWriterTest, FailedFlushIsRecorded)
{
    ASSERT_EQ(symlink("/dev/full", "genout.dat"), 0);
    fd_capture err(2);
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, 4), 0);
    pthread_t thread = start(&w);
    const float one = 1.0f;
    float_writer_submit(&w, &one, 1, 1);
    ASSERT_TRUE(joined_within(thread, 30));
    EXPECT_EQ(float_writer_failed(&w), 1);
    EXPECT_EQ(w.frames_written, 0);
    float_writer_destroy(&w);
    EXPECT_EQ(err.text(), "");
}

TEST_F(FloatWriterTest, ShortWriteWarnsAndRecordsFailure)
{
    ASSERT_EQ(symlink("/dev/full", "genout.dat"), 0);
    const size_t floats = 4096; // more than the stdio buffer
    std::vector<float> frame = frame_of(1, floats);
    fd_capture err(2);
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, floats), 0);
    pthread_t thread = start(&w);
    float_writer_submit(&w, frame.data(), floats, 0);
    float_writer_submit(&w, frame.data(), floats, 0);
    float_writer_shutdown(&w);
    ASSERT_TRUE(joined_within(thread, 30));
    float_writer_destroy(&w);
    EXPECT_EQ(float_writer_failed(&w), 1);
    // The thread goes on after a short write. A frame fills the stream buffer,
    // so the first is written straight through and warns; the second may sit
    // in the buffer and fail at the flush instead.
    std::regex warning("(Warning: Only wrote ([0-9]+) of 4096 floats\n){1,2}");
    std::string text = err.text();
    EXPECT_TRUE(std::regex_match(text, warning)) << text;
}

// A frame is written in chunks, the mutex free between them: while genout.dat's
// reader holds up the rest of a 4 MB frame, the producer sees part of it
// written and hands the next frame over without waiting.
TEST_F(FloatWriterTest, ProgressShowsWithinAFrame)
{
    ASSERT_EQ(mkfifo("genout.dat", 0644), 0);
    const size_t floats = 1 << 20, held_up_at = 1 << 20;
    std::promise<void> read_on;
    std::string drained;
    std::thread reader([&, go = read_on.get_future()] {
        const int fd = open("genout.dat", O_RDONLY);
        std::vector<char> chunk(65536);
        for (bool waited = false;;) {
            if (!waited && drained.size() >= held_up_at) {
                go.wait();
                waited = true;
            }
            const size_t want = waited ? chunk.size() : std::min(chunk.size(), held_up_at - drained.size());
            const ssize_t n = read(fd, chunk.data(), want);
            if (n <= 0)
                break;
            drained.append(chunk.data(), static_cast<size_t>(n));
        }
        close(fd);
    });
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, floats), 0);
    pthread_t thread = start(&w);
    const std::vector<float> first = frame_of(1, floats), second = frame_of(2, floats);
    float_writer_submit(&w, first.data(), floats, 0);
    float_writer_submit(&w, second.data(), floats, 1); // the other slot is free
    uint64_t written = 0;
    int frames = -1;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_mutex_lock(&w.mutex);
        written = w.floats_written;
        frames = w.frames_written;
        pthread_mutex_unlock(&w.mutex);
    } while (written < held_up_at / 4 / 2 && std::chrono::steady_clock::now() < limit);
    EXPECT_GE(written, held_up_at / 4 / 2);
    EXPECT_LT(written, floats);
    EXPECT_EQ(frames, 0);
    read_on.set_value();
    ASSERT_TRUE(joined_within(thread, 30));
    float_writer_destroy(&w);
    reader.join();
    EXPECT_EQ(w.frames_written, 2);
    EXPECT_EQ(w.floats_written, 2 * floats);
    const std::vector<float> want = concat({first, second});
    ASSERT_EQ(drained.size(), want.size() * 4);
    EXPECT_EQ(std::memcmp(drained.data(), want.data(), drained.size()), 0);
}

TEST_F(FloatWriterTest, OversizedFrameIsTruncatedWithWarning)
{
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, 4), 0);
    std::vector<float> frame = frame_of(2, 6);
    fd_capture out(1);
    float_writer_submit(&w, frame.data(), 6, 1);
    std::string text = out.text();
    pthread_t thread = start(&w);
    ASSERT_TRUE(joined_within(thread, 30));
    float_writer_destroy(&w);
    EXPECT_EQ(text, "Warning: Float array size (6) exceeds buffer capacity (4), truncating\n");
    EXPECT_EQ(read_floats("genout.dat"), std::vector<float>(frame.begin(), frame.begin() + 4));
}

// The two pinned slots are returned when genout.dat cannot be opened.
TEST_F(FloatWriterTest, InitFailsWhenGenoutCannotBeOpened)
{
    ASSERT_EQ(mkdir("genout.dat", 0755), 0);
    std::string trace = dir + "/trace";
    setenv("TESSARO_HOST_TRACE", trace.c_str(), 1);
    host_runtime::reset();
    float_writer w;
    errno = 0;
    int result = float_writer_init(&w, 16);
    int error = errno;
    unsetenv("TESSARO_HOST_TRACE");
    host_runtime::reset();

    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EISDIR);
    std::vector<std::string> calls = select_calls(read_lines(trace), {"cudaMallocHost", "cudaFreeHost"});
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(trace_field(calls[0], "bytes"), "64");
    EXPECT_EQ(trace_field(calls[1], "bytes"), "64");
    EXPECT_EQ(calls[2], "cudaFreeHost dev=0");
    EXPECT_EQ(calls[3], "cudaFreeHost dev=0");
}

TEST_F(FloatWriterTest, InitTruncatesExistingFile)
{
    write_floats("genout.dat", {1.0f, 2.0f, 3.0f});
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, 2), 0);
    pthread_t thread = start(&w);
    float_writer_shutdown(&w);
    ASSERT_TRUE(joined_within(thread, 30));
    float_writer_destroy(&w);
    EXPECT_EQ(read_bytes("genout.dat"), "");
}

// ncoordsout = 0: frames of no floats, an empty file and no failure.
TEST_F(FloatWriterTest, ZeroCapacityWritesEmptyFrames)
{
    float_writer w;
    ASSERT_EQ(float_writer_init(&w, 0), 0);
    // slots of no floats ask the runtime for nothing
    EXPECT_EQ(w.buffers[0].data, nullptr);
    EXPECT_EQ(w.buffers[1].data, nullptr);
    pthread_t thread = start(&w);
    float sample = 5.0f;
    float_writer_submit(&w, nullptr, 0, 0);
    float_writer_submit(&w, &sample, 0, 0);
    float_writer_submit(&w, nullptr, 0, 1);
    ASSERT_TRUE(joined_within(thread, 30));
    EXPECT_EQ(w.frames_submitted, 3);
    EXPECT_EQ(w.frames_written, 3);
    float_writer_destroy(&w);
    EXPECT_EQ(float_writer_failed(&w), 0);
    EXPECT_TRUE(file_exists("genout.dat"));
    EXPECT_EQ(read_bytes("genout.dat"), "");
}
