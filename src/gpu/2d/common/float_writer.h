// Output writer: the main thread hands sampled frames to a writer thread
// through two pinned slots; the writer appends them to genout.dat.
#pragma once

#include "platform.h"

#include <pthread.h>
#include <cstdint>
#include <cstdio>

struct float_writer_buffer {
    float* data;       // capacity floats of pinned host memory
    uint64_t count;    // floats of the frame held; 0 when free
    uint64_t capacity;
    int32_t ready;     // 1 while the frame waits to be written
    int32_t is_last;   // the writer thread ends after writing this frame
};

// NaN and inf samples of the frames written so far, and where the first lies.
struct non_finite_samples {
    int64_t count;
    int32_t frames;      // frames looked at
    int32_t first_frame; // -1 while there is none
    int64_t first_slot;
};

struct float_writer {
    float_writer_buffer buffers[2];
    int32_t write_index; // slot the writer thread takes next
    int32_t fill_index;  // slot the producer fills next
    pthread_mutex_t mutex;
    pthread_cond_t data_ready;
    pthread_cond_t buffer_free;
    FILE* file;
    int32_t shutdown;
    int32_t frames_submitted;
    int32_t failed; // 1 once a write, flush or close of genout.dat failed
    char* file_buffer; // genout.dat's stream buffer: a whole frame, so each frame leaves in one write
    int32_t frames_written; // frames that reached genout.dat whole, all before them whole too
    non_finite_samples non_finite;
};

// Returns 0 on success. On failure everything acquired is released and -1 is
// returned with errno telling why, or float_writer_refused after a line on
// standard error: another run holds genout.dat (each run locks it for its
// whole length), or genout.dat is one of the run's input files. A refused
// genout.dat is neither truncated nor written. Slots of a zero capacity are
// null.
constexpr int float_writer_refused = -2;
int float_writer_init(float_writer* writer, uint64_t capacity);
void* float_writer_thread(void* writer);
void float_writer_submit(float_writer* writer, const float* frame, uint64_t n, int is_last);
void float_writer_shutdown(float_writer* writer);
// Closes genout.dat and releases the slots, mutex and condition variables;
// call after the writer thread has been joined. Returns the first failure of
// releasing a slot, or cudaSuccess.
cudaError_t float_writer_destroy(float_writer* writer);
// Adds the NaN and inf samples of the next frame, of n floats, to `seen`.
void count_non_finite(non_finite_samples* seen, const float* frame, uint64_t n);
// 1 when genout.dat lacks data because a write, flush or close failed.
int float_writer_failed(const float_writer* writer);
