// Split of the grid into slabs along x, one per GPU: GPU domains, owned
// (output) ranges, body regions and halo regions, all half-open in global x.
#pragma once

constexpr int halo_width = 8;
constexpr int max_gpus = 8;

struct decomposition {
    int ngpus;
    int gpu_start[max_gpus];
    int gpu_end[max_gpus];
    int gpu_domain_local_nx[max_gpus];
    int output_start[max_gpus];
    int output_end[max_gpus];
    int output_domain_local_nx[max_gpus];
    int body_start[max_gpus];
    int body_end[max_gpus];
    int body_local_nx[max_gpus];
    int halo_start[2 * max_gpus];
    int halo_end[2 * max_gpus];
    int halo_local_nx[2 * max_gpus];
};

// Fills the tables for 1 <= ngpus <= 8 and nX >= 17 * ngpus.
void compute_decomposition(int nX, int ngpus, decomposition* d);
// Prints the four tables with their flushes, then "Allocating memory.".
void print_decomposition(const decomposition& d);
