// Output points: the pinned frame buffer, and per GPU the points it samples,
// its memory report, its out_desc table and the three output arrays.
#pragma once

#include "decomposition.h"
#include "device_state.h"
#include "solver_model.h"
#include "startup.h"

#include <cstdint>

// Estimated bytes of the device arrays of a GPU with window width L.
uint64_t memory_estimate(const solver_model& model, const host_inputs& in, int L, int out_count);

// The outc index of the point whose samples fill `slot` of a frame (slots
// grouped by owning GPU, each group in outc order), or -1 for a slot of the
// points that no GPU accepts.
int outc_point_of_slot(const host_inputs& in, const decomposition& d, int slot);

// Allocates and clears genout_frame_host (ncoordsout floats, pinned), then per
// GPU counts its points, prints its memory report and builds its output
// tables. Returns genout_frame_host.
float* set_up_output_points(const solver_model& model, const host_inputs& in, const decomposition& d,
                            device_state* st);
