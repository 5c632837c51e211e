// Writes the example input set (or a benchmark case of a given size) into a
// directory, and summarises a genout.dat written from it.
//
//   tessaro_example_inputs write DIR [nX nY nT]
//   tessaro_example_inputs summary DIR
//
// (and the device check's check-case and compare, check_cases.cpp)
//
// The medium: water (1500 m/s) over a faster layer (2000 m/s) in its lower
// third, an absorbing sponge of 30 columns and rows around the grid, a Ricker
// pulse of 25 Hz from a point source, and a line of receivers.
#include "check_cases.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void write_values(const std::string& path, const void* data, size_t count)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    // An empty vector may hold no buffer at all: write nothing then.
    if (!f || (count > 0 && std::fwrite(data, 4, count, f) != count) || std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void write_int(const std::string& dir, const char* name, int32_t v) { write_values(dir + "/" + name, &v, 1); }
void write_float(const std::string& dir, const char* name, float v) { write_values(dir + "/" + name, &v, 1); }

template <typename T> void write_vector(const std::string& dir, const char* name, const std::vector<T>& v)
{
    write_values(dir + "/" + name, v.data(), v.size());
}

int write_inputs(const std::string& dir, int nX, int nY, int nT)
{
    if (!make_directory(dir))
        return 1;
    const float dX = 5.0f, dT = 5.0e-4f, f0 = 25.0f;
    const int modT = 10, sponge = 30;
    const size_t n = static_cast<size_t>(nX) * nY;
    std::vector<float> c(n), rho(n), K(n), beta(n, 0.0f), a_exp(n), d(18, 0.0f), dmap(18, 0.0f);
    std::vector<int32_t> dcmap(n, 0);
    const float weights[8] = {1.2340910f,    -1.06649846e-1f, 2.3036367e-2f, -5.3423856e-3f,
                              1.0772712e-3f, -1.6641888e-4f,  1.7021711e-5f, -8.5234642e-7f};
    for (int k = 0; k < 8; ++k)
        dmap[2 * k + 2] = weights[k];
    for (int x = 0; x < nX; ++x)
        for (int y = 0; y < nY; ++y) {
            const size_t i = static_cast<size_t>(x) * nY + y;
            const bool layer = y > 2 * nY / 3;
            c[i] = layer ? 2000.0f : 1500.0f;
            rho[i] = layer ? 1800.0f : 1000.0f;
            K[i] = rho[i] * c[i] * c[i];
            // distance into the sponge, 0 in the interior
            const int edge = std::min(std::min(x, nX - 1 - x), std::min(y, nY - 1 - y));
            const double depth = edge < sponge ? (sponge - edge) / static_cast<double>(sponge) : 0.0;
            a_exp[i] = static_cast<float>(std::exp(-0.05 * depth * depth));
        }
    std::vector<float> pulse(static_cast<size_t>(nT));
    const double t0 = 1.2 / f0, pi = 3.14159265358979323846;
    for (int t = 0; t < nT; ++t) {
        const double a = pi * f0 * (t * static_cast<double>(dT) - t0);
        pulse[static_cast<size_t>(t)] = static_cast<float>((1.0 - 2.0 * a * a) * std::exp(-a * a));
    }
    const std::vector<int32_t> icc_add = {nX / 4, nY / 3};
    std::vector<int32_t> outc;
    for (int y = sponge; y < nY - sponge; y += 10)
        outc.insert(outc.end(), {3 * nX / 4, y});

    write_int(dir, "nX.dat", nX);
    write_int(dir, "nY.dat", nY);
    write_int(dir, "nT.dat", nT);
    write_int(dir, "nTic.dat", nT);
    write_int(dir, "modT.dat", modT);
    write_float(dir, "dX.dat", dX);
    write_float(dir, "dY.dat", dX);
    write_float(dir, "dT.dat", dT);
    write_float(dir, "c0.dat", 1500.0f);
    write_int(dir, "ncoordsout.dat", static_cast<int32_t>(outc.size() / 2));
    write_int(dir, "ndmap.dat", 1);
    write_int(dir, "ncoords_add.dat", 1);
    write_vector(dir, "d.dat", d);
    write_vector(dir, "dmap.dat", dmap);
    write_vector(dir, "dcmap.dat", dcmap);
    write_vector(dir, "c.dat", c);
    write_vector(dir, "rho.dat", rho);
    write_vector(dir, "K.dat", K);
    write_vector(dir, "beta.dat", beta);
    write_vector(dir, "a_exp.dat", a_exp);
    write_vector(dir, "icc_add.dat", icc_add);
    write_vector(dir, "divev_add.dat", pulse);
    write_vector(dir, "outc.dat", outc);
    // The two-relaxation program: no stretching, no memory-variable feed.
    const std::vector<float> ones(n, 1.0f), zeros(n, 0.0f);
    for (const char* name : {"kappax.dat", "kappau.dat", "bpmlx1.dat", "bpmlx2.dat", "bpmlu1.dat", "bpmlu2.dat"})
        write_vector(dir, name, ones);
    for (const char* name : {"apmlx1.dat", "apmlx2.dat", "apmlu1.dat", "apmlu2.dat"})
        write_vector(dir, name, zeros);
    std::printf("Wrote a %d x %d grid, %d steps, 1 source, %zu receivers, to %s\n", nX, nY, nT, outc.size() / 2,
                dir.c_str());
    return 0;
}

// Reads `count` 4-byte values; false when the file cannot be opened or is short.
bool read_values(const std::string& path, void* data, size_t count)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const bool whole = std::fread(data, 4, count, f) == count;
    std::fclose(f);
    return whole;
}

