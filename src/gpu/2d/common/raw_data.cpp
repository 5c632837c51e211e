// Raw data reader and row-table allocators.
#include "raw_data.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One block of rows * cols cleared elements and the table of row pointers into
// it. The table and the block always have room for one entry, so entry 0 of a
// zero-row array is readable.
template <typename T>
T** allocate_2d(int rows, int cols)
{
    int count = rows * cols;
    size_t table_entries = rows > 0 ? static_cast<size_t>(rows) : 1;
    size_t elements = count > 0 ? static_cast<size_t>(count) : 1;
    T** table = static_cast<T**>(std::calloc(table_entries, sizeof(T*)));
    T* block = static_cast<T*>(std::calloc(elements, sizeof(T)));
    table[0] = block;
    for (int i = 1; i < rows; ++i)
        table[i] = table[i - 1] + cols;
    return table;
}

// Bytes left in a regular file from its start, or -1 when unknown.
long long regular_file_size(FILE* file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<long long>(info.st_size);
}

} // namespace

int** allocate_i_2d(int rows, int cols) { return allocate_2d<int>(rows, cols); }

float** allocate_f_2d(int rows, int cols) { return allocate_2d<float>(rows, cols); }

int read_raw_values(const char* path, void* destination, int count)
{
    std::printf("Reading data from file %s (size: %lld bytes)...\n", path, static_cast<long long>(count) * 4);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::printf("Error: Could not open file: %s\n.", path);
        return -1;
    }
    size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
    // A trailing fragment of a value would land in the element after the last
    // whole one; keep that element as it was.
    auto* bytes = static_cast<unsigned char*>(destination);
    long long file_size = regular_file_size(file);
    size_t partial = wanted;
    unsigned char kept[4] = {0, 0, 0, 0};
    if (file_size >= 0 && static_cast<unsigned long long>(file_size) / 4 < wanted) {
        partial = static_cast<size_t>(file_size / 4);
        std::memcpy(kept, bytes + partial * 4, 4);
    }
    size_t got = wanted > 0 ? std::fread(destination, 4, wanted, file) : 0;
    if (partial < wanted && got <= partial)
        std::memcpy(bytes + partial * 4, kept, 4);
    if (got != wanted)
        std::printf("Error: Only read %d of %d data elements.", static_cast<int>(got), count);
    std::fclose(file);
    std::printf("Closing file %s...\n", path);
    return static_cast<int>(got);
}

void import_int_data(const char* path, int* destination, int count) { read_raw_values(path, destination, count); }

void import_float_data(const char* path, float* destination, int count)
{
    read_raw_values(path, destination, count);
}
