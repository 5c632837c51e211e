// The sources of one time step, written, added or zeroed into the current
// level of p, u and w on every GPU.
#pragma once

#include "decomposition.h"
#include "device_state.h"
#include "startup.h"

// Issues the step's sources: per GPU and family (schedule order), the halo
// regions the GPU owns and the ghost columns it holds on halo_stream, then its
// body region on compute_stream. With memory saving the slices of step t are
// gathered and uploaded first. Returns once every GPU on which a family acted
// has finished its source writes, so the updates that follow see all of them.
void apply_sources(const host_inputs& in, const decomposition& d, const device_state& st, int t);
