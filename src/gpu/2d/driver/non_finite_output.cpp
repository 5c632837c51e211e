#include "non_finite_output.h"

#include "output_points.h"

#include "progress_line.h"

namespace {

const host_inputs* layout_inputs = nullptr;
const decomposition* layout_decomposition = nullptr;

} // namespace

void hold_frame_layout(const host_inputs* in, const decomposition* d)
{
    layout_inputs = in;
    layout_decomposition = d;
}

void warn_non_finite_output(const non_finite_samples& seen)
{
    if (seen.count == 0 || layout_inputs == nullptr)
        return;
    const host_inputs& in = *layout_inputs;
    const long long samples = static_cast<long long>(seen.frames) * in.s.ncoordsout;
    const int slot = static_cast<int>(seen.first_slot);
    // The slots of the points that no GPU accepts hold +0.0: this one is a sampled point's.
    const int point = outc_point_of_slot(in, *layout_decomposition, slot);
    print_message("Warning: genout.dat holds %lld NaN or inf samples of %lld, the first in frame %d (after step %lld), "
                  "slot %d: outc point %d {%d, %d}\n",
                  static_cast<long long>(seen.count), samples, seen.first_frame,
                  static_cast<long long>(seen.first_frame) * in.s.modT, slot, point, in.outc[point][0],
                  in.outc[point][1]);
}
