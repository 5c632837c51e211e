#include "input_set.h"

#include "test_support.h"

#include <cmath>

input_set homogeneous_set(int nX, int nY, int nT)
{
    input_set s;
    s.nX = nX;
    s.nY = nY;
    s.nT = nT;
    const size_t n = static_cast<size_t>(nX) * static_cast<size_t>(nY);
    s.d.assign(18, 0.0f);
    s.dmap.assign(18, 0.0f);
    const float weights[8] = {1.2340910f,    -1.06649846e-1f, 2.3036367e-2f, -5.3423856e-3f,
                              1.0772712e-3f, -1.6641888e-4f,  1.7021711e-5f, -8.5234642e-7f};
    for (int k = 0; k < 8; ++k)
        s.dmap[2 * k + 2] = weights[k];
    s.dcmap.assign(n, 0);
    s.c.assign(n, 1500.0f);
    s.rho.assign(n, 1000.0f);
    s.K.assign(n, 2.25e9f);
    s.beta.assign(n, 0.0f);
    s.a_exp.assign(n, 1.0f);
    s.kappax.assign(n, 1.0f);
    s.kappau.assign(n, 1.0f);
    s.apmlx1.assign(n, 0.0f);
    s.apmlx2.assign(n, 0.0f);
    s.apmlu1.assign(n, 0.0f);
    s.apmlu2.assign(n, 0.0f);
    s.bpmlx1.assign(n, 1.0f);
    s.bpmlx2.assign(n, 1.0f);
    s.bpmlu1.assign(n, 1.0f);
    s.bpmlu2.assign(n, 1.0f);
    return s;
}

std::vector<float> ricker(int n, float f0, float dT)
{
    std::vector<float> v(static_cast<size_t>(n > 0 ? n : 0));
    const double t0 = 1.2 / f0, pi = 3.14159265358979323846;
    for (int i = 0; i < n; ++i) {
        double a = pi * f0 * (i * static_cast<double>(dT) - t0);
        v[static_cast<size_t>(i)] = static_cast<float>((1.0 - 2.0 * a * a) * std::exp(-a * a));
    }
    return v;
}

void write_input_set(const std::string& dir, const input_set& s)
{
    auto ints = [&](const char* name, std::vector<int32_t> v) { write_ints(dir + "/" + name, v); };
    auto floats = [&](const char* name, const std::vector<float>& v) { write_floats(dir + "/" + name, v); };
    ints("nX.dat", {s.nX});
    ints("nY.dat", {s.nY});
    ints("nT.dat", {s.nT});
    if (s.nTic >= 0)
        ints("nTic.dat", {s.nTic});
    if (s.modT >= 0)
        ints("modT.dat", {s.modT});
    floats("dX.dat", {s.dX});
    floats("dY.dat", {s.dY});
    floats("dT.dat", {s.dT});
    floats("c0.dat", {s.c0});
    ints("ncoordsout.dat", {static_cast<int32_t>(s.outc.size() / 2)});
    ints("ndmap.dat", {s.ndmap});
    struct family {
        const char* count_file;
        const char* list_file;
        const char* series_file;
        const std::vector<int32_t>& list;
        const std::vector<float>* series;
    };
    const family families[] = {
        {"ncoords.dat", "icc.dat", "divev.dat", s.icc, &s.divev},
        {"ncoordszero.dat", "icczero.dat", nullptr, s.icczero, nullptr},
        {"ncoords_add.dat", "icc_add.dat", "divev_add.dat", s.icc_add, &s.divev_add},
        {"ncoords_u.dat", "icc_u.dat", "divev_u.dat", s.icc_u, &s.divev_u},
        {"ncoords_w.dat", "icc_w.dat", "divev_w.dat", s.icc_w, &s.divev_w},
    };
    for (const family& f : families) {
        if (f.list.empty())
            continue;
        ints(f.count_file, {static_cast<int32_t>(f.list.size() / 2)});
        ints(f.list_file, f.list);
        if (f.series)
            floats(f.series_file, *f.series);
    }
    ints("outc.dat", s.outc);
    floats("d.dat", s.d);
    floats("dmap.dat", s.dmap);
    ints("dcmap.dat", s.dcmap);
    floats("c.dat", s.c);
    floats("rho.dat", s.rho);
    floats("K.dat", s.K);
    floats("beta.dat", s.beta);
    floats("a_exp.dat", s.a_exp);
    floats("kappax.dat", s.kappax);
    floats("kappau.dat", s.kappau);
    floats("apmlx1.dat", s.apmlx1);
    floats("bpmlx1.dat", s.bpmlx1);
    floats("apmlx2.dat", s.apmlx2);
    floats("bpmlx2.dat", s.bpmlx2);
    floats("apmlu1.dat", s.apmlu1);
    floats("bpmlu1.dat", s.bpmlu1);
    floats("apmlu2.dat", s.apmlu2);
    floats("bpmlu2.dat", s.bpmlu2);
}

