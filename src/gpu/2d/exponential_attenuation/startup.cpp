#include "startup.h"

#include "raw_data.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// One value through the typed reader of its type; the number of values stored,
// or -1 when the file could not be opened.
int read_scalar(const char* file, int* value) { return import_int_data(file, value, 1); }
int read_scalar(const char* file, float* value) { return import_float_data(file, value, 1); }

// Read only when the file can be opened: a missing file gives no reader lines.
void read_probed(const char* file, int* value)
{
    FILE* probe = std::fopen(file, "rb");
    if (probe == nullptr)
        return;
    std::fclose(probe);
    read_scalar(file, value);
}

// A host array that could not be obtained ends the start-up with its name.
int obtained(const void* array, const char* name, long long elements)
{
    if (array != nullptr)
        return 0;
    std::fprintf(stderr, "Error: cannot allocate host memory for %s (%lld bytes)\n", name, 4 * elements);
    return 1;
}

bool listed(const array_list& list, array_id id)
{
    for (int i = 0; i < list.count; ++i)
        if (list.ids[i] == id)
            return true;
    return false;
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
    const int got = import_int_data(dat_file(source_families[f].list_name).c_str(), in->coords[f][0], 2 * n);
    return got > 0 ? got / 2 : 0;
}

// Reads a family's time series and, in the memory-saving mode, obtains its slice buffer.
int read_series(host_inputs* in, family_id f)
{
    const source_family& fam = source_families[f];
    const int n = in->count[f];
    import_float_data(dat_file(fam.series_name).c_str(), in->series[f][0], in->s.nTic * n);
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
    auto required = [&](const char* file, auto* value) {
        if (read_scalar(file, value) != 1)
            missing += (missing.empty() ? "" : ", ") + std::string(file);
    };

    required("nX.dat", &s->nX);
    std::printf("nX=%d\n", s->nX);
    required("nY.dat", &s->nY);
    std::printf("nY=%d\n", s->nY);
    required("nT.dat", &s->nT);
    std::printf("nT=%d\n", s->nT);
    // Without its own file nTic is nT, and a run of no steps needs no samples.
    s->nTic = s->nT;
    if (read_scalar("nTic.dat", &s->nTic) != 1 && s->nTic < 0)
        s->nTic = 0;
    std::printf("nTic=%d\n", s->nTic);
    read_scalar("modT.dat", &s->modT);
    std::printf("modT=%d\n", s->modT);
    required("dX.dat", &s->dX);
    std::printf("dX=%e\n", static_cast<double>(s->dX));
    read_scalar("dY.dat", &s->dY);
    std::printf("dY=%e\n", static_cast<double>(s->dY));
    required("dT.dat", &s->dT);
    std::printf("dT=%e\n", static_cast<double>(s->dT));
    read_scalar("c0.dat", &s->c0);
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

    const long long grid = static_cast<long long>(nX) * nY;
    in->c = allocate_f_2d(nX, nY);
    if (obtained(in->c, "c", grid))
        return 1;
    auto allocate_map = [&](array_id id) {
        in->maps[id] = allocate_f_2d(nX, nY);
        return obtained(in->maps[id], array_name(id), grid);
    };
    array_id maps[arr_count]; // in reading order
    int nmaps = 0;
    for (array_id id : {arr_rho, arr_K, arr_beta})
        maps[nmaps++] = id;
    for (int i = 0; i < model.maps.count; ++i)
        maps[nmaps++] = model.maps.ids[i];
    for (int i = 0; i < nmaps; ++i)
        if (!listed(model.host_maps_last, maps[i]) && allocate_map(maps[i]))
            return 1;
    in->d = allocate_f_2d(9, 2);
    if (obtained(in->d, "d", 18))
        return 1;
    in->dmap = static_cast<float*>(std::calloc(18 * static_cast<size_t>(s.ndmap), sizeof(float)));
    if (obtained(in->dmap, "dmap", 18LL * s.ndmap))
        return 1;
    in->dcmap = allocate_i_2d(nX, nY);
    if (obtained(in->dcmap, "dcmap", grid))
        return 1;
    for (int f = 0; f < family_count; ++f)
        in->count[f] = family_size(s, static_cast<family_id>(f));
    auto allocate_series = [&](family_id f) {
        in->series[f] = allocate_f_2d(in->count[f], s.nTic);
        return obtained(in->series[f], source_families[f].series_name, static_cast<long long>(in->count[f]) * s.nTic);
    };
    auto allocate_list = [&](family_id f) {
        in->coords[f] = allocate_i_2d(in->count[f], 2);
        return obtained(in->coords[f], source_families[f].list_name, 2LL * in->count[f]);
    };
    // divev comes before icc; the other families have their list first.
    if (in->count[family_icc] > 0 && (allocate_series(family_icc) || allocate_list(family_icc)))
        return 1;
    in->outc = allocate_i_2d(s.ncoordsout, 2);
    if (obtained(in->outc, "outc", 2LL * s.ncoordsout))
        return 1;
    for (family_id f : {family_icczero, family_icc_add, family_icc_u, family_icc_w}) {
        if (in->count[f] <= 0)
            continue;
        if (allocate_list(f) || (source_families[f].series_name && allocate_series(f)))
            return 1;
    }
    for (int i = 0; i < model.host_maps_last.count; ++i)
        if (allocate_map(model.host_maps_last.ids[i]))
            return 1;

    import_float_data("d.dat", in->d[0], 18);
    import_float_data("dmap.dat", in->dmap, 18 * s.ndmap);
    import_int_data("dcmap.dat", in->dcmap[0], nX * nY);
    import_float_data("c.dat", in->c[0], nX * nY);
    for (int i = 0; i < nmaps; ++i)
        import_float_data(dat_file(array_name(maps[i])).c_str(), in->maps[maps[i]][0], nX * nY);

    // Point list, then time series and slice buffer, family by family.
    const family_id reading_order[] = {family_icc, family_icczero, family_icc_add, family_icc_u, family_icc_w};
    for (family_id f : reading_order) {
        if (f == family_icczero)
            import_int_data("outc.dat", in->outc[0], 2 * s.ncoordsout);
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
