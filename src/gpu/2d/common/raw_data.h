// Raw data files (consecutive native 4-byte values, no header) and row-table
// 2-D arrays (one contiguous block plus a table of row pointers).
#pragma once

// Row tables of new rows x cols arrays, elements cleared. A zero-row array
// still has a readable entry 0 that points at an empty block.
int** allocate_i_2d(int rows, int cols);
float** allocate_f_2d(int rows, int cols);

// Read `count` values from the start of the file at `path` into `destination`,
// announcing, reporting and closing on standard output. A missing or short
// file leaves the unread elements as they were; the caller goes on.
void import_int_data(const char* path, int* destination, int count);
void import_float_data(const char* path, float* destination, int count);

// The reader behind both: the same lines, and the number of whole values
// stored, or -1 when the file could not be opened.
int read_raw_values(const char* path, void* destination, int count);
