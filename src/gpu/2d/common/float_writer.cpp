// Double-buffered frame hand-off from the main thread to the writer thread.
#include "float_writer.h"

#include "platform.h"

#include "raw_data.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
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
// run's input files. Returns the descriptor, or -1 with errno set, or
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
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            std::fprintf(stderr, "Error: genout.dat is in use by another run\n");
            return give_up(float_writer_refused);
        }
        // A file system without locks still takes the output.
        std::fprintf(stderr, "Warning: genout.dat cannot be locked (%s): a second run here would not be refused\n",
                     std::strerror(errno));
    }
    struct stat info;
    if (fstat(fd, &info) != 0)
        return give_up(-1);
    // Writing into a device or a pipe destroys no input; truncating a file does.
    const char* input = S_ISREG(info.st_mode) ? input_file_named(info) : nullptr;
    if (input != nullptr) {
        std::fprintf(stderr, "Error: genout.dat is the input file %s\n", input);
        return give_up(float_writer_refused);
    }
    if (S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0)
        return give_up(-1);
    return fd;
}

} // namespace

int float_writer_init(float_writer* writer, uint64_t capacity)
{
    writer->file = nullptr;
    writer->file_buffer = nullptr;
    writer->failed = 0;
    writer->frames_written = 0;
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

    // Each frame is written and flushed whole: with a stream buffer of at least
    // one frame it reaches the file in one write.
    const size_t buffer_bytes = capacity * sizeof(float) > BUFSIZ ? capacity * sizeof(float) : BUFSIZ;
    writer->file_buffer = static_cast<char*>(std::malloc(buffer_bytes));
    const int fd = writer->file_buffer != nullptr ? open_genout() : -1;
    int open_error = writer->file_buffer != nullptr ? errno : ENOMEM;
    writer->file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (writer->file != nullptr) {
        std::setvbuf(writer->file, writer->file_buffer, _IOFBF, buffer_bytes);
        return 0;
    }
    if (fd >= 0) {
        open_error = errno;
        close(fd);
    }
    std::free(writer->file_buffer);
    writer->file_buffer = nullptr;
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
        int whole = 1;
        count_non_finite(&writer->non_finite, slot->data, slot->count);
        if (slot->count != 0) {
            size_t written = std::fwrite(slot->data, sizeof(float), slot->count, writer->file);
            if (written != slot->count) {
                std::fprintf(stderr, "Warning: Only wrote %zu of %zu floats\n", written,
                             static_cast<size_t>(slot->count));
                whole = 0;
            }
            if (std::fflush(writer->file) != 0)
                whole = 0;
        }
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
    while (slot->ready != 0)
        pthread_cond_wait(&writer->buffer_free, &writer->mutex);

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

cudaError_t float_writer_destroy(float_writer* writer)
{
    if (writer->file != nullptr) {
        if (std::fclose(writer->file) != 0)
            writer->failed = 1;
        writer->file = nullptr;
    }
    std::free(writer->file_buffer);
    writer->file_buffer = nullptr;
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
