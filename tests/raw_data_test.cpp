#include "raw_data.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

namespace {

// Everything `body` prints on standard output, taken from fd 1.
std::string capture_stdout(const std::function<void()>& body)
{
    const scratch_dir scratch("raw_stdout");
    const std::string path = scratch.path + "/out";
    std::fflush(stdout);
    int saved = dup(1);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 1);
    close(file);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return read_bytes(path);
}

std::string announce(const std::string& path, long long bytes)
{
    return "Reading data from file " + path + " (size: " + std::to_string(bytes) + " bytes)...\n";
}

std::string closing(const std::string& path) { return "Closing file " + path + "...\n"; }

constexpr int32_t sentinel = -77;

struct read_case {
    const char* name;
    bool present;
    std::string bytes;   // file contents when present
    int count;
    int result;          // whole values stored, or -1
    const char* middle;  // printed between the announcement and the closing line
    bool closes;
};

std::string le_ints(std::initializer_list<int32_t> values)
{
    std::string out;
    for (int32_t v : values)
        out.append(reinterpret_cast<const char*>(&v), 4);
    return out;
}

// Writes `bytes` into the FIFO at `path` a few at a time, so that the reader
// sees the end only when the writer closes; join after the read.
std::thread feed_fifo(const std::string& path, const std::string& bytes)
{
    return std::thread([path, bytes] {
        // The reader may close before everything is written: EPIPE, no signal.
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        const int fd = open(path.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < bytes.size(); at += 3)
            if (write(fd, bytes.data() + at, std::min<size_t>(3, bytes.size() - at)) < 0)
                break;
        if (fd >= 0)
            close(fd);
    });
}

} // namespace

// Each case is read from a regular file and from a FIFO, whose size nobody
// knows beforehand: only whole values are ever stored.
TEST(RawDataRead, OutputAndStoredValues)
{
    const read_case cases[] = {
        {"count_zero", true, le_ints({1, 2}), 0, 0, "", true},
        {"count_zero_missing", false, "", 0, -1, "", false},
        {"exact", true, le_ints({10, 20, 30}), 3, 3, "", true},
        {"longer_file", true, le_ints({10, 20, 30, 40, 50}), 3, 3, "", true},
        {"ten_bytes_of_three", true, le_ints({10, 20}) + std::string("\x01\x02", 2), 3, 2,
         "Error: Only read 2 of 3 data elements.", true},
        {"empty_file", true, "", 2, 0, "Error: Only read 0 of 2 data elements.", true},
        {"missing", false, "", 3, -1, "", false},
    };
    const scratch_dir scratch("raw_read");
    const std::string& dir = scratch.path;
    for (bool fifo : {false, true})
    for (const read_case& c : cases) {
        if (fifo && !c.present)
            continue;
        SCOPED_TRACE(std::string(c.name) + (fifo ? " (FIFO)" : ""));
        std::string path = dir + "/" + c.name + (fifo ? "_fifo" : "");
        std::thread feeder;
        if (fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            feeder = feed_fifo(path, c.bytes);
        } else if (c.present) {
            write_bytes(path, c.bytes);
        }
        int32_t destination[6];
        std::fill(std::begin(destination), std::end(destination), sentinel);
        int result = 0;
        std::string out = capture_stdout([&] { result = import_int_data(path.c_str(), destination, c.count); });
        if (feeder.joinable())
            feeder.join();

        std::string expected = announce(path, 4LL * c.count);
        if (!c.present)
            expected += "Error: Could not open file: " + path + "\n.";
        expected += c.middle;
        if (c.closes)
            expected += closing(path);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(result, c.result);

        // The first whole values come from the file; every other element is kept.
        int stored = c.result > 0 ? c.result : 0;
        for (int i = 0; i < 6; ++i) {
            int32_t want = sentinel;
            if (i < stored)
                std::memcpy(&want, c.bytes.data() + 4 * i, 4);
            EXPECT_EQ(destination[i], want) << "element " << i;
        }
    }
}

// A FIFO longer than one bounce block, ending in a fragment.
TEST(RawDataRead, LongFifoStoresWholeValuesOnly)
{
    const scratch_dir scratch("raw_fifo");
    const std::string path = scratch.path + "/long";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::vector<int32_t> values(40000);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<int32_t>(3 * i + 1);
    std::string bytes(reinterpret_cast<const char*>(values.data()), values.size() * 4);
    bytes += std::string("\x7f\x7f\x7f", 3);
    std::thread feeder = feed_fifo(path, bytes);
    std::vector<int32_t> destination(values.size() + 2, sentinel);
    int result = 0;
    const std::string out = capture_stdout(
        [&] { result = import_int_data(path.c_str(), destination.data(), static_cast<int>(destination.size())); });
    feeder.join();
    EXPECT_EQ(result, static_cast<int>(values.size()));
    EXPECT_TRUE(std::equal(values.begin(), values.end(), destination.begin()));
    EXPECT_EQ(destination[values.size()], sentinel);
    EXPECT_EQ(destination[values.size() + 1], sentinel);
    EXPECT_NE(out.find("Error: Only read 40000 of 40002 data elements."), std::string::npos);
}

