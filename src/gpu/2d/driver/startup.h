// Start-up of both programs: the sixteen scalar inputs with their echo, the
// refusals of unusable inputs, the GPU count, the memory-saving switch, the
// decomposition and the host arrays with their bulk reads.
#pragma once

#include "decomposition.h"
#include "device_arrays.h"
#include "solver_model.h"
#include "source_families.h"

struct scalar_inputs {
    int nX, nY, nT, nTic, modT;
    float dX, dY, dT, c0;
    int ncoords, ncoordszero, ncoordsout, ndmap, ncoords_add, ncoords_u, ncoords_w;
    int dY_given; // dY.dat held a value
};

struct host_inputs {
    scalar_inputs s;
    int ngpus;
    int memory_saving;
    float** c;
    float** d;
    float* dmap;                   // 18 * ndmap, entry e of set m at e * ndmap + m
    int** dcmap;                   // nX x nY
    float** maps[arr_count];       // nX x nY host maps by array name (rho, K, beta, and the program's own)
    int count[family_count];       // ncoords, ncoords_add, ncoordszero, ncoords_u, ncoords_w
    int** coords[family_count];    // point lists {x, y}
    float** series[family_count];  // time series [n][nTic], null for icczero
    float* slice_host[family_count]; // memory saving: one sample per source
    int points_read[family_count]; // whole points that the bulk read stored
    int** outc;                    // ncoordsout x 2
};

// Runs the whole start-up up to the moment the host holds every input.
// Returns 0 to go on, or the exit status (1) after its message.
int start_up(const solver_model& model, host_inputs* in, decomposition* d);

// Pieces of start_up, in its order.
int read_scalar_inputs(scalar_inputs* s);          // echo lines; refuses missing required files
int check_sources_defined(const scalar_inputs& s); // the no-source refusal
int count_gpus(int* ngpus);                        // "Number of GPUs: %d"; logical GPUs when requested
int parse_memory_saving(const char* text);         // DIVEV_MEMORY_SAVING rule
int read_memory_saving();                          // getenv, notice on standard error
// Also splits the grid into d once nX fits, for the window-size check.
int check_scalar_ranges(const scalar_inputs& s, int ngpus, decomposition* d);
int read_host_inputs(const solver_model& model, host_inputs* in);
int check_host_inputs(const host_inputs& in);
// One line on standard error for each divisor map with values that no update
// can use, each coefficient set unstable at this dT, each source family with
// points that never act, and the output points that read 0 in every frame.
// Returns 0, or 1 after the host-memory error of the time step check.
int warn_host_inputs(const solver_model& model, const host_inputs& in);

// 0 when `array` was obtained; otherwise 1 after the host-memory error with its name and bytes.
int obtained(const void* array, const char* name, long long bytes);
