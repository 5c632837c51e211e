// Raw data files (consecutive native 4-byte values, no header) and row-table
// 2-D arrays (one contiguous block plus a table of row pointers).
#pragma once

#include <cstddef>

// Row tables of new rows x cols arrays, elements cleared. A zero-row array
// still has a readable entry 0 that points at an empty block. Null when the
// memory cannot be obtained.
int** allocate_i_2d(int rows, int cols);
float** allocate_f_2d(int rows, int cols);
// Bytes that such an array asks for: its row table and its block.
long long row_table_bytes(int rows, int cols);

// A cleared heap block of `bytes` bytes, or null when it cannot be obtained.
// Every host allocation of the start-up goes through this or the row tables
// above, so that under the host runtime TESSARO_HOST_FAIL=host_alloc:N makes
// the N-th of them fail as if memory had run out (a row-table array counts once).
void* allocate_host(size_t bytes);

constexpr int read_missing = -1; // the file does not exist
constexpr int read_failed = -2;  // it exists, but could not be opened or read

// Read `count` values from the start of the file at `path` into `destination`,
// announcing, reporting and closing on standard output. Only whole values are
// stored: a missing or short file leaves the unread elements as they were, for
// any kind of file. Returns the number of values stored; the caller may go on.
// Returns read_missing when the file does not exist, and read_failed, after
// "Error: cannot read PATH: REASON" on standard error, for any other failure
// to open or read it; the caller must not go on with the run then.
int import_int_data(const char* path, int* destination, int count);
int import_float_data(const char* path, float* destination, int count);

// The path under which the readers opened the file that `info` describes (the
// same device and inode: a hard or symbolic link counts), or null when they
// never opened it.
struct stat;
const char* input_file_named(const struct stat& info);