input_set heterogeneous_set(unsigned seed)
{
    const int nX = 90, nY = 36, nT = 24;
    input_set s = homogeneous_set(nX, nY, nT);
    s.nTic = nT - 6; // the time-series families stop before the end
    s.modT = 3;
    s.ndmap = 3;
    unsigned state = seed * 2654435761u + 1u;
    auto uniform = [&](float lo, float hi) {
        state = state * 1664525u + 1013904223u;
        return lo + (hi - lo) * static_cast<float>(state >> 8) / 16777216.0f;
    };
    std::vector<float> base = s.dmap;
    s.dmap.assign(18 * 3, 0.0f);
    for (int m = 0; m < 3; ++m)
        for (int e = 0; e < 18; ++e)
            s.dmap[static_cast<size_t>(e) * 3 + m] = base[static_cast<size_t>(e)] * (1.0f - 0.05f * m);
    s.dmap[3 * 3 + 1] = 0.01f; // a transverse weight in set 1
    const size_t n = static_cast<size_t>(nX) * nY;
    for (size_t i = 0; i < n; ++i) {
        s.dcmap[i] = static_cast<int32_t>(uniform(0.0f, 2.999f));
        s.rho[i] = uniform(900.0f, 1100.0f);
        s.K[i] = uniform(2.0e9f, 2.5e9f);
        s.beta[i] = uniform(0.0f, 0.3f);
        s.a_exp[i] = uniform(0.995f, 1.0f);
        s.kappax[i] = uniform(1.0f, 1.2f);
        s.kappau[i] = uniform(1.0f, 1.2f);
        s.apmlx1[i] = uniform(0.0f, 0.05f);
        s.apmlx2[i] = uniform(0.0f, 0.05f);
        s.apmlu1[i] = uniform(0.0f, 0.05f);
        s.apmlu2[i] = uniform(0.0f, 0.05f);
        s.bpmlx1[i] = uniform(0.9f, 1.0f);
        s.bpmlx2[i] = uniform(0.9f, 1.0f);
        s.bpmlu1[i] = uniform(0.9f, 1.0f);
        s.bpmlu2[i] = uniform(0.9f, 1.0f);
    }
    auto series = [&](size_t points) {
        std::vector<float> v;
        for (size_t i = 0; i < points; ++i)
            for (int t = 0; t < s.nTic; ++t)
                v.push_back(uniform(-1.0f, 1.0f) * 1.0e3f);
        return v;
    };
    // GPU boundaries of 2 to 4 GPUs: owned ranges end at 45; 30, 60; 23, 46, 68.
    s.icc = {23, 10, 45, 20, 60, 9, 12, 27, 5, 18};
    s.divev = series(5);
    s.icc_add = {44, 15, 30, 12, 67, 25, 23, 10};
    s.divev_add = series(4);
    s.icczero = {46, 22, 29, 13, 46, 22};
    s.icc_u = {52, 17, 22, 26};
    s.divev_u = series(2);
    s.icc_w = {38, 14, 68, 20};
    s.divev_w = series(2);
    s.outc = {10, 18, 22, 18, 23, 18, 29, 20, 30, 20, 44, 12, 45, 12, 46, 22, 59, 16, 60, 16, 67, 21, 68, 21,
              75, 18, 45, 7,  45, 8,  45, 27, 45, 28, -1, 18, 90, 18, 40, 36, 52, 17, 23, 10};
    return s;
}
