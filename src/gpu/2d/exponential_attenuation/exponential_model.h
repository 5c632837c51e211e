#pragma once

#include "solver_model.h"

// The exponential-attenuation program for the shared driver.
extern const solver_model exponential_model;
