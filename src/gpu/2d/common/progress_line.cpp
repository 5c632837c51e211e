#include "progress_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {

enum line_state {
    no_line,          // not begun, or closed for good
    text_on_line,     // the line holds text that no newline has ended
    at_line_start,    // a memory report has just ended with its newline
    ended_by_message, // a message ended it; the next figure begins it again
};

const char progress_prefix[] = "Progress :      ";

// Guards `state` and the order of console text from the main thread and the
// writer thread.
pthread_mutex_t console_mutex = PTHREAD_MUTEX_INITIALIZER;
line_state state = no_line;

// False when another thread has held the console for a second: its write is
// blocked, and the caller goes on without the lock.
bool lock_console()
{
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 1;
    return pthread_mutex_timedlock(&console_mutex, &until) == 0;
}

void put_text(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
    const size_t n = std::strlen(text);
    if (n > 0)
        state = text[n - 1] == '\n' ? at_line_start : text_on_line;
}

// Writes `text` to descriptor `fd`; a write interrupted by a signal (a stop
// that is ending the run) is given up, as is one that fails.
void write_fully(int fd, const char* text)
{
    for (size_t left = std::strlen(text); left > 0;) {
        const ssize_t n = write(fd, text, left);
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace

void begin_progress_line()
{
    if (!lock_console())
        return;
    put_text(progress_prefix);
    pthread_mutex_unlock(&console_mutex);
}

void continue_progress_line(const char* text)
{
    if (!lock_console())
        return;
    put_text(text);
    pthread_mutex_unlock(&console_mutex);
}

void show_progress(double fraction)
{
    if (!lock_console())
        return;
    if (state == ended_by_message)
        std::fputs(progress_prefix, stdout);
    std::printf("\b\b\b\b\b%0.3f", fraction);
    std::fflush(stdout);
    state = text_on_line;
    pthread_mutex_unlock(&console_mutex);
}

void close_progress_line(const char* text)
{
    if (!lock_console())
        return;
    if (state != ended_by_message)
        std::putchar('\n');
    std::puts(text);
    std::fflush(stdout);
    state = no_line;
    pthread_mutex_unlock(&console_mutex);
}

void print_message(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const bool locked = lock_console();
    // What standard output holds goes first, the open progress line ended.
    if (locked && state == text_on_line)
        std::putchar('\n');
    if (locked)
        std::fflush(stdout);
    if (locked && state != no_line)
        state = ended_by_message;
    // Standard error has no buffer: the line goes out in one write.
    write_fully(2, text);
    if (locked)
        pthread_mutex_unlock(&console_mutex);
}
