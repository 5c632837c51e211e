#include "driver.h"
#include "exponential_model.h"

int main() { return run_solver(exponential_model); }
