// The warning for a genout.dat that holds NaN or inf samples.
#pragma once

#include "decomposition.h"
#include "float_writer.h"
#include "startup.h"

// The inputs and decomposition that place the frames' slots; they must live
// until genout.dat is closed.
void hold_frame_layout(const host_inputs* in, const decomposition* d);

// Once genout.dat is closed (or its writer given up): one line on standard error when the frames
// written held NaN or inf, with their number and the first one's frame, step,
// slot and output point.
void warn_non_finite_output(const non_finite_samples& seen);
