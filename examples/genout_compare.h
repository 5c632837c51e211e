// The device check's comparison of two genout.dat (tessaro_example_inputs
// compare DIR_A DIR_B).
#pragma once

#include <string>

// Compares DIR_A/genout.dat with DIR_B/genout.dat, frames of the slot count
// in DIR_A/ncoordsout.dat, printing each file's count of non-zero finite
// samples and the outcome. Returns 0 when they are the same byte for byte
// (any NaN equal to any NaN) and at least half of the samples are non-zero
// and finite; 1 when they differ (the first difference by frame and slot,
// both values and their distance in units in the last place); 2 when a file
// cannot be read or too few samples count.
int compare_genout(const std::string& dir_a, const std::string& dir_b);
