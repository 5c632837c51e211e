#include "run_end.h"

#include "non_finite_output.h"
#include "progress_line.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// A signal that the run was started to ignore (nohup, a background job) is
// left ignored.
bool caught[3] = {false, false, false};

// The first stop signal and when it came (CLOCK_MONOTONIC nanoseconds); then
// whether genout.dat is closed for good, so that a stop can act at once.
std::atomic<int> caught_signal{0};
std::atomic<int64_t> first_stop_ns{0};
std::atomic<bool> output_released{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free flags");
constexpr int64_t same_request_ns = 2000000000;

// After a stop, SIGALRM interrupts the main thread every second: a console
// write blocked on a full pipe or a paused terminal returns, and is given up.
timer_t interrupt_timer;
bool have_interrupt_timer = false;
struct sigaction interrupt_action;

float_writer* held_writer = nullptr;
pthread_t held_thread;
// What genout.dat held when it was closed, or when a stalled writer was left.
int frames_closed = 0;
bool incomplete_closed = false;
bool stalled_closed = false;
// The last step boundary, for a failure while the run stops.
int steps_seen = 0;
int steps_planned = 0;

int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void on_interrupt(int) {}

void on_stop_signal(int signal)
{
    const int64_t now = monotonic_ns();
    int64_t first = 0;
    if (first_stop_ns.compare_exchange_strong(first, now)) {
        caught_signal.store(signal);
        if (!output_released.load()) {
            if (have_interrupt_timer) {
                // At once, in case this runs on another thread than the main one.
                const itimerspec every_second = {{1, 0}, {0, 1000000}};
                sigaction(SIGALRM, &interrupt_action, nullptr);
                timer_settime(interrupt_timer, 0, &every_second, nullptr);
            }
            return;
        }
    } else if (now - first < same_request_ns) {
        return; // the same request: a group signal and a direct one, timeout's second one
    }
    // genout.dat is closed for good, or a new request came while the run
    // stops: no more waiting.
    std::signal(signal, SIG_DFL);
    raise(signal);
}

const char* signal_name(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "SIGHUP";
    }
}

void restore_default_actions()
{
    for (int i = 0; i < 3; ++i)
        if (caught[i])
            std::signal(stop_signals[i], SIG_DFL);
}

// Ends the process by the caught signal, after saying what genout.dat holds.
[[noreturn]] void end_by_signal(int signal, int steps_done, int nT)
{
    char after[128] = "";
    if (stalled_closed)
        std::snprintf(after, sizeof after, ", then perhaps part of a frame whose write made no progress for %d s",
                      float_writer_stall_seconds);
    else if (incomplete_closed)
        std::snprintf(after, sizeof after, ", then part of a frame whose write failed");
    print_message("Stopped by %s after %d of %d steps: genout.dat holds %d whole frame%s%s\n", signal_name(signal),
                  steps_done, nT, frames_closed, frames_closed == 1 ? "" : "s", after);
    restore_default_actions();
    raise(signal);
    _exit(128 + signal); // not reached: the signal's default action ends the process
}

} // namespace

void catch_stop_signals()
{
    interrupt_action = {};
    interrupt_action.sa_handler = on_interrupt;
    sigemptyset(&interrupt_action.sa_mask);
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event._sigev_un._tid = gettid();
    have_interrupt_timer = timer_create(CLOCK_MONOTONIC, &event, &interrupt_timer) == 0;

    // Without SA_RESTART: a console write that blocks the main thread returns
    // (EINTR), and the loop reaches its step boundary.
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : stop_signals)
        sigaddset(&action.sa_mask, signal);
    for (int i = 0; i < 3; ++i) {
        struct sigaction before;
        caught[i] = sigaction(stop_signals[i], nullptr, &before) == 0 && before.sa_handler != SIG_IGN &&
                    sigaction(stop_signals[i], &action, nullptr) == 0;
    }
}

int start_writer_thread(float_writer* writer)
{
    sigset_t blocked, before;
    sigemptyset(&blocked);
    for (int signal : stop_signals)
        sigaddset(&blocked, signal);
    sigaddset(&blocked, SIGALRM);
    writer->stop_requested = &caught_signal;
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    const int created = pthread_create(&held_thread, nullptr, float_writer_thread, writer);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (created == 0)
        held_writer = writer;
    return created;
}

cudaError_t release_output()
{
    float_writer* writer = held_writer;
    held_writer = nullptr; // a failure from here on has nothing left to finish
    if (writer == nullptr)
        return cudaSuccess;
    float_writer_shutdown(writer);
    if (float_writer_drain(writer) != 0) {
        // Stuck in a write: the thread and the file are left to the end of the process.
        pthread_mutex_lock(&writer->mutex);
        frames_closed = writer->frames_written;
        incomplete_closed = writer->failed != 0;
        const non_finite_samples seen = writer->non_finite;
        pthread_mutex_unlock(&writer->mutex);
        stalled_closed = true;
        warn_non_finite_output(seen);
        return cudaSuccess;
    }
    pthread_join(held_thread, nullptr);
    const cudaError_t released = float_writer_destroy(writer);
    warn_non_finite_output(writer->non_finite);
    frames_closed = writer->frames_written;
    incomplete_closed = float_writer_failed(writer) != 0;
    return released;
}

void stop_if_signalled(int steps_done, int nT)
{
    steps_seen = steps_done;
    steps_planned = nT;
    const int signal = caught_signal.load();
    if (signal == 0)
        return;
    release_output();
    end_by_signal(signal, steps_done, nT);
}

void release_stop_signals(int steps_done, int nT)
{
    output_released.store(true);
    const int signal = caught_signal.load();
    if (signal != 0)
        end_by_signal(signal, steps_done, nT);
}

[[noreturn]] void end_run_failed()
{
    release_output();
    if (stalled_closed)
        end_by_signal(caught_signal.load(), steps_seen, steps_planned);
    std::exit(1);
}
