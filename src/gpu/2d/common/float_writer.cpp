// Double-buffered frame hand-off from the main thread to the writer thread.
#include "float_writer.h"

#include "platform.h"

#include "progress_line.h"
#include "raw_data.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void clear_slot(float_writer_buffer* slot, uint64_t capacity)
{
    slot->count = 0;
    slot->capacity = capacity;
    slot->ready = 0;
    slot->is_last = 0;
}

// A pinned block of `capacity` floats, or null for a zero capacity: a slot of
// no floats holds nothing and asks the runtime for nothing. Null also when the
// runtime has no block.
float* allocate_slot(uint64_t capacity)
{
    void* data = nullptr;
    if (capacity > 0)
        cudaMallocHost(&data, capacity * sizeof(float));
    return static_cast<float*>(data);
}

// Returns a slot's block; a null slot holds none.
cudaError_t free_slot(float* data) { return data != nullptr ? cudaFreeHost(data) : cudaSuccess; }

// Releases a slot; a failure is reported on standard error and returned.
cudaError_t release_slot(float* data)
{
    const cudaError_t result = free_slot(data);
    if (result != cudaSuccess)
        std::fprintf(stderr, "Error: cudaFreeHost failed: %s\n", cudaGetErrorString(result));
    return result;
}

// Opens genout.dat for writing without truncating it, takes the run's lock on
// it, and truncates it only when no other run holds it and it is none of the
// run's input files. Only a regular file is locked, truncated or checked: a
// device (/dev/null) or a pipe is shared by any number of runs and destroys
// no input. Returns the descriptor, or -1 with errno set, or
// float_writer_refused after a line on standard error.
int open_genout()
{
    const int fd = open("genout.dat", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    auto give_up = [fd](int result) {
        const int error = errno;
        close(fd);
        errno = error;
        return result;
    };
    struct stat info;
    if (fstat(fd, &info) != 0)
        return give_up(-1);
    if (!S_ISREG(info.st_mode))
        return fd;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            std::fprintf(stderr, "Error: genout.dat is in use by another run\n");
            return give_up(float_writer_refused);
        }
        // A file system without locks still takes the output.
        std::fprintf(stderr, "Warning: genout.dat cannot be locked (%s): a second run here would not be refused\n",
                     std::strerror(errno));
    }
    const char* input = input_file_named(info);
    if (input != nullptr) {
        std::fprintf(stderr, "Error: genout.dat is the input file %s\n", input);
        return give_up(float_writer_refused);
    }
    if (ftruncate(fd, 0) != 0)
        return give_up(-1);
    return fd;
}

// Floats of one write: a pipe's default capacity, so that a reader that drains
// it shows progress at every chunk.
constexpr uint64_t chunk_floats = 16384;

// Writes the frame of `slot` (the mutex held on entry and return, released
// while writing) in chunks, counting each in floats_written and signalling
// buffer_free after it. Returns 1 when the whole frame was written and flushed.
int write_frame(float_writer* writer, const float_writer_buffer* slot)
{
    const float* data = slot->data;
    const uint64_t count = slot->count;
    FILE* file = writer->file;
    pthread_mutex_unlock(&writer->mutex);
    uint64_t written = 0;
    for (bool short_write = false; written < count && !short_write;) {
        const uint64_t n = count - written < chunk_floats ? count - written : chunk_floats;
        const size_t done = std::fwrite(data + written, sizeof(float), n, file);
        short_write = done != n;
        written += done;
        pthread_mutex_lock(&writer->mutex);
        writer->floats_written += done;
        pthread_cond_signal(&writer->buffer_free);
        pthread_mutex_unlock(&writer->mutex);
    }
    int whole = written == count;
    if (!whole)
        print_message("Warning: Only wrote %zu of %zu floats\n", static_cast<size_t>(written),
                      static_cast<size_t>(count));
    if (std::fflush(file) != 0)
        whole = 0;
    pthread_mutex_lock(&writer->mutex);
    return whole;
}

