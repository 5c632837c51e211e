// Von Neumann stability of the time stepping, per coefficient set. With
// amplitudes a = dT/(rho dX) for the velocity and b = K dT/dX for the
// pressure, a plane wave grows by g per step with g^2 - (2 - a b |A|^2) g + 1 = 0,
// |A|^2 = Ax^2 + Ay^2: |g| stays 1 only while a b |A|^2 < 4, that is while
// c dT/dX < 2 / |A| for every wave number. Stretching maps divide both
// derivatives, so they divide c^2.
#include "time_step_check.h"

#include "raw_data.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int samples = 129; // wave numbers 0 ... pi per axis, both ends included

struct weights {
    double c[8];
    double cross;
};

// The pairs' part of Ax at tx.
double pairs(const weights& w, double tx)
{
    double sum = 0.0;
    for (int k = 0; k < 8; ++k)
        sum += w.c[k] * std::sin((2 * k + 1) * tx / 2);
    return 2 * sum;
}

// Ax at (tx, ty): the symbol of the x derivative without its phase.
double along(const weights& w, double tx, double ty)
{
    return pairs(w, tx) + 4 * w.cross * std::sin(tx / 2) * std::cos(ty);
}

double squared_symbol(const weights& w, double tx, double ty)
{
    const double ax = along(w, tx, ty), ay = along(w, ty, tx);
    return ax * ax + ay * ay;
}

// The largest |A|^2: the best of a grid of wave numbers, then a pattern
// search from there, halving its step down to 1e-12.
double largest_squared_symbol(const weights& w)
{
    double pair[samples], cross[samples], cosine[samples];
    for (int i = 0; i < samples; ++i) {
        const double t = pi * i / (samples - 1);
        pair[i] = pairs(w, t);
        cross[i] = 4 * w.cross * std::sin(t / 2);
        cosine[i] = std::cos(t);
    }
    double best = -1.0, bx = 0.0, by = 0.0;
    for (int i = 0; i < samples; ++i)
        for (int j = 0; j < samples; ++j) {
            const double ax = pair[i] + cross[i] * cosine[j], ay = pair[j] + cross[j] * cosine[i];
            if (ax * ax + ay * ay > best) {
                best = ax * ax + ay * ay;
                bx = pi * i / (samples - 1);
                by = pi * j / (samples - 1);
            }
        }
    const int moves[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    for (double step = pi / (samples - 1); step > 1e-12;) {
        bool moved = false;
        for (const auto& m : moves) {
            const double tx = std::fmin(pi, std::fmax(0.0, bx + m[0] * step));
            const double ty = std::fmin(pi, std::fmax(0.0, by + m[1] * step));
            const double value = squared_symbol(w, tx, ty);
            if (value > best) {
                best = value, bx = tx, by = ty, moved = true;
                break;
            }
        }
        if (!moved)
            step /= 2;
    }
    return best;
}

bool usable(float v) { return std::isfinite(v) && v > 0.0f; }

// "sqrt(K/rho)", or with stretching "sqrt(K/(rho*kappax*kappau))".
std::string speed_formula(const solver_model& model)
{
    if (model.stretching_maps.count == 0)
        return "sqrt(K/rho)";
    std::string text = "sqrt(K/(rho";
    for (int i = 0; i < model.stretching_maps.count; ++i)
        text += std::string("*") + array_name(model.stretching_maps.ids[i]);
    return text + "))";
}

} // namespace

double stability_limit(const float stencil_coef[8], float cross_coef)
{
    weights w;
    for (int k = 0; k < 8; ++k)
        w.c[k] = stencil_coef[k];
    w.cross = cross_coef;
    const double largest = largest_squared_symbol(w);
    return largest > 0.0 ? 2.0 / std::sqrt(largest) : INFINITY;
}

int check_time_step(const solver_model& model, const host_inputs& in)
{
    const int nX = in.s.nX, nY = in.s.nY, ndmap = in.s.ndmap;
    // Per set: the largest c^2 of its points (0 for a set no updated point
    // uses) and the first point that has it.
    double* peak = static_cast<double*>(allocate_host(sizeof(double) * static_cast<size_t>(ndmap)));
    if (obtained(peak, "the time step check", 8LL * ndmap))
        return 1;
    int* first = static_cast<int*>(allocate_host(sizeof(int) * static_cast<size_t>(ndmap)));
    if (obtained(first, "the time step check", 4LL * ndmap)) {
        std::free(peak);
        return 1;
    }
    const float* rho = in.maps[arr_rho][0];
    const float* K = in.maps[arr_K][0];
    const int* dcmap = in.dcmap[0];
    for (int x = halo_width; x < nX - halo_width; ++x)
        for (int y = halo_width; y < nY - halo_width; ++y) {
            const int i = x * nY + y;
            // Points the updates cannot divide by are the divisor warning's.
            if (!usable(rho[i]) || !usable(K[i]))
                continue;
            double stiffness = static_cast<double>(rho[i]);
            bool stretched = true;
            for (int s = 0; s < model.stretching_maps.count; ++s) {
                const float kappa = in.maps[model.stretching_maps.ids[s]][0][i];
                stretched = stretched && usable(kappa);
                stiffness *= kappa;
            }
            const double c2 = static_cast<double>(K[i]) / stiffness;
            if (stretched && c2 > peak[dcmap[i]])
                peak[dcmap[i]] = c2, first[dcmap[i]] = i;
        }

    const double dT = in.s.dT, dX = in.s.dX;
    for (int m = 0; m < ndmap; ++m) {
        if (peak[m] == 0.0)
            continue;
        const double speed = std::sqrt(peak[m]);
        const double courant = speed * dT / dX;
        float c[8];
        double total = 0.0;
        for (int k = 0; k < 8; ++k) {
            c[k] = in.dmap[static_cast<size_t>(2 * k + 2) * ndmap + m];
            total += std::fabs(static_cast<double>(c[k]));
        }
        const float cross = in.dmap[3 * static_cast<size_t>(ndmap) + m];
        // |Ax| and |Ay| never exceed 2 sum |c_k| + 4 |c_x|: below that bound no search is needed.
        if (courant * std::sqrt(2.0) * (2 * total + 4 * std::fabs(static_cast<double>(cross))) < 2.0)
            continue;
        const double limit = stability_limit(c, cross);
        if (courant < limit)
            continue;
        std::fprintf(stderr,
                     "Warning: coefficient set %d: the Courant number %s*dT/dX reaches %.6g at x=%d, y=%d, not below "
                     "the stability limit %.6g of its weights: the time stepping is unstable; dT must stay below "
                     "%e\n",
                     m, speed_formula(model).c_str(), courant, first[m] / nY, first[m] % nY, limit,
                     limit * dX / speed);
    }
    std::free(peak);
    std::free(first);
    return 0;
}
