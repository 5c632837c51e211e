// The order of a time step and of the teardown through the host runtime's
// trace: one step (an output step) of each program on 3 GPUs, call by call
// from the first velocity update to the last stream destroyed. Arrays and
// streams are named from the set-up's allocation and creation order, so a
// failure reads "fd_u<<<1x2x1, 16x16x1, halo_stream@1>>>(rho, K, ...)".
#include "program_cases.h"
#include "trace.h"
#include "update_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace {

// The decomposition of nX = 100 over 3 GPUs.
const int ngpus = 3, nX = 100, nY = 20;
const int gpu_start[] = {0, 26, 59}, L[] = {42, 49, 41};
const int output_start[] = {0, 34, 67}, output_end[] = {34, 67, 100};
const int body_start[] = {8, 42, 75}, body_end[] = {26, 59, 92};
const int halo_start[] = {26, 34, 59, 67}; // 8 wide each

// Every family but icc_u, and no output point on GPU 1.
input_set step_set()
{
    input_set s = homogeneous_set(nX, nY, 1);
    s.icc = {30, 10};
    s.divev = {1.0f};
    s.icczero = {40, 10};
    s.icc_add = {45, 10};
    s.divev_add = {1.0f};
    s.icc_w = {70, 10};
    s.divev_w = {1.0f};
    s.outc = {20, 10, 80, 10, 85, 12};
    return s;
}
const int out_count[] = {1, 0, 2};
// The source tables that step_set() creates, in allocation and release order.
const std::vector<std::string> source_tables = {"divev", "icc", "icczero", "divev_add", "icc_add", "divev_w", "icc_w"};

const char* const stream_names[] = {"compute_stream", "halo_stream", "memvar_x_stream", "memvar_y_stream",
                                    "output_stream"};

struct field_on_stream {
    std::string field, stream;
};

struct program_order {
    std::string name, path;
    std::vector<std::string> allocations; // stream-ordered, before the source tables
    std::vector<std::string> fd_u_arrays, fd_p_arrays;
    std::vector<field_on_stream> exchange_after_u, exchange_after_p, time_shift;
    std::vector<std::string> releases; // before the source tables
};

const program_order programs[] = {
    {"Exponential",
     TESSARO_EXPONENTIAL_PROGRAM,
     {"p", "u", "w", "rho", "K", "beta", "a_exp", "dmap", "dcmap"},
     {"rho", "K", "dmap", "dcmap", "a_exp", "p", "u", "w"},
     {"K", "beta", "dmap", "dcmap", "a_exp", "p", "u", "w"},
     {{"u", "halo_stream"}, {"w", "halo_stream"}},
     {{"p", "halo_stream"}},
     {{"p", "compute_stream"}, {"u", "compute_stream"}, {"w", "compute_stream"}},
     {"p", "u", "w", "rho", "K", "beta", "dmap", "dcmap", "a_exp"}},
    {"TwoRelaxation",
     TESSARO_RELAXATION_PROGRAM,
     {"p", "u", "w", "kappax", "kappau", "apmlu1", "bpmlu1", "apmlx1", "bpmlx1", "apmlu2", "bpmlu2", "apmlx2",
      "bpmlx2", "psi_dudx_1", "psi_dudx_2", "psi_dwdy_1", "psi_dwdy_2", "psi_dpdx_1", "psi_dpdx_2", "psi_dpdy_1",
      "psi_dpdy_2", "rho", "K", "beta", "dmap", "dcmap"},
     {"rho", "K", "dmap", "dcmap", "kappax", "apmlx1", "bpmlx1", "apmlx2", "bpmlx2", "p", "u", "w", "psi_dpdx_1",
      "psi_dpdy_1", "psi_dpdx_2", "psi_dpdy_2"},
     {"K", "beta", "dmap", "dcmap", "kappau", "apmlu1", "bpmlu1", "apmlu2", "bpmlu2", "p", "u", "w", "psi_dudx_1",
      "psi_dwdy_1", "psi_dudx_2", "psi_dwdy_2"},
     {{"u", "halo_stream"},
      {"w", "halo_stream"},
      {"psi_dpdx_1", "memvar_x_stream"},
      {"psi_dpdx_2", "memvar_x_stream"},
      {"psi_dpdy_1", "memvar_y_stream"},
      {"psi_dpdy_2", "memvar_y_stream"}},
     {{"p", "halo_stream"},
      {"psi_dudx_1", "memvar_x_stream"},
      {"psi_dudx_2", "memvar_x_stream"},
      {"psi_dwdy_1", "memvar_y_stream"},
      {"psi_dwdy_2", "memvar_y_stream"}},
     {{"p", "compute_stream"},
      {"u", "compute_stream"},
      {"w", "compute_stream"},
      {"psi_dpdx_1", "halo_stream"},
      {"psi_dpdy_1", "halo_stream"},
      {"psi_dpdx_2", "halo_stream"},
      {"psi_dpdy_2", "memvar_x_stream"},
      {"psi_dudx_1", "memvar_x_stream"},
      {"psi_dwdy_1", "memvar_x_stream"},
      {"psi_dudx_2", "memvar_y_stream"},
      {"psi_dwdy_2", "memvar_y_stream"}},
     {"p", "u", "w", "psi_dpdx_1", "psi_dpdy_1", "psi_dpdx_2", "psi_dpdy_2", "psi_dudx_1", "psi_dwdy_1",
      "psi_dudx_2", "psi_dwdy_2", "kappax", "apmlx1", "bpmlx1", "apmlx2", "bpmlx2", "kappau", "apmlu1", "bpmlu1",
      "apmlu2", "bpmlu2", "rho", "K", "beta", "dmap", "dcmap"}},
};

