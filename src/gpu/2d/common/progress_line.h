// Standard output carries one progress line: "Progress :      " begins it, the
// per-GPU memory reports continue it and the time loop's figures follow, each
// taking back the one before. A line on standard error printed while it is
// open goes through print_message, which ends it first; the next figure then
// begins it again.
//
// The console may block (a full pipe, a paused terminal). Its text is written
// under one lock, which a thread waits for at most a second: a figure is then
// dropped, a message written without ending the line. After a stop, a write
// that blocks is interrupted and given up (see run_end.h).
#pragma once

void begin_progress_line();
// Text that continues the line: a memory report.
void continue_progress_line(const char* text);
// The figure "\b\b\b\b\b%0.3f" of `fraction`, flushed.
void show_progress(double fraction);
// Ends the progress line for good and prints `text` as a line: "\nDone." with
// puts, or only "Done." when a message has already ended the line.
void close_progress_line(const char* text);
// Prints a line (a printf format ending in "\n") on standard error, ending the
// open progress line first: every "Error: ..." and "Warning: ..." line of a
// run that may have begun the progress line.
void print_message(const char* format, ...) __attribute__((format(printf, 1, 2)));
