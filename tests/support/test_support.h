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
};

// A new empty directory under the system's temporary directory.
std::string make_scratch_dir(const std::string& tag);

// A program started in the background by start_program.
struct running_program {
    int pid;
    std::string out_path, err_path; // where its standard output and error go
};

// Runs `program` (with setup.args, usually none) in `dir`, with `env` added to (or replacing
// entries of) the test's environment; TESSARO_* and DIVEV_* variables of the
// test's own environment are not inherited. The program starts with standard
// input (/dev/null), output and error open, and no other descriptor.
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
