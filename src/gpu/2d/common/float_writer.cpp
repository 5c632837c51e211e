// Double-buffered frame hand-off from the main thread to the writer thread.
#include "float_writer.h"

#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void clear_slot(float_writer_buffer* slot, uint64_t capacity)
{
    slot->count = 0;
    slot->capacity = capacity;
    slot->ready = 0;
    slot->is_last = 0;
}

// A pinned block of `capacity` floats, at least one so that a zero capacity
// still gets a real pointer; null when the runtime has none.
float* allocate_slot(uint64_t capacity)
{
    void* data = nullptr;
    cudaMallocHost(&data, (capacity > 0 ? capacity : 1) * sizeof(float));
    return static_cast<float*>(data);
}

// Releases a slot; a failure is reported on standard error and returned.
cudaError_t release_slot(float* data)
{
    const cudaError_t result = cudaFreeHost(data);
    if (result != cudaSuccess)
        std::fprintf(stderr, "Error: cudaFreeHost failed: %s\n", cudaGetErrorString(result));
    return result;
}

} // namespace

int float_writer_init(float_writer* writer, uint64_t capacity)
{
    writer->file = nullptr;
    writer->file_buffer = nullptr;
    writer->failed = 0;
    writer->buffers[0].data = allocate_slot(capacity);
    if (writer->buffers[0].data == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    clear_slot(&writer->buffers[0], capacity);
    writer->buffers[1].data = allocate_slot(capacity);
    if (writer->buffers[1].data == nullptr) {
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
    // one frame it reaches the file in one write, so a run stopped by a signal
    // never leaves part of a frame behind.
    const size_t buffer_bytes = capacity * sizeof(float) > BUFSIZ ? capacity * sizeof(float) : BUFSIZ;
    writer->file_buffer = static_cast<char*>(std::malloc(buffer_bytes));
    writer->file = writer->file_buffer != nullptr ? std::fopen("genout.dat", "wb") : nullptr;
    if (writer->file != nullptr)
        std::setvbuf(writer->file, writer->file_buffer, _IOFBF, buffer_bytes);
    if (writer->file == nullptr) {
        int open_error = writer->file_buffer != nullptr ? errno : ENOMEM;
        std::free(writer->file_buffer);
        writer->file_buffer = nullptr;
        release_slot(writer->buffers[0].data);
        release_slot(writer->buffers[1].data);
        pthread_mutex_destroy(&writer->mutex);
        pthread_cond_destroy(&writer->data_ready);
        pthread_cond_destroy(&writer->buffer_free);
        errno = open_error;
        return -1;
    }
    return 0;
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
        if (slot->count != 0) {
            size_t written = std::fwrite(slot->data, sizeof(float), slot->count, writer->file);
            if (written != slot->count) {
                std::fprintf(stderr, "Warning: Only wrote %zu of %zu floats\n", written,
                             static_cast<size_t>(slot->count));
                writer->failed = 1;
            }
            if (std::fflush(writer->file) != 0)
                writer->failed = 1;
        }

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
    const cudaError_t first = cudaFreeHost(writer->buffers[0].data);
    const cudaError_t second = cudaFreeHost(writer->buffers[1].data);
    pthread_mutex_destroy(&writer->mutex);
    pthread_cond_destroy(&writer->data_ready);
    pthread_cond_destroy(&writer->buffer_free);
    return first != cudaSuccess ? first : second;
}

int float_writer_failed(const float_writer* writer) { return writer->failed; }
