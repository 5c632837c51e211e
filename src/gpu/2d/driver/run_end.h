// How a run ends once genout.dat is open. A failed call or a stop signal
// (SIGINT, SIGTERM, SIGHUP) first lets the writer thread write every frame
// handed to it, joins it and closes genout.dat, so that the file holds whole
// frames, each the true frame of its index, and none twice.
#pragma once

#include "float_writer.h"

#include <pthread.h>

// From now on a stop signal only sets a flag, which the time loop reads at
// every step boundary. Stop signals within 2 s of the first are the same
// request (a group signal and a direct one, timeout's two); a later one ends
// the run at once. Signals that the run was started to ignore stay ignored.
// After a stop, a console write that blocks is interrupted within a second
// and given up: the main thread always reaches its step boundary.
void catch_stop_signals();

// Starts the writer thread, the stop signals blocked in it so that no write of
// genout.dat is interrupted, and holds the writer: failures and stops finish
// it and its thread before the run ends. Returns pthread_create's result.
int start_writer_thread(float_writer* writer);

// Shuts the held writer down, joins its thread and destroys it: genout.dat is
// closed. After a stop, a writer that makes no progress for
// float_writer_stall_seconds is left as it is. Returns the result of
// releasing its slots.
cudaError_t release_output();

// At a step boundary, `steps_done` of `nT` steps done: after a stop signal,
// closes genout.dat, says on standard error what it holds, and ends the
// process by that signal. Otherwise returns.
void stop_if_signalled(int steps_done, int nT);

// Once genout.dat is closed for good: stop signals act at once again, and one
// that came during the last steps ends the process as above.
void release_stop_signals(int steps_done, int nT);

// Ends the run with status 1 after the caller's message, closing genout.dat
// first when it is open (after a stop whose writer stalled: ends by the
// signal, as above).
[[noreturn]] void end_run_failed();
