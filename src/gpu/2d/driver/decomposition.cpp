#include "decomposition.h"

#include <cstdio>

void compute_decomposition(int nX, int ngpus, decomposition* d)
{
    *d = decomposition{};
    const int G = ngpus;
    d->ngpus = G;

    // GPU domains and owned ranges: the first rem GPUs own one column more.
    const int base = nX / G, rem = nX % G;
    for (int k = 0; k < G; ++k) {
        int start, L;
        if (G == 1) {
            start = 0;
            L = nX;
        } else if (k == 0) {
            start = 0;
            L = base + (rem > 0 ? 1 : 0) + halo_width;
        } else {
            start = d->gpu_end[k - 1] - 2 * halo_width;
            L = base + (k < rem ? 1 : 0) + (k < G - 1 ? 2 * halo_width : halo_width);
        }
        d->gpu_start[k] = start;
        d->gpu_domain_local_nx[k] = L;
        d->gpu_end[k] = start + L;
    }
    for (int k = 0; k < G; ++k) {
        int start, W;
        if (G == 1) {
            start = 0;
            W = nX;
        } else if (k == 0) {
            start = 0;
            W = base + (rem > 0 ? 1 : 0);
        } else {
            start = d->output_end[k - 1];
            W = base + (k < rem ? 1 : 0);
        }
        d->output_start[k] = start;
        d->output_domain_local_nx[k] = W;
        d->output_end[k] = start + W;
    }

    // Body regions from their own split of the columns left after the margins.
    const int base2 = (nX - 2 * halo_width * G) / G, rem2 = (nX - 2 * halo_width * G) % G;
    for (int k = 0; k < G; ++k) {
        int start, width;
        if (G == 1) {
            start = halo_width;
            width = base2;
        } else if (k == 0) {
            start = halo_width;
            width = base2 + (rem2 > 0 ? 1 : 0);
        } else {
            start = d->body_end[k - 1] + 2 * halo_width;
            width = base2 + (k < rem2 ? 1 : 0);
        }
        d->body_start[k] = start;
        d->body_local_nx[k] = width;
        d->body_end[k] = start + width;
    }

    // Halo region 2k: last owned columns of GPU k; 2k + 1: first ones of GPU k + 1.
    for (int h = 0; G > 1 && h < 2 * G - 2; ++h) {
        d->halo_start[h] = h % 2 == 0 ? d->body_end[h / 2] : d->halo_start[h - 1] + halo_width;
        d->halo_end[h] = d->halo_start[h] + halo_width;
        d->halo_local_nx[h] = halo_width;
    }
}

void print_decomposition(const decomposition& d)
{
    const int G = d.ngpus;
    for (int k = 0; k < G; ++k)
        std::printf("GPU %d: global range [%d, %d), gpu_domain_local_nx = %d\n", k, d.gpu_start[k], d.gpu_end[k],
                    d.gpu_domain_local_nx[k]);
    // The owned width goes under the GPU-domain label.
    for (int k = 0; k < G; ++k)
        std::printf("Output GPU %d: global range [%d, %d), gpu_domain_local_nx = %d\n", k, d.output_start[k],
                    d.output_end[k], d.output_domain_local_nx[k]);
    std::fflush(stdout);
    for (int k = 0; k < G; ++k)
        std::printf("Body region %d: global range [%d, %d), body_local_nx = %d\n", k, d.body_start[k], d.body_end[k],
                    d.body_local_nx[k]);
    std::fflush(stdout);
    for (int h = 0; G > 1 && h < 2 * G - 2; ++h)
        std::printf("Halo region %d: global range [%d, %d), halo_local_nx = %d\n", h, d.halo_start[h], d.halo_end[h],
                    d.halo_local_nx[h]);
    std::fflush(stdout);
    std::printf("Allocating memory.\n");
}
