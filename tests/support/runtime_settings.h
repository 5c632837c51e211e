// The host runtime started afresh inside a test's own process, and the names
// that its failure injection takes.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Every TESSARO_* variable of the host runtime.
extern const char* const runtime_variables[7];

// Every call that TESSARO_HOST_FAIL can name, as its refusal lists them.
extern const std::vector<std::string> fault_names;

// Starts the runtime afresh with exactly these runtime variables set.
void use_environment(std::vector<std::pair<const char*, std::string>> settings);
