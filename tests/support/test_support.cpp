#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Failures recorded so far in the running test (0 outside a test).
int failures_so_far()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr)
        return 0;
    int failures = 0;
    for (int i = 0; i < test->result()->total_part_count(); ++i)
        failures += test->result()->GetTestPartResult(i).failed();
    return failures;
}

} // namespace

scratch_dir::scratch_dir(const std::string& tag) : failures_at_start(failures_so_far())
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaro_" + tag + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed for " + pattern + ": " + std::strerror(errno));
    path = buf.data();
}

scratch_dir::scratch_dir(scratch_dir&& other) noexcept
    : path(std::move(other.path)), failures_at_start(other.failures_at_start)
{
    other.path.clear();
}

scratch_dir::~scratch_dir()
{
    if (path.empty())
        return;
    if (failures_so_far() > failures_at_start) {
        std::printf("Kept for inspection: %s\n", path.c_str());
        std::fflush(stdout);
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error)
        ADD_FAILURE() << "cannot remove " << path << ": " << error.message();
}

running_program start_program(const std::string& program, const std::string& dir, const environment& env,
                              const child_setup& setup)
{
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (entry.rfind("TESSARO_", 0) == 0 || entry.rfind("DIVEV_", 0) == 0)
            continue;
        bool replaced = false;
        for (const auto& kv : env)
            replaced = replaced || entry.rfind(kv.first + "=", 0) == 0;
        if (!replaced)
            entries.push_back(entry);
    }
    for (const auto& kv : env)
        entries.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& entry : entries)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : setup.args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // Standard output and error go to files, so neither pipe can fill up; a
    // serial number keeps the files of two runs in one directory apart.
    static int serial = 0;
    running_program child;
    const std::string tag = std::to_string(getpid()) + "." + std::to_string(serial++);
    child.out_path = dir + "/.stdout." + tag;
    child.err_path = dir + "/.stderr." + tag;
    const std::string out_path = child.out_path, err_path = child.err_path;
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(dir.c_str()) != 0)
            _exit(127);
        dup2(setup.stdout_fd >= 0 ? setup.stdout_fd : out, 1);
        dup2(setup.stderr_fd >= 0 ? setup.stderr_fd : err, 2);
        if (setup.own_process_group)
            setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        // The program starts with the standard streams alone, whatever the test holds open.
        const long open_max = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < open_max && fd < 65536; ++fd)
            close(static_cast<int>(fd));
        if (setup.stdout_closed)
            close(1);
        // Default signal actions, none blocked, whatever the test inherited
        // (a test run in the background starts with SIGINT ignored).
        for (int signal = 1; signal < NSIG; ++signal)
            if (signal != SIGKILL && signal != SIGSTOP)
                std::signal(signal, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal : setup.ignored_signals)
            std::signal(signal, SIG_IGN);
        if (setup.time_limit_s > 0)
            alarm(setup.time_limit_s); // the alarm outlives the exec
        for (const auto& limit : setup.limits) {
            const struct rlimit value = {static_cast<rlim_t>(limit.second), static_cast<rlim_t>(limit.second)};
            if (setrlimit(limit.first, &value) != 0)
                _exit(126);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (setup.own_process_group)
        setpgid(pid, pid); // as the child does: a group signal sent at once reaches it
    child.pid = pid;
    return child;
}

program_result finish_program(const running_program& child)
{
    int wstatus = 0;
    while (waitpid(child.pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    program_result result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_bytes(child.out_path);
    result.err = read_bytes(child.err_path);
    std::remove(child.out_path.c_str());
    std::remove(child.err_path.c_str());
    return result;
}

program_result run_program(const std::string& program, const std::string& dir, const environment& env,
                           const child_setup& setup)
{
    return finish_program(start_program(program, dir, env, setup));
}

void write_bytes(const std::string& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

template <typename T> static std::string as_bytes(const std::vector<T>& values)
{
    return values.empty() ? std::string() : std::string(reinterpret_cast<const char*>(values.data()), values.size() * 4);
}

void write_ints(const std::string& path, const std::vector<int32_t>& values) { write_bytes(path, as_bytes(values)); }

void write_floats(const std::string& path, const std::vector<float>& values) { write_bytes(path, as_bytes(values)); }

std::string read_bytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<float> read_floats(const std::string& path)
{
    std::string bytes = read_bytes(path);
    std::vector<float> values(bytes.size() / 4);
    if (!values.empty())
        std::memcpy(values.data(), bytes.data(), values.size() * 4);
    return values;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

uint32_t float_bits(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}
