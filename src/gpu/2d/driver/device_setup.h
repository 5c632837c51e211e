// Device set-up: per GPU its five streams, peer access (with access to the
// peer's default memory pool), the stream-ordered allocations, the clears and
// the uploads of its share of the inputs; then the waits that complete them all.
#pragma once

#include "decomposition.h"
#include "device_state.h"
#include "solver_model.h"
#include "startup.h"

#include <cstddef>

// Returns 0, or exit status 1 when the program requires peer access between
// two GPUs that cannot reach each other. Failed runtime calls end the run.
int set_up_devices(const solver_model& model, const host_inputs& in, const decomposition& d, device_state* st);

// Elements of device array `id` on a GPU whose window is L columns wide.
size_t array_elements(array_id id, const host_inputs& in, int L);
// Elements of the device time series of family f (one per source with memory saving on).
size_t series_elements(family_id f, const host_inputs& in);
