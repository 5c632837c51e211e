// Start-up of both programs: the reader lines and echoes on standard output,
// the memory-saving switch, the refusals of unusable inputs, and the host
// arrays that the start-up leaves behind.
#include "input_set.h"
#include "raw_data.h"
#include "runtime_settings.h"
#include "startup.h"
#include "test_support.h"
#include "update_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const exponential_maps[] = {"a_exp.dat"};
const char* const relaxation_maps[] = {"kappax.dat", "kappau.dat", "apmlu1.dat", "bpmlu1.dat", "apmlx1.dat",
                                       "bpmlx1.dat", "apmlu2.dat", "bpmlu2.dat", "apmlx2.dat", "bpmlx2.dat"};

struct program_kind {
    const char* name;
    std::string path;
    std::vector<std::string> maps; // read after "beta.dat"
};

const program_kind programs[] = {
    {"exponential", TESSARO_EXPONENTIAL_PROGRAM, {std::begin(exponential_maps), std::end(exponential_maps)}},
    {"relaxation", TESSARO_RELAXATION_PROGRAM, {std::begin(relaxation_maps), std::end(relaxation_maps)}},
};

// The reader's lines for a file read whole, and for a file that is absent.
std::string read_lines_of(const std::string& file, int bytes)
{
    return "Reading data from file " + file + " (size: " + std::to_string(bytes) + " bytes)...\nClosing file " + file +
           "...\n";
}

std::string absent_lines_of(const std::string& file, int bytes)
{
    return "Reading data from file " + file + " (size: " + std::to_string(bytes) + " bytes)...\n" +
           "Error: Could not open file: " + file + "\n.";
}