// A file that is there but cannot be opened or read is no missing file: the
// reader says which and why on standard error, and the caller must stop.
TEST(RawDataRead, UnreadableFileIsNamedWithItsReason)
{
    const scratch_dir scratch("raw_unreadable");
    const std::string& dir = scratch.path;
    const std::string folder = dir + "/folder", file = dir + "/file";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write_ints(file, {5});
    struct unreadable_case {
        const char* name;
        std::string path;
        bool exhaust_descriptors;
        std::string out; // between the announcement and the closing line, if any
        std::string err;
    };
    const unreadable_case cases[] = {
        // a directory opens, but cannot be read
        {"directory", folder, false, "Error: Only read 0 of 1 data elements." + closing(folder),
         "Error: cannot read " + folder + ": Is a directory\n"},
        {"no descriptor left", file, true, "Error: Could not open file: " + file + "\n.",
         "Error: cannot read " + file + ": Too many open files\n"},
    };
    for (const unreadable_case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t value = sentinel;
        int result = 0;
        ::testing::internal::CaptureStderr();
        const std::string out = capture_stdout([&] {
            struct rlimit saved;
            std::vector<int> held;
            if (c.exhaust_descriptors) {
                getrlimit(RLIMIT_NOFILE, &saved);
                struct rlimit low = saved;
                low.rlim_cur = 64;
                setrlimit(RLIMIT_NOFILE, &low);
                for (int fd; (fd = dup(0)) >= 0;)
                    held.push_back(fd);
            }
            result = import_int_data(c.path.c_str(), &value, 1);
            for (int fd : held)
                close(fd);
            if (c.exhaust_descriptors)
                setrlimit(RLIMIT_NOFILE, &saved);
        });
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(out, announce(c.path, 4) + c.out);
        EXPECT_EQ(result, read_failed);
        EXPECT_EQ(value, sentinel);
    }
}

TEST(RawDataRead, IntAndFloatReadersStoreBitsUnchanged)
{
    const scratch_dir scratch("raw_bits");
    const std::string& dir = scratch.path;
    const uint32_t patterns[] = {0x7FA00001u, 0xFFC12345u, 0x00000001u, 0x807FFFFFu, 0x80000000u, 0x3FC00000u};
    std::string bytes(reinterpret_cast<const char*>(patterns), sizeof patterns);
    write_bytes(dir + "/bits", bytes);

    float floats[6];
    int ints[6];
    std::string out = capture_stdout([&] {
        import_float_data((dir + "/bits").c_str(), floats, 6);
        import_int_data((dir + "/bits").c_str(), ints, 6);
    });
    EXPECT_EQ(out, announce(dir + "/bits", 24) + closing(dir + "/bits") + announce(dir + "/bits", 24) +
                       closing(dir + "/bits"));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(float_bits(floats[i]), patterns[i]) << i;
        EXPECT_EQ(static_cast<uint32_t>(ints[i]), patterns[i]) << i;
    }
}

TEST(RawDataRead, MissingScalarKeepsCallerDefault)
{
    const scratch_dir scratch("raw_default");
    const std::string& dir = scratch.path;
    int nTic = 250;
    float dT = 0.5f;
    std::string out = capture_stdout([&] {
        import_int_data((dir + "/nTic").c_str(), &nTic, 1);
        import_float_data((dir + "/dT").c_str(), &dT, 1);
    });
    EXPECT_EQ(nTic, 250);
    EXPECT_EQ(dT, 0.5f);
    // The period of each open error starts the next line.
    EXPECT_EQ(out, announce(dir + "/nTic", 4) + "Error: Could not open file: " + dir + "/nTic\n." +
                       announce(dir + "/dT", 4) + "Error: Could not open file: " + dir + "/dT\n.");
}

TEST(RawDataRead, LargeCountAnnouncesFullByteSize)
{
    const scratch_dir scratch("raw_large");
    const std::string& dir = scratch.path;
    int value = 0;
    std::string out = capture_stdout([&] { import_int_data((dir + "/absent").c_str(), &value, 600000000); });
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), announce(dir + "/absent", 2400000000LL));
}

TEST(RowTable, EntriesPointIntoOneClearedBlock)
{
    struct shape {
        int rows, cols;
    };
    for (shape s : {shape{1, 5}, shape{3, 4}, shape{4, 1}}) {
        SCOPED_TRACE(std::to_string(s.rows) + "x" + std::to_string(s.cols));
        int** ti = allocate_i_2d(s.rows, s.cols);
        float** tf = allocate_f_2d(s.rows, s.cols);
        for (int i = 0; i < s.rows; ++i) {
            EXPECT_EQ(ti[i], ti[0] + i * s.cols);
            EXPECT_EQ(tf[i], tf[0] + i * s.cols);
        }
        for (int k = 0; k < s.rows * s.cols; ++k) {
            EXPECT_EQ(ti[0][k], 0);
            EXPECT_EQ(float_bits(tf[0][k]), 0u);
        }
        // A whole file lands row after row through entry 0.
        std::vector<int32_t> values(static_cast<size_t>(s.rows * s.cols));
        for (size_t k = 0; k < values.size(); ++k)
            values[k] = static_cast<int32_t>(100 + k);
        const scratch_dir scratch("row_table");
        const std::string path = scratch.path + "/map";
        write_ints(path, values);
        capture_stdout([&] { import_int_data(path.c_str(), ti[0], s.rows * s.cols); });
        EXPECT_EQ(ti[s.rows - 1][s.cols - 1], 100 + s.rows * s.cols - 1);
        if (s.rows == 3) {
            EXPECT_EQ(ti[1][2], 106);
        }
    }
}

TEST(RowTable, ZeroRowsHasReadableEntryZero)
{
    int** ti = allocate_i_2d(0, 2);
    float** tf = allocate_f_2d(0, 2);
    ASSERT_NE(ti[0], nullptr);
    ASSERT_NE(tf[0], nullptr);
    const scratch_dir scratch("row_zero");
    const std::string path = scratch.path + "/outc";
    write_ints(path, {5, 6});
    int result = -2;
    std::string out = capture_stdout([&] { result = import_int_data(path.c_str(), ti[0], 0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, announce(path, 0) + closing(path));
    EXPECT_EQ(ti[0][0], 0);
}
