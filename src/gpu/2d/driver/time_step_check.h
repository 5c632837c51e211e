// The time step against the stability limit of each coefficient set in use.
#pragma once

#include "solver_model.h"
#include "startup.h"

// The largest stable Courant number c*dT/dX of the staggered leapfrog with
// these eight pair weights and transverse weight: 2 / max |(Ax, Ay)| over
// all wave numbers, where Ax(tx, ty) = 2 sum c_k sin((2k+1) tx/2)
// + 4 c_x sin(tx/2) cos(ty) is the symbol of the x derivative (up to its
// phase) and Ay the same with tx and ty swapped. Infinite when every weight
// is 0. For c_x = 0 and alternating weights it is 1 / (sqrt(2) sum |c_k|).
double stability_limit(const float stencil_coef[8], float cross_coef);

// For each coefficient set whose largest Courant number over the updated
// points that use it is not below its limit, one warning on standard error
// with the point and the largest stable dT. The speed is sqrt(K/rho),
// divided by the square root of the model's stretching maps. Returns 0, or 1
// after the host-memory error when its per-set table cannot be obtained.
int check_time_step(const solver_model& model, const host_inputs& in);
