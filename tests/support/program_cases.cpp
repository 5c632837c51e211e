#include "program_cases.h"

#include "decomposition.h"

run_output run_case(const std::string& program, const input_set& set, const environment& env, const std::string& tag)
{
    const std::string dir = make_scratch_dir(tag);
    write_input_set(dir, set);
    run_output out;
    out.result = run_program(program, dir, env);
    out.has_genout = file_exists(dir + "/genout.dat");
    if (out.has_genout)
        out.genout = read_floats(dir + "/genout.dat");
    return out;
}

std::vector<float> frames_in_outc_order(const input_set& set, const std::vector<float>& genout, int ngpus)
{
    decomposition d;
    compute_decomposition(set.nX, ngpus, &d);
    const size_t n = set.outc.size() / 2;
    // slot of every accepted point
    std::vector<long> slot(n, -1);
    long next = 0;
    for (int k = 0; k < ngpus; ++k)
        for (size_t i = 0; i < n; ++i) {
            const int x = set.outc[2 * i], y = set.outc[2 * i + 1];
            if (d.output_start[k] <= x && x < d.output_end[k] && y < set.nY)
                slot[i] = next++;
        }
    std::vector<float> ordered(genout.size(), 0.0f);
    for (size_t f = 0; n > 0 && f < genout.size() / n; ++f)
        for (size_t i = 0; i < n; ++i)
            ordered[f * n + i] = slot[i] >= 0 ? genout[f * n + static_cast<size_t>(slot[i])] : 0.0f;
    return ordered;
}
