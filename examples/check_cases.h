// The device check's modes of tessaro_example_inputs: check-case and compare;
// and what every mode shares: the usage line, the output directory.
#pragma once

#include <string>

// Runs the mode that argv[1] names and returns its exit status, or -1 when
// argv[1] names neither.
int check_mode(int argc, char** argv);

// The usage of every mode on standard error; returns 2.
int usage(const char* program);

// Creates `dir` and any missing parent; false after a line on standard error.
bool make_directory(const std::string& dir);
