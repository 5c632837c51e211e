// Raw data files (consecutive native 4-byte values, no header) and row-table
// 2-D arrays (one contiguous block plus a table of row pointers).
#pragma once

// Row tables of new rows x cols arrays, elements cleared. A zero-row array
// still has a readable entry 0 that points at an empty block. Null when the
// memory cannot be obtained.
int** allocate_i_2d(int rows, int cols);
float** allocate_f_2d(int rows, int cols);

// Read `count` values from the start of the file at `path` into `destination`,
// announcing, reporting and closing on standard output. Only whole values are
// stored: a missing or short file leaves the unread elements as they were, for
// any kind of file. Returns the number of values stored, or -1 when the file
// could not be opened; the caller may go on either way.
int import_int_data(const char* path, int* destination, int count);
int import_float_data(const char* path, float* destination, int count);

// The path under which the readers opened the file that `info` describes (the
// same device and inode: a hard or symbolic link counts), or null when they
// never opened it.
struct stat;
const char* input_file_named(const struct stat& info);
