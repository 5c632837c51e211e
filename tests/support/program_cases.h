// Running a program on an input set and reading its genout.dat in outc order.
#pragma once

#include "input_set.h"
#include "test_support.h"

#include <string>
#include <vector>

struct run_output {
    scratch_dir dir; // where it ran: its inputs, genout.dat, and any file its environment names
    program_result result;
    std::vector<float> genout; // as written
    bool has_genout;
};

// Runs `program` on `set` in a new scratch directory "tessaro_TAG_..." and reads its genout.dat.
run_output run_case(const std::string& program, const input_set& set, const environment& env,
                    const std::string& tag);

// Reorders the frames of genout (slots grouped by owning GPU) into outc order;
// points that no GPU accepts give +0.0.
std::vector<float> frames_in_outc_order(const input_set& set, const std::vector<float>& genout, int ngpus);

// The environment of a run on the host runtime: simulated GPUs, schedule,
// memory saving, two CPU threads per launch (tests run side by side).
environment host_environment(int gpus, const char* schedule = "eager", bool memory_saving = false);

// Runs `set` on 1 to 4 GPUs under both schedules, with memory saving off and
// on, and expects every genout.dat, in outc order, to equal that of the run
// on one GPU bit for bit. Returns that reference, in outc order. Each run's
// directory lives until its comparison is done.
std::vector<float> expect_same_genout_everywhere(const std::string& program, const input_set& set);

// A new scratch directory holding case `which` (1 or 2) of the device check's
// case generator (tessaro_example_inputs check-case) at the given size.
scratch_dir write_check_case(int which, int nX, int nY, int nT);