double seconds_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Waits on buffer_free (the mutex held) until `done` holds. Once the run is
// stopping, gives up when the writer has written nothing for the bound: sets
// `stalled` and returns false. The waits are short, so that a stop requested
// meanwhile is seen.
template <typename Done>
bool wait_for_writer(float_writer* writer, Done done)
{
    uint64_t seen = writer->floats_written;
    double quiet_since = -1.0; // while stopping: since when nothing was written
    while (!done()) {
        if (writer->stalled != 0)
            return false;
        const double now = seconds_now();
        if (writer->floats_written != seen) {
            seen = writer->floats_written;
            quiet_since = -1.0;
        }
        if (writer->stop_requested != nullptr && writer->stop_requested->load() != 0) {
            if (quiet_since < 0.0)
                quiet_since = now;
            else if (now - quiet_since >= float_writer_stall_seconds) {
                writer->stalled = 1;
                return false;
            }
        }
        timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += 100000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        pthread_cond_clockwait(&writer->buffer_free, &writer->mutex, CLOCK_MONOTONIC, &until);
    }
    return true;
}

int sync_descriptor(int fd)
{
    int synced;
    while ((synced = fsync(fd)) != 0 && errno == EINTR) {
    }
    return synced;
}

// Hands what the stream holds to the system and, for a regular file, waits
// until the system has stored it and its entry in the working directory: a
// run that ends after the close keeps its frames through a power loss.
// Returns 0, or -1 when any of it fails (a directory that cannot be synced at
// all on its file system does not count).
int sync_genout(FILE* file)
{
    if (std::fflush(file) != 0)
        return -1;
    struct stat info;
    const int fd = fileno(file);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
#if defined(TESSARO_HOST_RUNTIME)
    if (host_runtime::injected_failure("genout_sync"))
        return -1;
#endif
    if (sync_descriptor(fd) != 0)
        return -1;
    const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return -1;
    const int synced = sync_descriptor(directory) == 0 || errno == EINVAL ? 0 : -1;
    close(directory);
    return synced;
}

} // namespace

int float_writer_init(float_writer* writer, uint64_t capacity)
{
    writer->file = nullptr;
    writer->failed = 0;
    writer->frames_written = 0;
    writer->floats_written = 0;
    writer->stop_requested = nullptr;
    writer->stalled = 0;
    writer->non_finite = non_finite_samples{0, 0, -1, 0};
    writer->buffers[0].data = allocate_slot(capacity);
    if (writer->buffers[0].data == nullptr && capacity > 0) {
        errno = ENOMEM;
        return -1;
    }
    clear_slot(&writer->buffers[0], capacity);
    writer->buffers[1].data = allocate_slot(capacity);
    if (writer->buffers[1].data == nullptr && capacity > 0) {
        release_slot(writer->buffers[0].data);
        errno = ENOMEM;
        return -1;
    }
    clear_slot(&writer->buffers[1], capacity);
    writer->write_index = 0;
    writer->fill_index = 0;
    writer->shutdown = 0;
    writer->frames_submitted = 0;

    pthread_mutex_init(&writer->mutex, nullptr);
    pthread_cond_init(&writer->data_ready, nullptr);
    pthread_cond_init(&writer->buffer_free, nullptr);

    const int fd = open_genout();
    int open_error = errno;
    writer->file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (writer->file != nullptr)
        return 0;
    if (fd >= 0) {
        open_error = errno;
        close(fd);
    }
    release_slot(writer->buffers[0].data);
    release_slot(writer->buffers[1].data);
    pthread_mutex_destroy(&writer->mutex);
    pthread_cond_destroy(&writer->data_ready);
    pthread_cond_destroy(&writer->buffer_free);
    errno = open_error;
    return fd == float_writer_refused ? float_writer_refused : -1;
}

