#include "startup.h"

#include "raw_data.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Read only when the file can be opened: a missing file gives no reader lines.
void read_probed(const char* file, int* value)
{
    FILE* probe = std::fopen(file, "rb");
    if (probe == nullptr)
        return;
    std::fclose(probe);
    read_raw_values(file, value, 1);
}

int family_size(const scalar_inputs& s, family_id f)
{
    switch (f) {
    case family_icc:
        return s.ncoords;
    case family_icc_add:
        return s.ncoords_add;
    case family_icczero:
        return s.ncoordszero;
    case family_icc_u:
        return s.ncoords_u;
    default:
        return s.ncoords_w;
    }
}

std::string dat_file(const char* stem) { return std::string(stem) + ".dat"; }

// Reads a family's point list and returns the whole points stored.
int read_points(host_inputs* in, family_id f)
{
    const int n = in->count[f];
    const int got = read_raw_values(dat_file(source_families[f].list_name).c_str(), in->coords[f][0], 2 * n);
    return got > 0 ? got / 2 : 0;
}

// Reads a family's time series and, in the memory-saving mode, obtains its slice buffer.
int read_series(host_inputs* in, family_id f)
{
    const source_family& fam = source_families[f];
    const int n = in->count[f];
    read_raw_values(dat_file(fam.series_name).c_str(), in->series[f][0], in->s.nTic * n);
    if (!in->memory_saving)
        return 0;
    in->slice_host[f] = static_cast<float*>(std::malloc(4 * static_cast<size_t>(n)));
    if (in->slice_host[f] == nullptr) {
        std::fprintf(stderr, "Failed to allocate %s\n", fam.slice_name);
        return 1;
    }
    return 0;
}

} // namespace

int read_scalar_inputs(scalar_inputs* s)
{
    // Zero first, so that a missing file echoes 0 and leaves nothing indeterminate.
    *s = scalar_inputs{};
    s->modT = 1;
    std::string missing;
    auto required = [&](const char* file, void* value) {
        if (read_raw_values(file, value, 1) != 1)
            missing += (missing.empty() ? "" : ", ") + std::string(file);
    };

    required("nX.dat", &s->nX);
    std::printf("nX=%d\n", s->nX);
    required("nY.dat", &s->nY);
    std::printf("nY=%d\n", s->nY);
    required("nT.dat", &s->nT);
    std::printf("nT=%d\n", s->nT);
    s->nTic = s->nT;
    read_raw_values("nTic.dat", &s->nTic, 1);
    std::printf("nTic=%d\n", s->nTic);
    read_raw_values("modT.dat", &s->modT, 1);
    std::printf("modT=%d\n", s->modT);
    required("dX.dat", &s->dX);
    std::printf("dX=%e\n", static_cast<double>(s->dX));
    read_raw_values("dY.dat", &s->dY, 1);
    std::printf("dY=%e\n", static_cast<double>(s->dY));
    required("dT.dat", &s->dT);
    std::printf("dT=%e\n", static_cast<double>(s->dT));
    read_raw_values("c0.dat", &s->c0, 1);
    std::printf("c0=%e\n", static_cast<double>(s->c0));
    read_probed("ncoords.dat", &s->ncoords);
    std::printf("ncoords=%d\n", s->ncoords);
    read_probed("ncoordszero.dat", &s->ncoordszero);
    std::printf("ncoordszero=%d\n", s->ncoordszero);
    required("ncoordsout.dat", &s->ncoordsout);
    std::printf("ncoordsout=%d\n", s->ncoordsout);
    required("ndmap.dat", &s->ndmap);
    std::printf("ndmap=%d\n", s->ndmap);
    read_probed("ncoords_add.dat", &s->ncoords_add);
    std::printf("ncoords_add=%d\n", s->ncoords_add);
    read_probed("ncoords_u.dat", &s->ncoords_u);
    std::printf("ncoords_u=%d\n", s->ncoords_u);
    read_probed("ncoords_w.dat", &s->ncoords_w);
    std::printf("ncoords_w=%d\n", s->ncoords_w);

    if (!missing.empty()) {
        std::fprintf(stderr, "Error: required input missing or incomplete: %s (each must hold one 4-byte value)\n",
                     missing.c_str());
        return 1;
    }
    return 0;
}

int count_gpus(int* ngpus)
{
    int count = 0;
    const cudaError_t result = cudaGetDeviceCount(&count);
    if (result != cudaSuccess) {
        std::fprintf(stderr, "Error: no usable GPU: cudaGetDeviceCount failed (%s); at least 1 GPU is needed\n",
                     cudaGetErrorString(result));
        return 1;
    }
    if (count < 1) {
        std::fprintf(stderr, "Error: no usable GPU: the runtime reports %d GPUs; at least 1 is needed\n", count);
        return 1;
    }
    if (count > max_gpus) {
        std::fprintf(stderr, "Warning: %d GPUs found; using the first %d (at most %d are supported)\n", count,
                     max_gpus, max_gpus);
        count = max_gpus;
    }
    *ngpus = count;
    std::printf("Number of GPUs: %d\n", count);
    return 0;
}

