// Helpers for tests: scratch directories, raw input files, and runs of the
// programs as child processes with their standard output, error and status.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct program_result {
    int status;       // exit status, or 128 + signal when killed by a signal
    std::string out;  // standard output
    std::string err;  // standard error
};

typedef std::vector<std::pair<std::string, std::string>> environment;

// How the child process starts, beyond the defaults.
struct child_setup {
    bool stdout_closed = false; // start with descriptor 1 closed (nothing is captured)
    std::vector<std::pair<int, unsigned long long>> limits; // setrlimit(resource, value) before exec
    std::vector<std::string> args; // arguments after the program's name (the programs take none)
    std::vector<int> ignored_signals; // started with these signals ignored, as under nohup
    int stdout_fd = -1, stderr_fd = -1; // the test's descriptor (a pipe's end) in place of the file
    bool own_process_group = false;    // leads a process group of its own, for group signals
    unsigned time_limit_s = 0; // > 0: SIGALRM ends it after this many seconds (status 128 + 14)
};

// A new empty directory under $TMPDIR (/tmp when unset), "tessaro_TAG_XXXXXX",
// for one test. When it goes out of scope it is removed with all it holds,
// unless the running test recorded a failure while it existed: then it is
// kept, and its path is printed after the failure. Movable, so that helpers
// can hand it back; the test decides how long it lives.
//
//     scratch_dir dir("my_case");
//     write_input_set(dir.path, set);
//     run_program(program, dir.path);
struct scratch_dir {
    explicit scratch_dir(const std::string& tag);
    scratch_dir(scratch_dir&& other) noexcept;
    scratch_dir& operator=(scratch_dir&&) = delete;
    ~scratch_dir();
    std::string path;       // empty once moved from
    int failures_at_start;  // failures of the running test when it was made
};

// A program started in the background by start_program.
struct running_program {
    int pid;
    std::string out_path, err_path; // where its standard output and error go
};

// Runs `program` (with setup.args, usually none) in `dir`, with `env` added to (or replacing
// entries of) the test's environment; TESSARO_* and DIVEV_* variables of the
// test's own environment are not inherited. The program starts with standard
// input (/dev/null), output and error open, and no other descriptor, with the
// default action for every signal and none blocked.
program_result run_program(const std::string& program, const std::string& dir, const environment& env = {},
                           const child_setup& setup = {});
// The same in two halves: start it, then wait for it to end and collect its result.
running_program start_program(const std::string& program, const std::string& dir, const environment& env = {},
                              const child_setup& setup = {});
program_result finish_program(const running_program& child);

void write_ints(const std::string& path, const std::vector<int32_t>& values);
void write_floats(const std::string& path, const std::vector<float>& values);
void write_bytes(const std::string& path, const std::string& bytes);
std::string read_bytes(const std::string& path);
std::vector<float> read_floats(const std::string& path);
bool file_exists(const std::string& path);

// Bit pattern of a float, for exact comparisons that tell +0 from -0 and NaNs apart.
uint32_t float_bits(float v);
