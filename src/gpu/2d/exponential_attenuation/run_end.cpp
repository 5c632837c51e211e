#include "run_end.h"

#include "non_finite_output.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// A signal that the run was started to ignore (nohup, a background job) is
// left ignored.
bool caught[3] = {false, false, false};

std::atomic<int> caught_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

float_writer* held_writer = nullptr;
pthread_t held_thread;
// What genout.dat held when it was closed.
int frames_closed = 0;
bool incomplete_closed = false;

void on_stop_signal(int signal)
{
    if (caught_signal.exchange(signal) != 0) {
        // The second one: no more waiting for a step boundary.
        std::signal(signal, SIG_DFL);
        raise(signal);
    }
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
    std::putchar('\n'); // ends the progress line
    std::fflush(stdout);
    std::fprintf(stderr, "Stopped by %s after %d of %d steps: genout.dat holds %d whole frames%s\n",
                 signal_name(signal), steps_done, nT, frames_closed,
                 incomplete_closed ? ", then part of a frame whose write failed" : "");
    restore_default_actions();
    raise(signal);
    _exit(128 + signal); // not reached: the signal's default action ends the process
}

} // namespace

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) {
        struct sigaction before;
        caught[i] = sigaction(stop_signals[i], nullptr, &before) == 0 && before.sa_handler != SIG_IGN &&
                    sigaction(stop_signals[i], &action, nullptr) == 0;
    }
}

void hold_output(float_writer* writer, pthread_t writer_thread)
{
    held_writer = writer;
    held_thread = writer_thread;
}

cudaError_t release_output()
{
    float_writer* writer = held_writer;
    held_writer = nullptr; // a failure from here on has nothing left to finish
    if (writer == nullptr)
        return cudaSuccess;
    float_writer_shutdown(writer);
    pthread_join(held_thread, nullptr);
    const cudaError_t released = float_writer_destroy(writer);
    warn_non_finite_output(*writer);
    frames_closed = writer->frames_written;
    incomplete_closed = float_writer_failed(writer) != 0;
    return released;
}

void stop_if_signalled(int steps_done, int nT)
{
    const int signal = caught_signal.load();
    if (signal == 0)
        return;
    release_output();
    end_by_signal(signal, steps_done, nT);
}

void release_stop_signals(int steps_done, int nT)
{
    restore_default_actions();
    const int signal = caught_signal.load();
    if (signal != 0)
        end_by_signal(signal, steps_done, nT);
}

[[noreturn]] void end_run_failed()
{
    release_output();
    std::exit(1);
}
