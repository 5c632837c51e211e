// Output writer: the main thread hands sampled frames to a writer thread
// through two pinned slots; the writer appends them to genout.dat.
#pragma once

#include "platform.h"

#include <pthread.h>
#include <atomic>
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
    int32_t failed; // 1 once a write, flush, sync or close of genout.dat failed
    int32_t frames_written; // frames that reached genout.dat whole, all before them whole too
    // The writer thread writes a frame in chunks, with the mutex released
    // during each write, so that a blocked write holds up no one and the
    // producer sees progress within a frame.
    uint64_t floats_written; // floats written to genout.dat so far
    // Non-zero once the run is stopping (null: never). From then on a wait of
    // the producer for the writer gives up when the writer has written nothing
    // for float_writer_stall_seconds, and sets `stalled`.
    const std::atomic<int>* stop_requested;
    int32_t stalled; // 1 once such a wait gave up: the writer thread is stuck in a write
    non_finite_samples non_finite;
};

constexpr int float_writer_stall_seconds = 10;

// Returns 0 on success. On failure everything acquired is released and -1 is
// returned with errno telling why, or float_writer_refused after a line on
// standard error: another run holds genout.dat (each run locks a regular
// genout.dat for its whole length), or genout.dat is one of the run's input
// files. A refused genout.dat is neither truncated nor written. Slots of a
// zero capacity are null.
constexpr int float_writer_refused = -2;
int float_writer_init(float_writer* writer, uint64_t capacity);
void* float_writer_thread(void* writer);
// Drops the frame when the run is stopping and the writer is stalled.
void float_writer_submit(float_writer* writer, const float* frame, uint64_t n, int is_last);
void float_writer_shutdown(float_writer* writer);
// Waits until every frame handed over has been written. Returns 0, or -1 when
// the writer is stalled: its thread is then stuck in a write and may be
// neither joined nor destroyed.
int float_writer_drain(float_writer* writer);
// Syncs genout.dat when it is a regular file, closes it and releases the
// slots, mutex and condition variables; call after the writer thread has been
// joined. Returns the first failure of releasing a slot, or cudaSuccess.
cudaError_t float_writer_destroy(float_writer* writer);
// Adds the NaN and inf samples of the next frame, of n floats, to `seen`.
void count_non_finite(non_finite_samples* seen, const float* frame, uint64_t n);
// 1 when genout.dat lacks data because a write, flush, sync or close failed.
int float_writer_failed(const float_writer* writer);