void* float_writer_thread(void* arg)
{
    auto* writer = static_cast<float_writer*>(arg);
    for (;;) {
        pthread_mutex_lock(&writer->mutex);
        int i = writer->write_index;
        while (writer->buffers[i].ready == 0) {
            if (writer->shutdown != 0) {
                pthread_mutex_unlock(&writer->mutex);
                return nullptr;
            }
            pthread_cond_wait(&writer->data_ready, &writer->mutex);
            i = writer->write_index;
        }

        float_writer_buffer* slot = &writer->buffers[i];
        count_non_finite(&writer->non_finite, slot->data, slot->count);
        const int whole = slot->count == 0 || write_frame(writer, slot);
        // Once a frame is lost, the later ones no longer stand at their offsets.
        writer->failed |= !whole;
        writer->frames_written += !writer->failed;

        int last = slot->is_last;
        slot->count = 0;
        slot->ready = 0;
        slot->is_last = 0;
        writer->write_index = (writer->write_index + 1) % 2;

        pthread_cond_signal(&writer->buffer_free);
        pthread_mutex_unlock(&writer->mutex);
        if (last != 0)
            return nullptr;
    }
}

void float_writer_submit(float_writer* writer, const float* frame, uint64_t n, int is_last)
{
    pthread_mutex_lock(&writer->mutex);
    int i = writer->fill_index;
    float_writer_buffer* slot = &writer->buffers[i];
    if (!wait_for_writer(writer, [slot] { return slot->ready == 0; })) {
        pthread_mutex_unlock(&writer->mutex);
        return;
    }

    if (n > slot->capacity) {
        std::printf("Warning: Float array size (%zu) exceeds buffer capacity (%zu), truncating\n",
                    static_cast<size_t>(n), static_cast<size_t>(slot->capacity));
        n = slot->capacity;
    }
    if (n > 0)
        std::memcpy(slot->data, frame, n * sizeof(float));

    slot->count = n;
    writer->frames_submitted++;
    slot->is_last = is_last;
    slot->ready = 1;
    writer->fill_index = (writer->fill_index + 1) % 2;

    pthread_cond_signal(&writer->data_ready);
    pthread_mutex_unlock(&writer->mutex);
}

void float_writer_shutdown(float_writer* writer)
{
    pthread_mutex_lock(&writer->mutex);
    writer->shutdown = 1;
    pthread_cond_signal(&writer->data_ready);
    pthread_mutex_unlock(&writer->mutex);
}

int float_writer_drain(float_writer* writer)
{
    pthread_mutex_lock(&writer->mutex);
    const bool drained =
        wait_for_writer(writer, [writer] { return writer->buffers[0].ready == 0 && writer->buffers[1].ready == 0; });
    pthread_mutex_unlock(&writer->mutex);
    return drained ? 0 : -1;
}

cudaError_t float_writer_destroy(float_writer* writer)
{
    if (writer->file != nullptr) {
        const int synced = sync_genout(writer->file);
        if (std::fclose(writer->file) != 0 || synced != 0)
            writer->failed = 1;
        writer->file = nullptr;
    }
    const cudaError_t first = free_slot(writer->buffers[0].data);
    const cudaError_t second = free_slot(writer->buffers[1].data);
    pthread_mutex_destroy(&writer->mutex);
    pthread_cond_destroy(&writer->data_ready);
    pthread_cond_destroy(&writer->buffer_free);
    return first != cudaSuccess ? first : second;
}

void count_non_finite(non_finite_samples* seen, const float* frame, uint64_t n)
{
    for (uint64_t j = 0; j < n; ++j) {
        if (std::isfinite(frame[j]))
            continue;
        if (seen->count++ == 0)
            seen->first_frame = seen->frames, seen->first_slot = static_cast<int64_t>(j);
    }
    seen->frames++;
}

int float_writer_failed(const float_writer* writer) { return writer->failed; }
