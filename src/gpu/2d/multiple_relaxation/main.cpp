#include "driver.h"
#include "relaxation_model.h"

int main() { return run_solver(relaxation_model); }
