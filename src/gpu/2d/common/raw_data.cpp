// Raw data reader and row-table allocators.
#include "raw_data.h"

#if defined(TESSARO_HOST_RUNTIME)
#include "cuda_host.h"
#endif

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Every file the readers opened, so that an output file can be told apart
// from the inputs however it is linked.
struct opened_input {
    dev_t device;
    ino_t inode;
    std::string path;
};
std::vector<opened_input> opened_inputs;

bool host_allocation_fails()
{
#if defined(TESSARO_HOST_RUNTIME)
    return host_runtime::injected_failure("host_alloc");
#else
    return false;
#endif
}

void remember_input(FILE* file, const char* path)
{
    struct stat info;
    if (fstat(fileno(file), &info) == 0)
        opened_inputs.push_back({info.st_dev, info.st_ino, path});
}

// One block of rows * cols cleared elements and the table of row pointers into
// it. The table and the block always have room for one entry, so entry 0 of a
// zero-row array is readable. Null when either cannot be obtained.
template <typename T>
T** allocate_2d(int rows, int cols)
{
    if (host_allocation_fails())
        return nullptr;
    int count = rows * cols;
    size_t table_entries = rows > 0 ? static_cast<size_t>(rows) : 1;
    size_t elements = count > 0 ? static_cast<size_t>(count) : 1;
    T** table = static_cast<T**>(std::calloc(table_entries, sizeof(T*)));
    T* block = static_cast<T*>(std::calloc(elements, sizeof(T)));
    if (table == nullptr || block == nullptr) {
        std::free(table);
        std::free(block);
        return nullptr;
    }
    table[0] = block;
    for (int i = 1; i < rows; ++i)
        table[i] = table[i - 1] + cols;
    return table;
}

// Size of a regular file, or -1 when the kind of file does not tell it.
long long regular_file_size(FILE* file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<long long>(info.st_size);
}

// Reads up to `wanted` whole values into `destination` and returns how many.
// A regular file is read in one stream read of the values it holds. Any other
// file (a pipe, a FIFO) tells its end only when it comes, so it is read through
// a bounce block, and a trailing fragment never reaches the destination. A
// read that fails (a directory, an I/O error) leaves its errno in `error`.
size_t read_whole_values(FILE* file, unsigned char* destination, size_t wanted, int* error)
{
    const long long size = regular_file_size(file);
    errno = 0;
    if (size >= 0) {
        const size_t held = static_cast<size_t>(size / 4);
        const size_t got = std::fread(destination, 4, held < wanted ? held : wanted, file);
        *error = std::ferror(file) ? errno : 0;
        return got;
    }
    unsigned char bounce[65536];
    size_t stored = 0, pending = 0; // pending: bytes of a value not yet whole
    while (stored < wanted) {
        const size_t room = (wanted - stored) * 4 - pending;
        const size_t ask = room < sizeof bounce - pending ? room : sizeof bounce - pending;
        const size_t got = std::fread(bounce + pending, 1, ask, file);
        const size_t bytes = pending + got;
        const size_t whole = bytes / 4;
        std::memcpy(destination + stored * 4, bounce, whole * 4);
        stored += whole;
        pending = bytes - whole * 4;
        std::memmove(bounce, bounce + whole * 4, pending);
        if (got < ask)
            break;
    }
    *error = std::ferror(file) ? errno : 0;
    return stored;
}

// A file that exists but cannot be used ends the run: say which, and why.
int unreadable(const char* path, int error)
{
    std::fprintf(stderr, "Error: cannot read %s: %s\n", path, std::strerror(error != 0 ? error : EIO));
    return read_failed;
}

// The reader behind both typed readers.
int read_raw_values(const char* path, void* destination, int count)
{
    std::printf("Reading data from file %s (size: %lld bytes)...\n", path, static_cast<long long>(count) * 4);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        const int error = errno;
        std::printf("Error: Could not open file: %s\n.", path);
        return error == ENOENT ? read_missing : unreadable(path, error);
    }
    remember_input(file, path);
    const size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
    int error = 0;
    const size_t got =
        wanted > 0 ? read_whole_values(file, static_cast<unsigned char*>(destination), wanted, &error) : 0;
    if (got != wanted)
        std::printf("Error: Only read %d of %d data elements.", static_cast<int>(got), count);
    std::fclose(file);
    std::printf("Closing file %s...\n", path);
    return error != 0 ? unreadable(path, error) : static_cast<int>(got);
}

} // namespace

int** allocate_i_2d(int rows, int cols) { return allocate_2d<int>(rows, cols); }

float** allocate_f_2d(int rows, int cols) { return allocate_2d<float>(rows, cols); }

void* allocate_host(size_t bytes) { return host_allocation_fails() ? nullptr : std::calloc(bytes, 1); }

long long row_table_bytes(int rows, int cols)
{
    return static_cast<long long>(rows) * static_cast<long long>(sizeof(void*)) + 4LL * rows * cols;
}

int import_int_data(const char* path, int* destination, int count)
{
    return read_raw_values(path, destination, count);
}

int import_float_data(const char* path, float* destination, int count)
{
    return read_raw_values(path, destination, count);
}

const char* input_file_named(const struct stat& info)
{
    for (const opened_input& input : opened_inputs)
        if (input.device == info.st_dev && input.inode == info.st_ino)
            return input.path.c_str();
    return nullptr;
}
