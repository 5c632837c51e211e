// A complete set of input files for one run, built in memory and written to a
// directory. Counts are written only for non-empty point lists; an optional
// scalar left at -1 is not written at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct input_set {
    int nX = 0, nY = 0, nT = 0;
    int nTic = -1; // -1: no "nTic.dat"
    int modT = -1; // -1: no "modT.dat"
    float dX = 10.0f, dY = 10.0f, dT = 1.0e-3f, c0 = 1500.0f;
    int ndmap = 1;
    std::vector<float> d;    // 18 values
    std::vector<float> dmap; // 18 * ndmap
    std::vector<int32_t> dcmap;
    std::vector<float> c, rho, K, beta, a_exp; // nX * nY each
    // two-relaxation maps, nX * nY each
    std::vector<float> kappax, kappau, apmlx1, bpmlx1, apmlx2, bpmlx2, apmlu1, bpmlu1, apmlu2, bpmlu2;
    // point lists {x, y, x, y, ...} and time series [n][nTic]
    std::vector<int32_t> icc, icczero, icc_add, icc_u, icc_w, outc;
    std::vector<float> divev, divev_add, divev_u, divev_w;

    int series_length() const { return nTic >= 0 ? nTic : nT; }
};

// Water-like homogeneous medium (rho 1000, K 2.25e9, beta 0, a_exp 1, no
// relaxation: kappa 1, apml 0, bpml 1) with the 16th-order staggered weights in
// one coefficient set; no sources and no output points.
input_set homogeneous_set(int nX, int nY, int nT);

// Ricker pulse of `n` samples with peak frequency f0 (Hz) and step dT.
std::vector<float> ricker(int n, float f0, float dT);

// Writes every file of the set into `dir`.
void write_input_set(const std::string& dir, const input_set& set);

// A small heterogeneous case for invariance checks: random maps (three
// coefficient sets, mild attenuation, active relaxation maps), every source
// family with points on and near the GPU boundaries of 2 to 4 GPUs of a grid
// 90 wide, and output points on boundaries, in the margins and off the grid.
input_set heterogeneous_set(unsigned seed);
