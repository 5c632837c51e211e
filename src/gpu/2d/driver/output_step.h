// The output step of a time step: sample the next level of p at every GPU's
// output points, gather the samples into genout_frame_host and hand the frame
// to the writer thread.
#pragma once

#include "decomposition.h"
#include "device_state.h"
#include "float_writer.h"
#include "startup.h"

void run_output_step(const host_inputs& in, const decomposition& d, const device_state& st, float* genout_frame_host,
                     float_writer* writer, int t);