template <typename T> T read_scalar(const std::string& path)
{
    T v{};
    if (!read_values(path, &v, 1)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        std::exit(1);
    }
    return v;
}

// Each receiver's peak |p|, with the step after which it was sampled and its
// time (frame k holds the pressure after step k * modT, at (k * modT + 1) * dT);
// for a receiver with NaN or inf samples, their number and the first frame
// instead, after a line with the file's count and first frame.
int summarise(const std::string& dir)
{
    const int receivers = read_scalar<int32_t>(dir + "/ncoordsout.dat");
    const float dT = read_scalar<float>(dir + "/dT.dat");
    int32_t modT = 1; // as in the programs, when modT.dat is absent
    read_values(dir + "/modT.dat", &modT, 1);
    std::vector<int32_t> outc(2 * static_cast<size_t>(receivers > 0 ? receivers : 0));
    if (!read_values(dir + "/outc.dat", outc.data(), outc.size())) {
        std::fprintf(stderr, "cannot read %s/outc.dat\n", dir.c_str());
        return 1;
    }
    std::vector<float> frames;
    FILE* f = std::fopen((dir + "/genout.dat").c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "cannot read %s/genout.dat\n", dir.c_str());
        return 1;
    }
    float v;
    while (std::fread(&v, 4, 1, f) == 1)
        frames.push_back(v);
    std::fclose(f);
    const size_t count = receivers > 0 ? frames.size() / receivers : 0;
    std::printf("%s/genout.dat: %zu frames of %d float32 pressure samples (one frame every %d steps, %g s)\n",
                dir.c_str(), count, receivers, modT, modT * static_cast<double>(dT));
    size_t non_finite = 0, first_non_finite = 0;
    for (size_t i = 0; i < count * receivers; ++i)
        if (!std::isfinite(frames[i]) && non_finite++ == 0)
            first_non_finite = i / receivers;
    if (non_finite > 0)
        std::printf("%zu NaN or inf samples, the first in frame %zu (step %zu)\n", non_finite, first_non_finite,
                    first_non_finite * modT);
    std::printf("receiver     x     y  peak |p|      step  time (s)\n");
    bool sorted = true;
    for (int r = 0; r < receivers; ++r) {
        size_t peak_frame = 0, bad = 0, first_bad = 0;
        for (size_t i = 0; i < count; ++i) {
            const float v = frames[i * receivers + r];
            if (!std::isfinite(v)) {
                if (bad++ == 0)
                    first_bad = i;
            } else if (std::fabs(v) > std::fabs(frames[peak_frame * receivers + r])) {
                peak_frame = i;
            }
        }
        const float peak = count > 0 ? std::fabs(frames[peak_frame * receivers + r]) : 0.0f;
        const size_t step = peak_frame * modT;
        if (bad > 0)
            std::printf("%8d %5d %5d  %zu NaN or inf from frame %zu (step %zu)\n", r + 1, outc[2 * r],
                        outc[2 * r + 1], bad, first_bad, first_bad * modT);
        else
            std::printf("%8d %5d %5d  %-12.6g %5zu  %.4f\n", r + 1, outc[2 * r], outc[2 * r + 1], peak, step,
                        (step + 1) * static_cast<double>(dT));
        sorted = sorted && (r == 0 || outc[2 * r - 2] <= outc[2 * r]);
    }
    if (!sorted)
        std::printf("outc is not sorted by x: on more than one GPU the samples are grouped by GPU\n");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (const int status = check_mode(argc, argv); status >= 0)
        return status;
    const std::string mode = argc > 1 ? argv[1] : "";
    // Digits alone, making a number from `least` to 2147483647; else -1.
    const auto number = [](const char* text, long long least) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text, &end, 10);
        const bool digits = text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
        return digits && value >= least && value <= 2147483647LL ? value : -1LL;
    };
    if (mode == "write" && argc == 6) {
        const long long nX = number(argv[3], 1), nY = number(argv[4], 1), nT = number(argv[5], 0);
        if (nX >= 0 && nY >= 0 && nT >= 0 && nX * nY <= 2147483647LL)
            return write_inputs(argv[2], static_cast<int>(nX), static_cast<int>(nY), static_cast<int>(nT));
        std::fprintf(stderr,
                     "%s: nX and nY must be whole numbers from 1 with nX*nY at most 2147483647, nT one from 0\n",
                     argv[0]);
    }
    if (mode == "write" && argc == 3)
        return write_inputs(argv[2], 400, 300, 1600);
    if (mode == "summary" && argc == 3)
        return summarise(argv[2]);
    return usage(argv[0]);
}
