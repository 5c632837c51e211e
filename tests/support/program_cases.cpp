#include "program_cases.h"

#include "decomposition.h"

#include <gtest/gtest.h>

run_output run_case(const std::string& program, const input_set& set, const environment& env, const std::string& tag)
{
    run_output out{scratch_dir(tag), {}, {}, false};
    const std::string& dir = out.dir.path;
    write_input_set(dir, set);
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

environment host_environment(int gpus, const char* schedule, bool memory_saving)
{
    environment env = {{"TESSARO_HOST_GPUS", std::to_string(gpus)},
                       {"TESSARO_HOST_SCHEDULE", schedule},
                       {"TESSARO_HOST_THREADS", "2"}};
    if (memory_saving)
        env.push_back({"DIVEV_MEMORY_SAVING", "1"});
    return env;
}

std::vector<float> expect_same_genout_everywhere(const std::string& program, const input_set& set)
{
    run_output reference = run_case(program, set, host_environment(1), "invariance");
    EXPECT_EQ(reference.result.status, 0) << reference.result.err;
    const std::vector<float> expected = frames_in_outc_order(set, reference.genout, 1);
    for (int gpus = 1; gpus <= 4; ++gpus)
        for (const char* schedule : {"eager", "deferred"})
            for (bool saving : {false, true}) {
                SCOPED_TRACE(std::to_string(gpus) + " GPUs, " + schedule + (saving ? ", memory saving" : ""));
                run_output out = run_case(program, set, host_environment(gpus, schedule, saving), "invariance");
                EXPECT_EQ(out.result.status, 0) << out.result.err;
                const std::vector<float> ordered = frames_in_outc_order(set, out.genout, gpus);
                EXPECT_EQ(ordered.size(), expected.size());
                for (size_t i = 0; i < ordered.size() && i < expected.size(); ++i)
                    if (float_bits(ordered[i]) != float_bits(expected[i])) {
                        ADD_FAILURE() << "sample " << i << ": " << ordered[i] << " instead of " << expected[i];
                        break;
                    }
            }
    return expected;
}

scratch_dir write_check_case(int which, int nX, int nY, int nT)
{
    scratch_dir dir("check_case");
    child_setup setup;
    setup.args = {"check-case", dir.path, std::to_string(which), std::to_string(nX), std::to_string(nY),
                  std::to_string(nT)};
    const program_result r = run_program(TESSARO_EXAMPLE_INPUTS, dir.path, {}, setup);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir;
}
