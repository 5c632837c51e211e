// Running a program on an input set and reading its genout.dat in outc order.
#pragma once

#include "input_set.h"
#include "test_support.h"

#include <string>
#include <vector>

struct run_output {
    program_result result;
    std::vector<float> genout; // as written
    bool has_genout;
};

run_output run_case(const std::string& program, const input_set& set, const environment& env,
                    const std::string& tag);

// Reorders the frames of genout (slots grouped by owning GPU) into outc order;
// points that no GPU accepts give +0.0.
std::vector<float> frames_in_outc_order(const input_set& set, const std::vector<float>& genout, int ngpus);
