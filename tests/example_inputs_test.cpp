// The example input writer's command line: sizes are whole numbers in range;
// anything else gets a reason, the usage line and status 2, and writes nothing.
// The usage names every mode; the modes that write create their directory.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// Runs the writer with `args` in `dir`; the exit status, standard error in `err`.
int run_writer(const std::string& dir, const std::string& args, std::string* err)
{
    const std::string command =
        "cd '" + dir + "' && '" + TESSARO_EXAMPLE_INPUTS + "' " + args + " > /dev/null 2> .stderr";
    const int status = std::system(command.c_str());
    *err = read_bytes(dir + "/.stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

const std::string usage = std::string("usage: ") + TESSARO_EXAMPLE_INPUTS +
                          " write DIR [nX nY nT] | check-case DIR CASE [nX nY nT] | compare DIR_A DIR_B | summary "
                          "DIR\n       (check-case: CASE 1 or 2, nX >= 136, nY >= 40, nT >= 1)\n";

TEST(ExampleInputs, SizesMustBeWholeNumbersInRange)
{
    const std::string refusal = std::string(TESSARO_EXAMPLE_INPUTS) +
                                ": nX and nY must be whole numbers from 1 with nX*nY at most 2147483647, nT one from "
                                "0\n" +
                                usage;
    const struct {
        const char* args;
        bool accepted;
    } cases[] = {
        {"40 30 5", true},
        {"40 30 0", true},
        {"400 300 -1", false},
        {"abc 300 10", false},
        {"400 30x 10", false},
        {"400 300 1e3", false},
        {"'' 300 10", false},
        {"0 300 10", false},
        {"400 -300 10", false},
        {"' 40' 30 5", false},
        {"+40 30 5", false},
        {"400 300 2147483648", false},
        {"65536 32768 1", false}, // nX*nY past 2147483647
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const scratch_dir scratch("example_args");
        const std::string& dir = scratch.path;
        ASSERT_EQ(mkdir((dir + "/out").c_str(), 0755), 0);
        std::string err;
        const int status = run_writer(dir, std::string("write out ") + c.args, &err);
        EXPECT_EQ(status, c.accepted ? 0 : 2);
        EXPECT_EQ(err, c.accepted ? "" : refusal);
        EXPECT_EQ(file_exists(dir + "/out/nX.dat"), c.accepted);
    }
}

TEST(ExampleInputs, UsageNamesEveryMode)
{
    for (const char* args : {"", "help", "write", "summary", "check-case out 3", "compare out"}) {
        SCOPED_TRACE(args);
        std::string err;
        EXPECT_EQ(run_writer(scratch_dir("example_usage").path, args, &err), 2);
        EXPECT_EQ(err, usage);
    }
}

// A directory that does not exist is made, parents included; a file in its
// place is left as it is.
TEST(ExampleInputs, WriteAndCheckCaseMakeTheirDirectory)
{
    const struct {
        const char* mode;
        const char* sizes;
    } cases[] = {{"write", " 40 30 5"}, {"check-case", " 1 136 40 2"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const scratch_dir scratch("example_mkdir");
        const std::string& dir = scratch.path;
        std::string err;
        EXPECT_EQ(run_writer(dir, std::string(c.mode) + " new/set" + c.sizes, &err), 0);
        EXPECT_EQ(err, "");
        EXPECT_TRUE(file_exists(dir + "/new/set/nX.dat"));

        write_bytes(dir + "/taken", "x");
        EXPECT_EQ(run_writer(dir, std::string(c.mode) + " taken" + c.sizes, &err), 1);
        EXPECT_EQ(err, "cannot create taken: Not a directory\n");
        EXPECT_EQ(read_bytes(dir + "/taken"), "x");
    }
}

} // namespace