std::string at(const std::string& name, int k) { return name + "@" + std::to_string(k); }

std::string hex_float(float v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%a", static_cast<double>(v));
    return text;
}

std::string join(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Trace ids ("a12", stream serial "7") to names ("u@1", "halo_stream@1").
struct trace_names {
    std::map<std::string, std::string> arrays, streams;

    std::string pointer(const std::string& text, int launch_dev = -1) const
    {
        const size_t plus = text.find('+');
        auto found = arrays.find(text.substr(0, plus));
        if (found == arrays.end())
            return text;
        std::string name = found->second;
        if (launch_dev >= 0 && name == at(name.substr(0, name.find('@')), launch_dev))
            name = name.substr(0, name.find('@'));
        return plus == std::string::npos || text.substr(plus) == "+0" ? name : name + text.substr(plus);
    }
    std::string stream(const std::string& field) const
    {
        auto found = streams.find(field.substr(0, field.find('/')));
        return found == streams.end() ? "stream " + field : found->second;
    }
};

trace_names name_ids(const std::vector<std::string>& lines, const program_order& prog)
{
    std::vector<std::string> staged = prog.allocations;
    staged.insert(staged.end(), source_tables.begin(), source_tables.end());
    const std::vector<std::string> plain = {"out_values", "out_desc", "out_index"};
    trace_names names;
    std::map<int, size_t> staged_seen, plain_seen, streams_seen;
    for (const std::string& line : lines) {
        const std::string call = line.substr(0, line.find(' '));
        const int dev = std::atoi(trace_field(line, "dev").c_str());
        if (call == "cudaMallocAsync" && staged_seen[dev] < staged.size())
            names.arrays[trace_field(line, "ptr")] = at(staged[staged_seen[dev]++], dev);
        else if (call == "cudaMalloc" && plain_seen[dev] < plain.size())
            names.arrays[trace_field(line, "ptr")] = at(plain[plain_seen[dev]++], dev);
        else if (call == "cudaStreamCreateWithPriority" && streams_seen[dev] < 5) {
            const std::string serial = trace_field(line, "stream");
            names.streams[serial.substr(0, serial.find('/'))] = at(stream_names[streams_seen[dev]++], dev);
        }
    }
    return names;
}

// One trace line as a call with names: cudaFree(u@1), fd_u<<<...>>>(...).
std::string render(const std::string& line, const trace_names& names)
{
    const std::string call = line.substr(0, line.find(' '));
    std::string out;
    if (call == "cudaSetDevice") {
        out = call + "(" + trace_field(line, "dev") + ")";
    } else if (call == "cudaDeviceSynchronize") {
        out = call + "() on " + trace_field(line, "dev");
    } else if (call == "launch") {
        const int dev = std::atoi(trace_field(line, "dev").c_str());
        std::string kernel = trace_field(line, "kernel");
        if (kernel.rfind("::") != std::string::npos)
            kernel = kernel.substr(kernel.rfind("::") + 2);
        std::vector<std::string> args;
        std::stringstream list(trace_field(line, "args"));
        for (std::string arg; std::getline(list, arg, ',');)
            args.push_back(names.pointer(arg, dev));
        out = kernel + "<<<" + trace_field(line, "grid") + ", " + trace_field(line, "block") + ", " +
              names.stream(trace_field(line, "stream")) + ">>>(" + join(args) + ")";
    } else if (call == "cudaStreamSynchronize" || call == "cudaStreamDestroy") {
        out = call + "(" + names.stream(trace_field(line, "stream")) + ")";
    } else if (call == "cudaMemcpyPeerAsync") {
        out = call + "(" + join({names.pointer(trace_field(line, "dst")), trace_field(line, "dst_dev"),
                                 names.pointer(trace_field(line, "src")), trace_field(line, "src_dev"),
                                 trace_field(line, "bytes"), names.stream(trace_field(line, "stream"))}) +
              ")";
    } else if (call == "cudaMemcpyAsync") {
        out = call + "(" + join({names.pointer(trace_field(line, "dst")), names.pointer(trace_field(line, "src")),
                                 trace_field(line, "bytes"), trace_field(line, "kind"),
                                 names.stream(trace_field(line, "stream"))}) +
              ")";
    } else if (call == "cudaFree") {
        out = call + "(" + names.pointer(trace_field(line, "ptr")) + ")";
    } else if (call == "cudaFreeHost") {
        out = call + "(pinned)";
    } else {
        return line;
    }
    const size_t failed = line.find(" -> ");
    return failed == std::string::npos ? out : out + line.substr(failed);
}

struct expected_call {
    std::string phase, call;
};

std::vector<expected_call> expected_step_and_teardown(const program_order& prog, const input_set& s)
{
    std::vector<expected_call> e;
    std::string phase;
    auto add = [&](const std::string& call) { e.push_back({phase, call}); };
    auto select = [&](int k) { add("cudaSetDevice(" + std::to_string(k) + ")"); };
    auto wait = [&](const char* stream, int k) { add("cudaStreamSynchronize(" + at(stream, k) + ")"); };
    // grid_width: a halo launch covers twice the region's 8 columns
    auto update = [&](const std::string& kernel, const std::vector<std::string>& arrays, int k, const char* stream,
                      int start, int end, int grid_width) {
        std::vector<std::string> args = arrays;
        for (int v : {8, L[k], nX, nY})
            args.push_back(std::to_string(v));
        args.insert(args.end(), {hex_float(s.dX), hex_float(s.dT), "1", std::to_string(start),
                                 std::to_string(end), std::to_string(start - gpu_start[k])});
        const int bx = update_block_x, by = update_block_y; // 16 x 16 unless the build sets another
        add(kernel + "<<<" + std::to_string((grid_width + bx - 1) / bx) + "x" + std::to_string((nY + by - 1) / by) +
            "x1, " + std::to_string(bx) + "x" + std::to_string(by) + "x1, " + at(stream, k) + ">>>(" + join(args) +
            ")");
    };
    auto half_step = [&](const std::string& kernel, const std::vector<std::string>& arrays, bool right_first,
                         const std::vector<field_on_stream>& exchanges) {
        phase = kernel + " on the halo regions";
        for (int k = 0; k < ngpus; ++k) {
            select(k);
            std::vector<int> regions;
            if (k == 0)
                regions = {0};
            else if (k == ngpus - 1)
                regions = {2 * k - 1};
            else
                regions = right_first ? std::vector<int>{2 * k, 2 * k - 1} : std::vector<int>{2 * k - 1, 2 * k};
            for (int h : regions)
                update(kernel, arrays, k, "halo_stream", halo_start[h], halo_start[h] + 8, 16);
        }
        phase = kernel + " on the bodies";
        for (int k = 0; k < ngpus; ++k) {
            select(k);
            update(kernel, arrays, k, "compute_stream", body_start[k], body_end[k], body_end[k] - body_start[k]);
        }
        phase = "exchange after " + kernel;
        for (int k = 0; k < ngpus; ++k) {
            select(k);
            wait("halo_stream", k);
        }
        const int bytes = 4 * 8 * nY;
        for (const field_on_stream& x : exchanges)
            for (int g = 0; g < ngpus; ++g) {
                auto copy = [&](int to, int dst_slice, int src_slice) {
                    add("cudaMemcpyPeerAsync(" +
                        join({at(x.field, to) + "+" + std::to_string(4 * dst_slice * nY), std::to_string(to),
                              at(x.field, g) + "+" + std::to_string(4 * src_slice * nY), std::to_string(g),
                              std::to_string(bytes), at(x.stream, g)}) +
                        ")");
                };
                if (g > 0)
                    copy(g - 1, 2 * L[g - 1] - 8, L[g] + 8);
                if (g < ngpus - 1)
                    copy(g + 1, L[g + 1], 2 * L[g] - 16);
            }
        phase = "waits after " + kernel;
        for (int k = 0; k < ngpus; ++k) {
            select(k);
            for (const char* stream : {"compute_stream", "halo_stream", "memvar_x_stream", "memvar_y_stream"})
                wait(stream, k);
        }
    };

    half_step("fd_u", prog.fd_u_arrays, false, prog.exchange_after_u);
    half_step("fd_p", prog.fd_p_arrays, true, prog.exchange_after_p);

    phase = "output sampling";
    for (int k = 0; k < ngpus; ++k) {
        select(k);
        if (out_count[k] == 0)
            continue;
        add("compute_genout_frame_multi<<<1x1x1, 16x1x1, " + at("output_stream", k) + ">>>(" +
            join({"out_index", "out_values", "p", "out_desc", std::to_string(out_count[k]), std::to_string(L[k]),
                  std::to_string(nY), std::to_string(output_start[k]), std::to_string(output_end[k]), "8",
                  std::to_string(output_start[k] - gpu_start[k])}) +
            ")");
    }
    phase = "output gather";
    for (int k = 0; k < ngpus; ++k) {
        if (out_count[k] == 0)
            continue;
        select(k);
        add("cudaMemcpyAsync(host, " + at("out_values", k) + ", " + std::to_string(4 * out_count[k]) + ", D2H, " +
            at("output_stream", k) + ")");
    }
    phase = "waits before the hand-off";
    for (int k = 0; k < ngpus; ++k) {
        select(k);
        wait("output_stream", k);
    }
    phase = "waits after the hand-off";
    for (int k = 0; k < ngpus; ++k) {
        select(k);
        wait("compute_stream", k);
        wait("output_stream", k);
    }

    phase = "time shift";
    for (int k = 0; k < ngpus; ++k) {
        select(k);
        const int n = nY * L[k];
        for (const field_on_stream& f : prog.time_shift)
            add("proceed_time<<<" + std::to_string((n + 31) / 32) + "x1x1, 32x1x1, " + at(f.stream, k) + ">>>(" +
                join({f.field, f.field + "+" + std::to_string(4 * n), std::to_string(n)}) + ")");
    }
    phase = "device synchronisation";
    for (int k = 0; k < ngpus; ++k) {
        select(k);
        add("cudaDeviceSynchronize() on " + std::to_string(k));
    }

    phase = "teardown: frame buffer and writer slots";
    for (int i = 0; i < 3; ++i)
        add("cudaFreeHost(pinned)");
    for (int k = 0; k < ngpus; ++k) {
        phase = "teardown of GPU " + std::to_string(k);
        select(k);
        std::vector<std::string> releases = prog.releases;
        releases.insert(releases.end(), source_tables.begin(), source_tables.end());
        for (const std::string& r : releases)
            add("cudaFree(" + at(r, k) + ")");
        // A GPU without output points has no output arrays: their pointers are null.
        for (const char* r : {"out_desc", "out_values", "out_index"})
            add("cudaFree(" + (out_count[k] > 0 ? at(r, k) : std::string("null")) + ")");
        for (const char* stream : stream_names)
            add("cudaStreamDestroy(" + at(stream, k) + ")");
    }
    return e;
}

// A diff of the expected and the traced calls (- expected only, + traced
// only), each change with 3 calls of context and the phase it belongs to.
std::string diff(const std::vector<expected_call>& expected, const std::vector<std::string>& actual)
{
    const size_t n = expected.size(), m = actual.size();
    std::vector<std::vector<int>> common(n + 1, std::vector<int>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            common[i][j] = expected[i].call == actual[j]
                               ? common[i + 1][j + 1] + 1
                               : std::max(common[i + 1][j], common[i][j + 1]);
    struct row {
        char mark;
        std::string text;
    };
    std::vector<row> rows;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && expected[i].call == actual[j])
            rows.push_back({' ', actual[j]}), ++i, ++j;
        else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1]))
            rows.push_back({'-', expected[i].call + "    [" + expected[i].phase + "]"}), ++i;
        else
            rows.push_back({'+', actual[j]}), ++j;
    }
    std::ostringstream out;
    size_t shown = 0, last = 0;
    for (size_t r = 0; r < rows.size() && shown < 60; ++r) {
        bool near = false;
        for (size_t q = r >= 3 ? r - 3 : 0; q < rows.size() && q <= r + 3; ++q)
            near = near || rows[q].mark != ' ';
        if (!near)
            continue;
        if (shown > 0 && r > last + 1)
            out << "  ...\n";
        out << rows[r].mark << ' ' << rows[r].text << '\n';
        last = r, ++shown;
    }
    return out.str();
}