int parse_memory_saving(const char* text)
{
    if (text == nullptr || text[0] == '\0')
        return 0;
    // The number is taken as a 32-bit int, so 4294967296 reads as 0.
    if (static_cast<int32_t>(static_cast<uint32_t>(std::strtol(text, nullptr, 10))) != 0)
        return 1;
    return std::strcmp(text, "yes") == 0 || std::strcmp(text, "YES") == 0;
}

int read_memory_saving()
{
    const int on = parse_memory_saving(std::getenv("DIVEV_MEMORY_SAVING"));
    if (on) {
        std::fprintf(stderr, "DIVEV_MEMORY_SAVING enabled: divev stays on CPU, slice transferred per step\n");
        std::fflush(stderr);
    }
    return on;
}

int read_host_inputs(const solver_model& model, host_inputs* in)
{
    const scalar_inputs& s = in->s;
    const int nX = s.nX, nY = s.nY;

    in->c = allocate_f_2d(nX, nY);
    for (array_id id : {arr_rho, arr_K, arr_beta})
        in->maps[id] = allocate_f_2d(nX, nY);
    for (int i = 0; i < model.maps.count; ++i)
        in->maps[model.maps.ids[i]] = allocate_f_2d(nX, nY);
    in->d = allocate_f_2d(9, 2);
    in->dmap = static_cast<float*>(std::calloc(18 * static_cast<size_t>(s.ndmap), sizeof(float)));
    in->dcmap = allocate_i_2d(nX, nY);
    for (int f = 0; f < family_count; ++f)
        in->count[f] = family_size(s, static_cast<family_id>(f));
    auto allocate_family = [&](family_id f, bool series_first) {
        if (in->count[f] <= 0)
            return;
        if (series_first)
            in->series[f] = allocate_f_2d(in->count[f], s.nTic);
        in->coords[f] = allocate_i_2d(in->count[f], 2);
        if (!series_first && source_families[f].series_name)
            in->series[f] = allocate_f_2d(in->count[f], s.nTic);
    };
    allocate_family(family_icc, true);
    in->outc = allocate_i_2d(s.ncoordsout, 2);
    allocate_family(family_icczero, false);
    allocate_family(family_icc_add, false);
    allocate_family(family_icc_u, false);
    allocate_family(family_icc_w, false);

    read_raw_values("d.dat", in->d[0], 18);
    read_raw_values("dmap.dat", in->dmap, 18 * s.ndmap);
    read_raw_values("dcmap.dat", in->dcmap[0], nX * nY);
    read_raw_values("c.dat", in->c[0], nX * nY);
    for (array_id id : {arr_rho, arr_K, arr_beta})
        read_raw_values(dat_file(array_name(id)).c_str(), in->maps[id][0], nX * nY);
    for (int i = 0; i < model.maps.count; ++i) {
        const array_id id = model.maps.ids[i];
        read_raw_values(dat_file(array_name(id)).c_str(), in->maps[id][0], nX * nY);
    }

    // Point list, then time series and slice buffer, family by family.
    const family_id reading_order[] = {family_icc, family_icczero, family_icc_add, family_icc_u, family_icc_w};
    for (family_id f : reading_order) {
        if (f == family_icczero)
            read_raw_values("outc.dat", in->outc[0], 2 * s.ncoordsout);
        if (in->count[f] <= 0)
            continue;
        in->points_read[f] = read_points(in, f);
        if (source_families[f].series_name && read_series(in, f) != 0)
            return 1;
    }
    return 0;
}

int start_up(const solver_model& model, host_inputs* in, decomposition* d)
{
    *in = host_inputs{};
    if (read_scalar_inputs(&in->s) != 0)
        return 1;
    if (check_sources_defined(in->s) != 0)
        return 1;
    if (count_gpus(&in->ngpus) != 0)
        return 1;
    in->memory_saving = read_memory_saving();
    if (in->s.dY != in->s.dX)
        std::fprintf(stderr, "Warning: dY=%e differs from dX=%e; dY is ignored, both derivatives use dX\n",
                     static_cast<double>(in->s.dY), static_cast<double>(in->s.dX));
    if (check_scalar_ranges(in->s, in->ngpus, d) != 0)
        return 1;
    print_decomposition(*d);
    if (read_host_inputs(model, in) != 0)
        return 1;
    return check_host_inputs(*in);
}
