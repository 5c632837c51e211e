// The device check's modes of tessaro_example_inputs: check-case and compare.
#pragma once

// Runs the mode that argv[1] names and returns its exit status, or -1 when
// argv[1] names neither.
int check_mode(int argc, char** argv);
