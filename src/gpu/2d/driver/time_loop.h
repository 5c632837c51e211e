// The time-stepping loop and the teardown, shared by both programs; the
// program's model supplies its update kernels, exchanges and time shifts.
#pragma once

#include "decomposition.h"
#include "device_state.h"
#include "float_writer.h"
#include "solver_model.h"
#include "startup.h"


void run_time_loop(const solver_model& model, const host_inputs& in, const decomposition& d, const device_state& st,
                   float* genout_frame_host, float_writer* writer);

// Prints "\nDone.", ends the writer (genout.dat closed), releases the frame
// buffer, the slice buffers and every GPU's arrays and streams. Returns the
// exit status: 1 when genout.dat is incomplete, else 0.
int tear_down(const solver_model& model, const host_inputs& in, const decomposition& d, device_state* st,
              float* genout_frame_host, const float_writer* writer);
