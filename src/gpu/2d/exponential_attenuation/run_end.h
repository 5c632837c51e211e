// How a run ends once genout.dat is open. A failed call or a stop signal
// (SIGINT, SIGTERM, SIGHUP) first lets the writer thread write every frame
// handed to it, joins it and closes genout.dat, so that the file holds whole
// frames, each the true frame of its index, and none twice.
#pragma once

#include "float_writer.h"

#include <pthread.h>

// From now on a stop signal only sets a flag, which the time loop reads at
// every step boundary; a second one ends the run at once. Signals that the
// run was started to ignore stay ignored.
void catch_stop_signals();

// Failures and stops finish this writer and its thread before the run ends.
void hold_output(float_writer* writer, pthread_t writer_thread);

// Shuts the held writer down, joins its thread and destroys it: genout.dat is
// closed. Returns the result of releasing its slots.
cudaError_t release_output();

// At a step boundary, `steps_done` of `nT` steps done: after a stop signal,
// closes genout.dat, says on standard error what it holds, and ends the
// process by that signal. Otherwise returns.
void stop_if_signalled(int steps_done, int nT);

// Once genout.dat is closed for good: stop signals act at once again, and one
// that came during the last steps ends the process as above.
void release_stop_signals(int steps_done, int nT);

// Ends the run with status 1 after the caller's message, closing genout.dat
// first when it is open.
[[noreturn]] void end_run_failed();