std::string int_bytes(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string float_bytes(float v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

const char* const decomposition_40_on_1 = "GPU 0: global range [0, 40), gpu_domain_local_nx = 40\n"
                                          "Output GPU 0: global range [0, 40), gpu_domain_local_nx = 40\n"
                                          "Body region 0: global range [8, 32), body_local_nx = 24\n"
                                          "Allocating memory.\n";

// Every input file present: one point in every family, two output points.
input_set full_set()
{
    input_set s = homogeneous_set(40, 20, 6);
    s.nTic = 4;
    s.modT = 2;
    s.icc = {10, 5};
    s.divev = {1, 2, 3, 4};
    s.icczero = {11, 6};
    s.icc_add = {12, 7};
    s.divev_add = {1, 2, 3, 4};
    s.icc_u = {13, 8};
    s.divev_u = {1, 2, 3, 4};
    s.icc_w = {14, 9};
    s.divev_w = {1, 2, 3, 4};
    s.outc = {20, 10, 21, 10};
    return s;
}

// Only `icc`: no probed count but "ncoords.dat", no "nTic.dat", no "modT.dat", no output points.
input_set sparse_set()
{
    input_set s = homogeneous_set(40, 20, 6);
    s.icc = {10, 5};
    s.divev = ricker(6, 25.0f, s.dT);
    return s;
}

TEST(StartUpOutput, EveryFilePresent)
{
    for (const program_kind& p : programs) {
        SCOPED_TRACE(p.name);
        const scratch_dir scratch("startup_full");
        const std::string& dir = scratch.path;
        write_input_set(dir, full_set());
        const program_result r = run_program(p.path, dir, {{"TESSARO_HOST_GPUS", "1"}});
        std::string expected = read_lines_of("nX.dat", 4) + "nX=40\n" + read_lines_of("nY.dat", 4) + "nY=20\n" +
                               read_lines_of("nT.dat", 4) + "nT=6\n" + read_lines_of("nTic.dat", 4) + "nTic=4\n" +
                               read_lines_of("modT.dat", 4) + "modT=2\n" + read_lines_of("dX.dat", 4) +
                               "dX=1.000000e+01\n" + read_lines_of("dY.dat", 4) + "dY=1.000000e+01\n" +
                               read_lines_of("dT.dat", 4) + "dT=1.000000e-03\n" + read_lines_of("c0.dat", 4) +
                               "c0=1.500000e+03\n" + read_lines_of("ncoords.dat", 4) + "ncoords=1\n" +
                               read_lines_of("ncoordszero.dat", 4) + "ncoordszero=1\n" +
                               read_lines_of("ncoordsout.dat", 4) + "ncoordsout=2\n" + read_lines_of("ndmap.dat", 4) +
                               "ndmap=1\n" + read_lines_of("ncoords_add.dat", 4) + "ncoords_add=1\n" +
                               read_lines_of("ncoords_u.dat", 4) + "ncoords_u=1\n" + read_lines_of("ncoords_w.dat", 4) +
                               "ncoords_w=1\n" + "Number of GPUs: 1\n" + decomposition_40_on_1 +
                               read_lines_of("d.dat", 72) + read_lines_of("dmap.dat", 72) +
                               read_lines_of("dcmap.dat", 3200) + read_lines_of("c.dat", 3200) +
                               read_lines_of("rho.dat", 3200) + read_lines_of("K.dat", 3200) +
                               read_lines_of("beta.dat", 3200);
        for (const std::string& map : p.maps)
            expected += read_lines_of(map, 3200);
        expected += read_lines_of("icc.dat", 8) + read_lines_of("divev.dat", 16) + read_lines_of("outc.dat", 16) +
                    read_lines_of("icczero.dat", 8) + read_lines_of("icc_add.dat", 8) +
                    read_lines_of("divev_add.dat", 16) + read_lines_of("icc_u.dat", 8) +
                    read_lines_of("divev_u.dat", 16) + read_lines_of("icc_w.dat", 8) +
                    read_lines_of("divev_w.dat", 16);
        EXPECT_EQ(r.out.substr(0, expected.size()), expected);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

// No reader lines for absent probed counts; the period that ends the open
// error stands in front of the next echo; nothing is read for empty families.
TEST(StartUpOutput, ProbedFilesAndNticAbsent)
{
    for (const program_kind& p : programs) {
        SCOPED_TRACE(p.name);
        const scratch_dir scratch("startup_sparse");
        const std::string& dir = scratch.path;
        write_input_set(dir, sparse_set());
        const program_result r = run_program(p.path, dir, {{"TESSARO_HOST_GPUS", "1"}});
        std::string expected = read_lines_of("nX.dat", 4) + "nX=40\n" + read_lines_of("nY.dat", 4) + "nY=20\n" +
                               read_lines_of("nT.dat", 4) + "nT=6\n" + absent_lines_of("nTic.dat", 4) + "nTic=6\n" +
                               absent_lines_of("modT.dat", 4) + "modT=1\n" + read_lines_of("dX.dat", 4) +
                               "dX=1.000000e+01\n" + read_lines_of("dY.dat", 4) + "dY=1.000000e+01\n" +
                               read_lines_of("dT.dat", 4) + "dT=1.000000e-03\n" + read_lines_of("c0.dat", 4) +
                               "c0=1.500000e+03\n" + read_lines_of("ncoords.dat", 4) + "ncoords=1\n" +
                               "ncoordszero=0\n" + read_lines_of("ncoordsout.dat", 4) + "ncoordsout=0\n" +
                               read_lines_of("ndmap.dat", 4) + "ndmap=1\n" + "ncoords_add=0\n" + "ncoords_u=0\n" +
                               "ncoords_w=0\n" + "Number of GPUs: 1\n" + decomposition_40_on_1 +
                               read_lines_of("d.dat", 72) + read_lines_of("dmap.dat", 72) +
                               read_lines_of("dcmap.dat", 3200) + read_lines_of("c.dat", 3200) +
                               read_lines_of("rho.dat", 3200) + read_lines_of("K.dat", 3200) +
                               read_lines_of("beta.dat", 3200);
        for (const std::string& map : p.maps)
            expected += read_lines_of(map, 3200);
        // nTic = nT = 6 samples; outc read with 0 bytes
        expected += read_lines_of("icc.dat", 8) + read_lines_of("divev.dat", 24) + read_lines_of("outc.dat", 0) +
                    "Starting time stepping loop...\n";
        EXPECT_EQ(r.out.substr(0, expected.size()), expected);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST(StartUpOutput, NoSourceEndsAfterTheEchoes)
{
    input_set set = homogeneous_set(40, 20, 6);
    set.icczero = {10, 5}; // zero points are no source
    for (const program_kind& p : programs) {
        SCOPED_TRACE(p.name);
        const scratch_dir scratch("startup_nosource");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        const program_result r = run_program(p.path, dir, {{"TESSARO_HOST_GPUS", "1"}});
        const std::string expected = read_lines_of("nX.dat", 4) + "nX=40\n" + read_lines_of("nY.dat", 4) + "nY=20\n" +
                                     read_lines_of("nT.dat", 4) + "nT=6\n" + absent_lines_of("nTic.dat", 4) +
                                     "nTic=6\n" + absent_lines_of("modT.dat", 4) + "modT=1\n" +
                                     read_lines_of("dX.dat", 4) + "dX=1.000000e+01\n" + read_lines_of("dY.dat", 4) +
                                     "dY=1.000000e+01\n" + read_lines_of("dT.dat", 4) + "dT=1.000000e-03\n" +
                                     read_lines_of("c0.dat", 4) + "c0=1.500000e+03\n" + "ncoords=0\n" +
                                     read_lines_of("ncoordszero.dat", 4) + "ncoordszero=1\n" +
                                     read_lines_of("ncoordsout.dat", 4) + "ncoordsout=0\n" +
                                     read_lines_of("ndmap.dat", 4) + "ndmap=1\n" + "ncoords_add=0\n" +
                                     "ncoords_u=0\n" + "ncoords_w=0\n";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "Error: no source defined (ncoords, ncoords_add, ncoords_u, ncoords_w all zero).\n");
        EXPECT_FALSE(file_exists(dir + "/genout.dat"));
    }
}

TEST(MemorySaving, ParsesTheSwitch)
{
    const struct {
        const char* text;
        int on;
    } cases[] = {{"1", 1},    {"-1", 1},   {"7abc", 1}, {"  2", 1},  {"yes", 1},        {"YES", 1},
                 {"0", 0},    {"00", 0},   {"no", 0},   {"Yes", 0},  {"true", 0},       {"0x1", 0},
                 {"", 0},     {" ", 0},    {"-0", 0},   {"yes ", 0}, {"4294967296", 0}, {"4294967297", 1},
                 {"+3", 1},   {nullptr, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_memory_saving(c.text), c.on) << "'" << (c.text ? c.text : "(unset)") << "'";
}

const char* const memory_saving_notice = "DIVEV_MEMORY_SAVING enabled: divev stays on CPU, slice transferred per step\n";

// Standard error of a start-up that refuses nothing.
TEST(MemorySaving, NoticeAndDyWarningOnStandardError)
{
    const struct {
        const char* value; // nullptr: unset
        float dY;
        std::string err;
    } cases[] = {
        {nullptr, 10.0f, ""},
        {"yes", 10.0f, memory_saving_notice},
        {"Yes", 10.0f, ""},
        {"1", 5.0f,
         std::string(memory_saving_notice) +
             "Warning: dY=5.000000e+00 differs from dX=1.000000e+01; dY is ignored, both derivatives use dX\n"},
        {"0", 5.0f, "Warning: dY=5.000000e+00 differs from dX=1.000000e+01; dY is ignored, both derivatives use dX\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        input_set set = full_set();
        set.dY = c.dY;
        const scratch_dir scratch("startup_saving");
        const std::string& dir = scratch.path;
        write_input_set(dir, set);
        environment env = {{"TESSARO_HOST_GPUS", "1"}};
        if (c.value)
            env.push_back({"DIVEV_MEMORY_SAVING", c.value});
        const program_result r = run_program(TESSARO_EXPONENTIAL_PROGRAM, dir, env);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 0);
    }
}

// A start-up case: the input set, then files written over it or removed.
struct startup_case {
    const char* name;
    std::function<void(input_set&)> edit;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> removed;
    int gpus;
    std::string err;      // the whole of standard error
    const char* reaches;  // on standard output
    const char* stops_before; // not on standard output
    std::vector<std::string> directories = {}; // made in place of these files
};

// Runs case `c` of program `p` in `scratch`.
program_result run_case(const startup_case& c, const program_kind& p, const scratch_dir& scratch)
{
    input_set set = full_set();
    if (c.edit)
        c.edit(set);
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    for (const auto& f : c.files)
        write_bytes(dir + "/" + f.first, f.second);
    for (const auto& f : c.removed)
        unlink((dir + "/" + f).c_str());
    for (const auto& f : c.directories) {
        unlink((dir + "/" + f).c_str());
        EXPECT_EQ(mkdir((dir + "/" + f).c_str(), 0755), 0);
    }
    return run_program(p.path, dir, {{"TESSARO_HOST_GPUS", std::to_string(c.gpus)}});
}

const char* const too_large = " is too large: an array holds at most 2147483647 elements\n";

TEST(StartUpRefusals, EachNamesInputValueAndLimit)
{
    const startup_case cases[] = {
        {"required scalars missing", nullptr, {}, {"nX.dat", "ndmap.dat"}, 1,
         "Error: required input missing or incomplete: nX.dat, ndmap.dat (each must hold one 4-byte value)\n",
         "ndmap=0\nReading data from file ncoords_add.dat", "Number of GPUs"},
        {"required scalar short", nullptr, {{"dT.dat", "ab"}}, {"dY.dat", "c0.dat"}, 1,
         "Error: required input missing or incomplete: dT.dat (each must hold one 4-byte value)\n", "ncoords_w=1\n",
         "Number of GPUs"},
        // a count file that is there must hold its count
        {"count short", nullptr, {{"ncoords_add.dat", "abc"}, {"ncoordszero.dat", ""}}, {}, 1,
         "Error: count input incomplete: ncoordszero.dat, ncoords_add.dat (each must hold one 4-byte value, or be "
         "absent for a count of 0)\n",
         "ncoords_add=0\n", "Number of GPUs"},
        // a file that is there but cannot be read ends the run at once
        {"required scalar unreadable", nullptr, {}, {}, 1, "Error: cannot read nY.dat: Is a directory\n",
         "Error: Only read 0 of 1 data elements.Closing file nY.dat...\n", "nY=", {"nY.dat"}},
        {"optional scalar unreadable", nullptr, {}, {}, 1, "Error: cannot read nTic.dat: Is a directory\n",
         "Closing file nTic.dat...\n", "nTic=", {"nTic.dat"}},
        {"count unreadable", nullptr, {}, {}, 1, "Error: cannot read ncoords_add.dat: Is a directory\n",
         "ndmap=1\n", "ncoords_add=", {"ncoords_add.dat"}},
        {"map unreadable", nullptr, {}, {}, 1, "Error: cannot read K.dat: Is a directory\n",
         "Error: Only read 0 of 800 data elements.Closing file K.dat...\n", "beta.dat", {"K.dat"}},
        {"time series unreadable", nullptr, {}, {}, 1, "Error: cannot read divev_u.dat: Is a directory\n",
         "Closing file divev_u.dat...\n", "icc_w.dat", {"divev_u.dat"}},
        {"no GPU", nullptr, {}, {}, 0,
         "Error: no usable GPU: cudaGetDeviceCount failed (no device is available); at least 1 GPU is needed\n",
         "ncoords_w=1\n", "Number of GPUs"},
        {"nX below 17 per GPU", [](input_set& s) { s = homogeneous_set(33, 20, 6), s.icc = {10, 5}; }, {}, {}, 2,
         "Error: nX=33 is too small for 2 GPU(s): every GPU needs at least 17 columns, so nX must be at least 34\n",
         "Number of GPUs: 2\n", "global range"},
        {"nX below 17", nullptr, {{"nX.dat", int_bytes(16)}}, {}, 1,
         "Error: nX=16 is too small for 1 GPU(s): every GPU needs at least 17 columns, so nX must be at least 17\n",
         "Number of GPUs: 1\n", "global range"},
        {"nY 0", nullptr, {{"nY.dat", int_bytes(0)}}, {}, 1,
         "Error: nY=0 is out of range: it must be at least 1\n", "Number of GPUs: 1\n", "global range"},
        {"ndmap 0", nullptr, {{"ndmap.dat", int_bytes(0)}}, {}, 1,
         "Error: ndmap=0 is out of range: it must be at least 1\n", "Number of GPUs: 1\n", "global range"},
        {"modT 0", nullptr, {{"modT.dat", int_bytes(0)}}, {}, 1,
         "Error: modT=0 is out of range: it must be at least 1\n", "Number of GPUs: 1\n", "global range"},
        {"ncoords negative", nullptr, {{"ncoords.dat", int_bytes(-1)}}, {}, 1,
         "Error: ncoords=-1 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"ncoordszero negative", nullptr, {{"ncoordszero.dat", int_bytes(-2)}}, {}, 1,
         "Error: ncoordszero=-2 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"ncoordsout negative", nullptr, {{"ncoordsout.dat", int_bytes(-3)}}, {}, 1,
         "Error: ncoordsout=-3 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"ncoords_add negative", nullptr, {{"ncoords_add.dat", int_bytes(-4)}}, {}, 1,
         "Error: ncoords_add=-4 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"ncoords_u negative", nullptr, {{"ncoords_u.dat", int_bytes(-5)}}, {}, 1,
         "Error: ncoords_u=-5 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"ncoords_w negative", nullptr, {{"ncoords_w.dat", int_bytes(-6)}}, {}, 1,
         "Error: ncoords_w=-6 is out of range: it must be at least 0\n", "Number of GPUs: 1\n", "global range"},
        {"nTic negative", nullptr, {{"nTic.dat", int_bytes(-1)}}, {}, 1,
         "Error: nTic=-1 is out of range: it must be at least 0\n",
         "Number of GPUs: 1\n", "global range"},
        {"nY above the launch limit", nullptr, {{"nY.dat", int_bytes(max_update_nY + 1)}}, {}, 1,
         "Error: nY=" + std::to_string(max_update_nY + 1) + " is out of range: it must be at most " +
             std::to_string(max_update_nY) + " (the update kernels' grid has at most 65535 blocks of " +
             std::to_string(update_block_y) + " rows along y)\n",
         "Number of GPUs: 1\n", "global range"},
        {"dX 0", nullptr, {{"dX.dat", float_bytes(0.0f)}, {"dY.dat", float_bytes(0.0f)}}, {}, 1,
         "Error: dX=0.000000e+00 is out of range: it must be finite and positive\n", "Number of GPUs: 1\n",
         "global range"},
        // the dY warning waits until dX passed its own check
        {"dX NaN", nullptr, {{"dX.dat", float_bytes(std::nanf(""))}, {"dY.dat", float_bytes(std::nanf(""))}}, {}, 1,
         "Error: dX=nan is out of range: it must be finite and positive\n",
         "Number of GPUs: 1\n", "global range"},
        {"dT negative", nullptr, {{"dT.dat", float_bytes(-1.0e-3f)}}, {}, 1,
         "Error: dT=-1.000000e-03 is out of range: it must be finite and positive\n", "Number of GPUs: 1\n",
         "global range"},
        {"dT infinite", nullptr, {{"dT.dat", float_bytes(INFINITY)}}, {}, 1,
         "Error: dT=inf is out of range: it must be finite and positive\n", "Number of GPUs: 1\n", "global range"},
        {"nX*nY", nullptr, {{"nX.dat", int_bytes(65536)}, {"nY.dat", int_bytes(32768)}}, {}, 1,
         std::string("Error: nX*nY = 2147483648 elements (nX=65536, nY=32768)") + too_large, "Number of GPUs: 1\n",
         "global range"},
        {"GPU window, one GPU", nullptr, {{"nX.dat", int_bytes(65536)}, {"nY.dat", int_bytes(16384)}}, {}, 1,
         std::string("Error: 2*L*nY = 2147483648 elements (L=65536 for the widest GPU window, nY=16384)") + too_large,
         "Number of GPUs: 1\n", "global range"},
        {"GPU window, two GPUs", nullptr, {{"nX.dat", int_bytes(131072)}, {"nY.dat", int_bytes(16383)}}, {}, 2,
         std::string("Error: 2*L*nY = 2147614704 elements (L=65544 for the widest GPU window, nY=16383)") + too_large,
         "Number of GPUs: 2\n", "global range"},
        {"coefficient table", nullptr, {{"ndmap.dat", int_bytes(119304648)}}, {}, 1,
         std::string("Error: 18*ndmap = 2147483664 elements (ndmap=119304648)") + too_large, "Number of GPUs: 1\n",
         "global range"},
        {"point list", nullptr, {{"ncoords_u.dat", int_bytes(1073741824)}}, {}, 1,
         std::string("Error: 2*ncoords_u = 2147483648 elements (ncoords_u=1073741824)") + too_large,
         "Number of GPUs: 1\n", "global range"},
        {"time series", nullptr, {{"nTic.dat", int_bytes(1073741824)}, {"ncoords_add.dat", int_bytes(2)}}, {}, 1,
         std::string("Error: nTic*ncoords_add = 2147483648 elements (nTic=1073741824, ncoords_add=2)") + too_large,
         "Number of GPUs: 1\n", "global range"},
        {"output table", nullptr, {{"ncoordsout.dat", int_bytes(715827883)}}, {}, 1,
         std::string("Error: 3*ncoordsout = 2147483649 elements (ncoordsout=715827883)") + too_large,
         "Number of GPUs: 1\n", "global range"},
        {"dcmap index", [](input_set& s) { s.dcmap[3 * 20 + 2] = 1, s.dcmap[5 * 20] = -1; }, {}, {}, 1,
         "Error: dcmap at x=3, y=2 is 1: coefficient set indices must lie in [0, ndmap) = [0, 1)\n",
         "Allocating memory.\n", "Starting time stepping loop"},
        {"dcmap negative", [](input_set& s) { s.dcmap[39 * 20 + 19] = -1; }, {}, {}, 1,
         "Error: dcmap at x=39, y=19 is -1: coefficient set indices must lie in [0, ndmap) = [0, 1)\n",
         "Allocating memory.\n", "Starting time stepping loop"},
        {"icc y", [](input_set& s) { s.icc = {10, 5, 11, -1}, s.divev.resize(8); }, {}, {}, 1,
         "Error: icc point 1 is {11, -1}: y must lie in [0, nY) = [0, 20)\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_add y", [](input_set& s) { s.icc_add = {12, 20}; }, {}, {}, 1,
         "Error: icc_add point 0 is {12, 20}: y must lie in [0, nY) = [0, 20)\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icczero y", [](input_set& s) { s.icczero = {1, 0, 2, 25}; }, {}, {}, 1,
         "Error: icczero point 1 is {2, 25}: y must lie in [0, nY) = [0, 20)\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_u y", [](input_set& s) { s.icc_u = {13, -8}; }, {}, {}, 1,
         "Error: icc_u point 0 is {13, -8}: y must lie in [0, nY) = [0, 20)\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_w y", [](input_set& s) { s.icc_w = {14, 9, 14, 100}, s.divev_w.resize(8); }, {}, {}, 1,
         "Error: icc_w point 1 is {14, 100}: y must lie in [0, nY) = [0, 20)\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc twice", [](input_set& s) { s.icc = {12, 5, 13, 5, 12, 5}, s.divev.resize(12); }, {}, {}, 1,
         "Error: icc points 0 and 2 are both {12, 5}: a point may be listed only once\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_add twice", [](input_set& s) { s.icc_add = {1, 2, 3, 4, 3, 4}, s.divev_add.resize(12); }, {}, {}, 1,
         "Error: icc_add points 1 and 2 are both {3, 4}: a point may be listed only once\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        // the pair named is the first repeat in list order
        {"icc_add two points twice",
         [](input_set& s) { s.icc_add = {5, 6, 3, 4, 3, 4, 5, 6}, s.divev_add.resize(16); }, {}, {}, 1,
         "Error: icc_add points 1 and 2 are both {3, 4}: a point may be listed only once\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_u twice", [](input_set& s) { s.icc_u = {50, 3, 50, 3}, s.divev_u.resize(8); }, {}, {}, 1,
         "Error: icc_u points 0 and 1 are both {50, 3}: a point may be listed only once\n", "Allocating memory.\n",
         "Starting time stepping loop"},
        {"icc_w twice", [](input_set& s) { s.icc_w = {-2, 0, 9, 9, -2, 0}, s.divev_w.resize(12); }, {}, {}, 1,
         "Error: icc_w points 0 and 2 are both {-2, 0}: a point may be listed only once\n", "Allocating memory.\n",
         "Starting time stepping loop"},
    };
    for (const program_kind& p : programs)
        for (const startup_case& c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            const scratch_dir dir("startup_case");
            const program_result r = run_case(c, p, dir);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.err);
            EXPECT_NE(r.out.find(c.reaches), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find(c.stops_before), std::string::npos) << r.out;
            EXPECT_FALSE(file_exists(dir.path + "/genout.dat"));
        }
}

// Inputs that look odd but run, with status 0 and the warnings they deserve:
// points off the grid in x, repeated zero points, unchecked output points,
// short or missing bulk files, maps the updates cannot divide by, sources
// where no update reaches.
TEST(StartUpRefusals, AcceptedInputsRun)
{
    const char* const no_rho = "Warning: rho is zero, negative or not finite at 96 points that the updates reach, the "
                               "first at x=8, y=8 (0.000000e+00): the updates divide by a value that is not finite "
                               "and positive there\n";
    // what those inputs make of genout.dat, with outc {20, 10}, {21, 10} and 3 frames
    const auto non_finite = [](int count, int frame, int step) {
        return "Warning: genout.dat holds " + std::to_string(count) + " NaN or inf samples of 6, the first in frame " +
               std::to_string(frame) + " (after step " + std::to_string(step) + "), slot 0: outc point 0 {20, 10}\n";
    };
    const startup_case cases[] = {
        {"source x off the grid", [](input_set& s) { s.icc = {-5, 3, 45, 3}, s.divev.resize(8); }, {}, {}, 1,
         "Warning: icc has 2 points outside the updated columns x in [8, 32), never applied; the first is point 0 "
         "{-5, 3}\n",
         "Starting time stepping loop", "Error"},
        {"zero point twice", [](input_set& s) { s.icczero = {11, 6, 11, 6}; }, {}, {}, 1, "",
         "Starting time stepping loop", "Error"},
        {"one point in several lists",
         [](input_set& s) {
             s.icc = {13, 9};
             s.icc_add = s.icc_u = s.icc_w = s.icc;
         },
         {}, {}, 1, "", "Starting time stepping loop", "Error"},
        // off the grid and in the y margin, taken all the same
        {"output points that no update reaches", [](input_set& s) { s.outc = {1000, 5, 3, 25, 20, 10, 20, 10}; },
         {}, {}, 1,
         "Warning: outc has 2 points outside the updated area x in [8, 32), y in [8, 12), which read 0 in every "
         "frame; the first is point 0 {1000, 5}\n",
         "Starting time stepping loop", "Error"},
        // the two points that the short file leaves unread stay {0, 0}
        {"short point list", nullptr, {{"ncoords.dat", int_bytes(3)}}, {}, 1,
         "Warning: icc.dat holds 2 of 6 values: the rest read as 0\n"
         "Warning: divev.dat holds 4 of 12 values: the rest read as 0\n"
         "Warning: icc has 2 points outside the updated columns x in [8, 32), never applied; the first is point 1 "
         "{0, 0}\n",
         "Error: Only read 2 of 6 data elements.Closing file icc.dat...\n", "Error: Could not"},
        // d.dat is read and never used: no warning of its own
        {"missing maps", nullptr, {}, {"rho.dat", "d.dat", "dcmap.dat", "divev_w.dat"}, 1,
         std::string("Warning: dcmap.dat is missing: dcmap reads as 0 everywhere\n"
                     "Warning: rho.dat is missing: rho reads as 0 everywhere\n"
                     "Warning: divev_w.dat is missing: divev_w reads as 0 everywhere\n") +
             no_rho + non_finite(6, 0, 0),
         "Error: Could not open file: divev_w.dat\n.", "Error: Only"},
        {"c.dat short and d.dat missing", nullptr, {{"c.dat", "abcdef"}}, {"d.dat"}, 1, "",
         "Error: Only read 1 of 800 data elements.Closing file c.dat...\n", "Error: Could not open file: c.dat"},
        {"short map", nullptr, {{"K.dat", std::string(1003, '\x4f')}}, {}, 1,
         "Warning: K.dat holds 250 of 800 values: the rest read as 0\n"
         "Warning: K is zero, negative or not finite at 78 points that the updates reach, the first at x=12, y=10 "
         "(0.000000e+00): the updates divide by a value that is not finite and positive there\n" +
             non_finite(6, 0, 0),
         "Error: Only read 250 of 800 data elements.Closing file K.dat...\n", "Error: Could not"},
        {"missing point list", nullptr, {}, {"icc_u.dat"}, 1,
         "Warning: icc_u.dat is missing: icc_u reads as 0 everywhere\n"
         "Warning: icc_u has 1 point outside the updated columns x in [8, 32), never applied; the first is point 0 "
         "{0, 0}\n",
         "Error: Could not open file: icc_u.dat\n.", "Error: Only"},
        {"one zero density", [](input_set& s) { s.rho[10 * 20 + 9] = 0.0f; }, {}, {}, 1,
         "Warning: rho is zero, negative or not finite at 1 point that the updates reach, the first at x=10, y=9 "
         "(0.000000e+00): the updates divide by a value that is not finite and positive there\n" +
             non_finite(4, 1, 2),
         "Starting time stepping loop", "Error"},
        {"bulk modulus negative and NaN",
         [](input_set& s) { s.K[20 * 20 + 11] = -1.0f, s.K[9 * 20 + 8] = std::nanf(""), s.K[25 * 20 + 9] = INFINITY; },
         {}, {}, 1,
         "Warning: K is zero, negative or not finite at 3 points that the updates reach, the first at x=9, y=8 (nan): "
         "the updates divide by a value that is not finite and positive there\n" +
             non_finite(4, 1, 2),
         "Starting time stepping loop", "Error"},
        // the updates reach neither the first and last 8 columns nor rows
        {"zero density in the margins",
         [](input_set& s) { s.rho[7 * 20 + 9] = s.rho[32 * 20 + 9] = s.rho[10 * 20 + 7] = s.rho[10 * 20 + 12] = 0; },
         {}, {}, 1, "", "Starting time stepping loop", "Error"},
        {"sources in the margins",
         [](input_set& s) { s.icc_add = {3, 12}, s.icczero = {7, 6}, s.icc_u = {31, 8};
             s.icc_w = {20, 9, 32, 9}, s.divev_w.resize(8);
         },
         {}, {}, 1,
         "Warning: icc_add has 1 point outside the updated columns x in [8, 32), never applied; the first is point 0 "
         "{3, 12}\n"
         "Warning: icczero has 1 point outside the updated columns x in [8, 32), never applied; the first is point 0 "
         "{7, 6}\n"
         "Warning: icc_w has 1 point outside the updated columns x in [8, 32), never applied; the first is point 1 "
         "{32, 9}\n",
         "Starting time stepping loop", "Error"},
        // dY is compared with dX only when dY.dat held a value
        {"dY and c0 missing", nullptr, {}, {"dY.dat", "c0.dat"}, 1, "", ".dY=0.000000e+00\n", "Error: Only"},
        {"dY short", nullptr, {{"dY.dat", "ab"}}, {}, 1, "", "dY=0.000000e+00\n", "Error: Could not"},
        {"no steps", nullptr, {{"nT.dat", int_bytes(0)}}, {}, 1, "", "Allocating memory.\n", "Error"},
        // without nTic.dat nTic is nT, and a run of no steps needs no samples
        {"negative nT without nTic.dat", nullptr, {{"nT.dat", int_bytes(-7)}}, {"nTic.dat"}, 1, "",
         "nT=-7\nReading data from file nTic.dat (size: 4 bytes)...\nError: Could not open file: nTic.dat\n.nTic=-7\n",
         "Error: Only"},
    };
    for (const program_kind& p : programs)
        for (const startup_case& c : cases) {
            SCOPED_TRACE(std::string(p.name) + ": " + c.name);
            const scratch_dir dir("startup_case");
            const program_result r = run_case(c, p, dir);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, c.err);
            EXPECT_NE(r.out.find(c.reaches), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find(c.stops_before), std::string::npos) << r.out;
        }
}

// Each host allocation of the start-up made to fail in turn, in the order of
// allocation: the arrays (their row table and block counted), then the slice
// buffers of the memory-saving mode as their series are read, then the sort
// orders of the repeated-point checks and the per-set table of the time step
// check. The run ends with the refusal that
// names it, before genout.dat; one allocation more, and it runs.
TEST(StartUpRefusals, EachHostAllocationThatFailsIsNamed)
{
    input_set set = full_set();
    set.icc = {10, 5, 10, 6}, set.icczero = {11, 6, 11, 7}, set.icc_add = {12, 7, 12, 8};
    set.icc_u = {13, 8, 13, 9}, set.icc_w = {14, 9, 14, 10};
    for (std::vector<float>* series : {&set.divev, &set.divev_add, &set.divev_u, &set.divev_w})
        *series = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto host = [](const std::string& name, int bytes) {
        return "Error: cannot allocate host memory for " + name + " (" + std::to_string(bytes) + " bytes)\n";
    };
    const int map = 40 * 8 + 40 * 20 * 4, series = 2 * 8 + 2 * 4 * 4, list = 2 * 8 + 2 * 2 * 4;
    const std::vector<std::string> families = {host("divev", series),    host("icc", list),
                                               host("outc", list),       host("icczero", list),
                                               host("icc_add", list),    host("divev_add", series),
                                               host("icc_u", list),      host("divev_u", series),
                                               host("icc_w", list),      host("divev_w", series)};
    const std::vector<std::string> read_and_checked = {
        "Failed to allocate divev_slice_host\n", "Failed to allocate divev_add_slice_host\n",
        "Failed to allocate divev_u_slice_host\n", "Failed to allocate divev_w_slice_host\n",
        host("the repeated-point check of icc", 8), host("the repeated-point check of icc_add", 8),
        host("the repeated-point check of icc_u", 8), host("the repeated-point check of icc_w", 8),
        host("the time step check", 8), host("the time step check", 4)};
    for (const program_kind& p : programs) {
        SCOPED_TRACE(p.name);
        const bool exponential = p.name == std::string("exponential");
        std::vector<std::string> refusals = {host("c", map), host("rho", map), host("K", map), host("beta", map)};
        if (exponential)
            refusals.push_back(host("a_exp", map));
        for (const std::string& r : {host("d", 9 * 8 + 18 * 4), host("dmap", 72), host("dcmap", map)})
            refusals.push_back(r);
        refusals.insert(refusals.end(), families.begin(), families.end());
        if (!exponential)
            for (const char* m : {"kappax", "kappau", "apmlx1", "bpmlx1", "apmlu1", "bpmlu1", "apmlx2", "bpmlx2",
                                  "apmlu2", "bpmlu2"})
                refusals.push_back(host(m, map));
        refusals.insert(refusals.end(), read_and_checked.begin(), read_and_checked.end());

        const scratch_dir dir("startup_host_alloc");
        write_input_set(dir.path, set);
        for (size_t n = 1; n <= refusals.size() + 1; ++n) {
            SCOPED_TRACE("host_alloc:" + std::to_string(n));
            const program_result r = run_program(p.path, dir.path,
                                                 {{"TESSARO_HOST_GPUS", "1"},
                                                  {"DIVEV_MEMORY_SAVING", "1"},
                                                  {"TESSARO_HOST_FAIL", "host_alloc:" + std::to_string(n)}});
            const std::string notice = "DIVEV_MEMORY_SAVING enabled: divev stays on CPU, slice transferred per step\n";
            if (n > refusals.size()) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(r.err, notice);
                break;
            }
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, notice + refusals[n - 1]);
            EXPECT_FALSE(file_exists(dir.path + "/genout.dat"));
        }
    }
}

// 1000 distinct points of icc_add whose sort order (4000 bytes) cannot be
// obtained: the check fails like any other host memory that cannot be obtained.
TEST(StartUpRefusals, RepeatedPointCheckWithoutMemoryIsAHostMemoryError)
{
    host_inputs in = {};
    const int n = 1000;
    in.s.nX = 40, in.s.nY = 24, in.s.ndmap = 1;
    in.dcmap = allocate_i_2d(40, 24);
    in.count[family_icc_add] = in.points_read[family_icc_add] = n;
    in.coords[family_icc_add] = allocate_i_2d(n, 2);
    for (int i = 0; i < n; ++i)
        in.coords[family_icc_add][i][0] = i / 24, in.coords[family_icc_add][i][1] = i % 24;
    use_environment({{"TESSARO_HOST_FAIL", "host_alloc"}}); // the next host allocation is the sort order
    ::testing::internal::CaptureStderr();
    const int status = check_host_inputs(in);
    const std::string err = ::testing::internal::GetCapturedStderr();
    use_environment({});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Error: cannot allocate host memory for the repeated-point check of icc_add (4000 bytes)\n");
    for (int** array : {in.dcmap, in.coords[family_icc_add]}) {
        std::free(array[0]);
        std::free(array);
    }
}

// The two-relaxation updates also divide by the stretching maps; the
// exponential program reads none of them.
TEST(StartUpRefusals, StretchingMapsAreDivisorsOfTheRelaxationProgram)
{
    input_set set = full_set();
    set.kappax[9 * 20 + 8] = 0.0f;
    const scratch_dir scratch("startup_kappa");
    const std::string& dir = scratch.path;
    write_input_set(dir, set);
    unlink((dir + "/kappau.dat").c_str());
    const program_result relaxation = run_program(programs[1].path, dir, {{"TESSARO_HOST_GPUS", "1"}});
    EXPECT_EQ(relaxation.status, 0) << relaxation.err;
    EXPECT_EQ(relaxation.err,
              "Warning: kappau.dat is missing: kappau reads as 0 everywhere\n"
              "Warning: kappax is zero, negative or not finite at 1 point that the updates reach, the first at x=9, "
              "y=8 (0.000000e+00): the updates divide by a value that is not finite and positive there\n"
              "Warning: kappau is zero, negative or not finite at 96 points that the updates reach, the first at x=8, "
              "y=8 (0.000000e+00): the updates divide by a value that is not finite and positive there\n"
              "Warning: genout.dat holds 6 NaN or inf samples of 6, the first in frame 0 (after step 0), slot 0: "
              "outc point 0 {20, 10}\n");
    const program_result exponential = run_program(programs[0].path, dir, {{"TESSARO_HOST_GPUS", "1"}});
    EXPECT_EQ(exponential.status, 0) << exponential.err;
    EXPECT_EQ(exponential.err, "");
}

// In-process start-up in a scratch directory: what the host holds afterwards.
class StartUpInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home_ = here;
    }
    void TearDown() override
    {
        unsetenv("DIVEV_MEMORY_SAVING");
        EXPECT_EQ(chdir(home_.c_str()), 0);
    }
    // Writes the set, then `after` may spoil files, then runs start_up here.
    int start(const input_set& set, const array_id* maps, int nmaps, host_inputs* in, decomposition* d,
              const std::function<void(const std::string&)>& after = nullptr)
    {
        write_input_set(dir_, set);
        if (after)
            after(dir_);
        EXPECT_EQ(chdir(dir_.c_str()), 0);
        solver_model model{};
        model.maps = {maps, nmaps};
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = start_up(model, in, d);
        err_ = ::testing::internal::GetCapturedStderr();
        out_ = ::testing::internal::GetCapturedStdout();
        return status;
    }
    const scratch_dir scratch_{"startup_inprocess"};
    const std::string& dir_ = scratch_.path;
    std::string home_, out_, err_;
};

// Distinct values in every map and list, so that any mix-up shows.
input_set marked_set()
{
    input_set s = homogeneous_set(40, 20, 6);
    s.nTic = 3;
    const size_t n = 40 * 20;
    std::vector<float>* maps[] = {&s.c,      &s.rho,    &s.K,      &s.beta,   &s.a_exp,  &s.kappax, &s.kappau, &s.apmlx1,
                                  &s.bpmlx1, &s.apmlx2, &s.bpmlx2, &s.apmlu1, &s.bpmlu1, &s.apmlu2, &s.bpmlu2};
    for (size_t m = 0; m < sizeof maps / sizeof maps[0]; ++m)
        for (size_t i = 0; i < n; ++i)
            (*maps[m])[i] = static_cast<float>(m * 10000 + i);
    for (int i = 0; i < 18; ++i)
        s.d[static_cast<size_t>(i)] = 100.0f + i;
    s.dmap[5] = 7.0f;
    s.icc = {10, 1};
    s.divev = {1, 2, 3};
    s.icc_add = {11, 2, 12, 3};
    s.divev_add = {4, 5, 6, 7, 8, 9};
    s.icczero = {13, 4, 14, 5, 13, 4};
    s.icc_w = {15, 9};
    s.divev_w = {10, 11, 12};
    return s;
}

TEST_F(StartUpInProcess, ExponentialHostArraysFollowTheCounts)
{
    const input_set set = marked_set();
    const array_id maps[] = {arr_a_exp};
    setenv("DIVEV_MEMORY_SAVING", "1", 1);
    static host_inputs in;
    static decomposition d;
    ASSERT_EQ(start(set, maps, 1, &in, &d), 0) << out_;

    EXPECT_EQ(in.ngpus, d.ngpus);
    EXPECT_EQ(in.memory_saving, 1);
    EXPECT_EQ(err_, memory_saving_notice);
    EXPECT_EQ(in.s.nTic, 3);
    const int expected_count[family_count] = {1, 2, 3, 0, 1}; // icc, icc_add, icczero, icc_u, icc_w
    const std::vector<int32_t>* lists[family_count] = {&set.icc, &set.icc_add, &set.icczero, &set.icc_u, &set.icc_w};
    const std::vector<float>* series[family_count] = {&set.divev, &set.divev_add, nullptr, &set.divev_u,
                                                      &set.divev_w};
    for (int f = 0; f < family_count; ++f) {
        SCOPED_TRACE(source_families[f].list_name);
        ASSERT_EQ(in.count[f], expected_count[f]);
        if (in.count[f] == 0) {
            EXPECT_EQ(in.coords[f], nullptr);
            EXPECT_EQ(in.series[f], nullptr);
            EXPECT_EQ(in.slice_host[f], nullptr);
            continue;
        }
        EXPECT_EQ(in.points_read[f], in.count[f]);
        EXPECT_EQ(std::vector<int32_t>(in.coords[f][0], in.coords[f][0] + 2 * in.count[f]), *lists[f]);
        if (series[f] == nullptr) {
            EXPECT_EQ(in.series[f], nullptr);
            EXPECT_EQ(in.slice_host[f], nullptr);
        } else {
            EXPECT_EQ(std::vector<float>(in.series[f][0], in.series[f][0] + 3 * in.count[f]), *series[f]);
            EXPECT_NE(in.slice_host[f], nullptr);
        }
    }
    ASSERT_NE(in.outc, nullptr); // no output points, still readable
    EXPECT_NE(in.outc[0], nullptr);

    const size_t n = 40 * 20;
    EXPECT_EQ(std::vector<float>(in.c[0], in.c[0] + n), set.c);
    EXPECT_EQ(std::vector<float>(in.maps[arr_rho][0], in.maps[arr_rho][0] + n), set.rho);
    EXPECT_EQ(std::vector<float>(in.maps[arr_K][0], in.maps[arr_K][0] + n), set.K);
    EXPECT_EQ(std::vector<float>(in.maps[arr_beta][0], in.maps[arr_beta][0] + n), set.beta);
    EXPECT_EQ(std::vector<float>(in.maps[arr_a_exp][0], in.maps[arr_a_exp][0] + n), set.a_exp);
    EXPECT_EQ(in.maps[arr_a_exp][39], in.maps[arr_a_exp][0] + 39 * 20);
    EXPECT_EQ(in.maps[arr_kappax], nullptr);
    EXPECT_EQ(std::vector<float>(in.d[0], in.d[0] + 18), set.d);
    EXPECT_EQ(std::vector<float>(in.dmap, in.dmap + 18), set.dmap);
    EXPECT_EQ(std::vector<int32_t>(in.dcmap[0], in.dcmap[0] + n), set.dcmap);
}

TEST_F(StartUpInProcess, RelaxationMapsByName)
{
    const input_set set = marked_set();
    const array_id maps[] = {arr_kappax, arr_kappau, arr_apmlu1, arr_bpmlu1, arr_apmlx1,
                             arr_bpmlx1, arr_apmlu2, arr_bpmlu2, arr_apmlx2, arr_bpmlx2};
    static host_inputs in;
    static decomposition d;
    ASSERT_EQ(start(set, maps, 10, &in, &d), 0) << out_;
    EXPECT_EQ(in.memory_saving, 0);
    for (int f = 0; f < family_count; ++f)
        EXPECT_EQ(in.slice_host[f], nullptr);
    EXPECT_EQ(in.maps[arr_a_exp], nullptr);
    EXPECT_EQ(out_.find("a_exp.dat"), std::string::npos);
    const struct {
        array_id id;
        const std::vector<float>& values;
    } expected[] = {{arr_kappax, set.kappax}, {arr_kappau, set.kappau}, {arr_apmlx1, set.apmlx1},
                    {arr_bpmlx1, set.bpmlx1}, {arr_apmlx2, set.apmlx2}, {arr_bpmlx2, set.bpmlx2},
                    {arr_apmlu1, set.apmlu1}, {arr_bpmlu1, set.bpmlu1}, {arr_apmlu2, set.apmlu2},
                    {arr_bpmlu2, set.bpmlu2}, {arr_rho, set.rho},       {arr_K, set.K},
                    {arr_beta, set.beta}};
    for (const auto& e : expected) {
        SCOPED_TRACE(array_name(e.id));
        ASSERT_NE(in.maps[e.id], nullptr);
        EXPECT_EQ(std::vector<float>(in.maps[e.id][0], in.maps[e.id][0] + 40 * 20), e.values);
    }
}

// A short point list: the stored points are counted, the rest stay cleared.
TEST_F(StartUpInProcess, ShortPointListCountsTheStoredPoints)
{
    input_set set = marked_set();
    set.icc_add = {11, 2, 12}; // one whole point and half of the next
    set.divev_add = {4, 5, 6, 7, 8, 9};
    const array_id maps[] = {arr_a_exp};
    static host_inputs in;
    static decomposition d;
    const auto two_points = [](const std::string& dir) { write_ints(dir + "/ncoords_add.dat", {2}); };
    ASSERT_EQ(start(set, maps, 1, &in, &d, two_points), 0) << out_;
    EXPECT_EQ(in.count[family_icc_add], 2);
    EXPECT_EQ(in.points_read[family_icc_add], 1);
    EXPECT_EQ(std::vector<int32_t>(in.coords[family_icc_add][0], in.coords[family_icc_add][0] + 4),
              (std::vector<int32_t>{11, 2, 12, 0}));
    EXPECT_NE(out_.find("Error: Only read 3 of 4 data elements.Closing file icc_add.dat...\n"), std::string::npos)
        << out_;
}

} // namespace