void PrintTo(const program_order& prog, std::ostream* os) { *os << prog.name; }

class StepOrder : public ::testing::TestWithParam<program_order> {};

TEST_P(StepOrder, OneOutputStepAndTeardownOnThreeGpus)
{
    const program_order& prog = GetParam();
    const input_set set = step_set();
    const scratch_dir scratch("step_order");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    environment env = host_environment(ngpus);
    env.push_back({"TESSARO_HOST_TRACE", dir + "/trace"});
    const program_result r = run_program(prog.path, dir, env);
    ASSERT_EQ(r.status, 0) << r.err;

    const std::vector<std::string> lines = read_lines(dir + "/trace");
    const trace_names names = name_ids(lines, prog);
    // The step's section begins with the selection before the first fd_u.
    size_t begin = 0;
    while (begin < lines.size() && (lines[begin].rfind("launch ", 0) != 0 ||
                                    trace_field(lines[begin], "kernel").find("fd_u") == std::string::npos))
        ++begin;
    ASSERT_LT(begin, lines.size()) << "no fd_u launch in the trace";
    if (begin > 0 && lines[begin - 1].rfind("cudaSetDevice ", 0) == 0)
        --begin;
    std::vector<std::string> actual;
    for (size_t i = begin; i < lines.size(); ++i)
        actual.push_back(render(lines[i], names));

    const std::vector<expected_call> expected = expected_step_and_teardown(prog, set);
    const bool same = actual.size() == expected.size() &&
                      std::equal(actual.begin(), actual.end(), expected.begin(),
                                 [](const std::string& a, const expected_call& e) { return a == e.call; });
    EXPECT_TRUE(same) << "the step and teardown differ from the expected order (- expected, + traced):\n"
                      << diff(expected, actual);
}

INSTANTIATE_TEST_SUITE_P(Programs, StepOrder, ::testing::ValuesIn(programs),
                         [](const ::testing::TestParamInfo<program_order>& info) { return info.param.name; });

} // namespace
