// The driver sequence of both programs: start-up, device set-up, output writer,
// output points, time loop and teardown. Returns the exit status.
#pragma once

#include "solver_model.h"

int run_solver(const solver_model& model);
