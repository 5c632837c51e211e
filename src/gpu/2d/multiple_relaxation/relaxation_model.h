#pragma once

#include "solver_model.h"

// The two-relaxation program for the shared driver.
extern const solver_model relaxation_model;
