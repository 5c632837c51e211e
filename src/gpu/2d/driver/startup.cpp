#include "startup.h"

#include "logical_gpus.h"
#include "raw_data.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Values through the typed reader of their type: the number stored, read_missing or read_failed.
int read_values(const char* file, int* values, int count) { return import_int_data(file, values, count); }
int read_values(const char* file, float* values, int count) { return import_float_data(file, values, count); }
template <typename T> int read_scalar(const char* file, T* value) { return read_values(file, value, 1); }

// A probed file is read only when it can be opened: a missing file gives no
// reader lines. One that is there but cannot be opened is read all the same,
// so that the reader reports it.
bool probe_finds(const char* file)
{
    FILE* probe = std::fopen(file, "rb");
    if (probe == nullptr)
        return errno != ENOENT;
    std::fclose(probe);
    return true;
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

// Reads the bulk file of array `stem` ("rho" from "rho.dat"). A missing or
// short file goes on as zeros, said on standard error; one that cannot be
// read ends the start-up (1). `stored` receives the values stored.
template <typename T> int read_bulk(const char* stem, T* destination, int count, int* stored = nullptr)
{
    const std::string file = dat_file(stem);
    const int got = read_values(file.c_str(), destination, count);
    if (got == read_failed)
        return 1;
    if (stored != nullptr)
        *stored = got > 0 ? got : 0;
    if (count <= 0 || got >= count)
        return 0;
    if (got == read_missing)
        std::fprintf(stderr, "Warning: %s is missing: %s reads as 0 everywhere\n", file.c_str(), stem);
    else
        std::fprintf(stderr, "Warning: %s holds %d of %d values: the rest read as 0\n", file.c_str(), got, count);
    return 0;
}

// c.dat and d.dat are read and never used: missing or short, they need no
// word beyond the reader's own. One that cannot be read ends the start-up (1).
template <typename T> int read_unused(const char* stem, T* destination, int count)
{
    return read_values(dat_file(stem).c_str(), destination, count) == read_failed;
}

// Reads a family's point list and counts the whole points stored.
int read_points(host_inputs* in, family_id f)
{
    int values = 0;
    if (read_bulk(source_families[f].list_name, in->coords[f][0], 2 * in->count[f], &values))
        return 1;
    in->points_read[f] = values / 2;
    return 0;
}

// Reads a family's time series and, in the memory-saving mode, obtains its slice buffer.
int read_series(host_inputs* in, family_id f)
{
    const source_family& fam = source_families[f];
    const int n = in->count[f];
    if (read_bulk(fam.series_name, in->series[f][0], in->s.nTic * n))
        return 1;
    if (!in->memory_saving)
        return 0;
    in->slice_host[f] = static_cast<float*>(allocate_host(4 * static_cast<size_t>(n)));
    if (in->slice_host[f] == nullptr) {
        std::fprintf(stderr, "Failed to allocate %s\n", fam.slice_name);
        return 1;
    }
    return 0;
}

} // namespace

int obtained(const void* array, const char* name, long long bytes)
{
    if (array != nullptr)
        return 0;
    std::fprintf(stderr, "Error: cannot allocate host memory for %s (%lld bytes)\n", name, bytes);
    return 1;
}

int read_scalar_inputs(scalar_inputs* s)
{
    // Zero first, so that a missing file echoes 0 and leaves nothing indeterminate.
    *s = scalar_inputs{};
    s->modT = 1;
    std::string missing, short_counts;
    auto add = [](std::string& list, const char* file) { list += (list.empty() ? "" : ", ") + std::string(file); };
    // Each returns true when its file exists but cannot be read, which ends the run at once.
    auto required = [&](const char* file, auto* value) {
        const int got = read_scalar(file, value);
        if (got != 1 && got != read_failed)
            add(missing, file);
        return got == read_failed;
    };
    auto optional = [&](const char* file, auto* value) { return read_scalar(file, value) == read_failed; };
    // A count file that is there must hold its value: a short one would drop a whole family.
    auto probed = [&](const char* file, int* value) {
        if (!probe_finds(file))
            return false;
        const int got = read_scalar(file, value);
        if (got == 0)
            add(short_counts, file);
        return got == read_failed;
    };

    if (required("nX.dat", &s->nX))
        return 1;
    std::printf("nX=%d\n", s->nX);
    if (required("nY.dat", &s->nY))
        return 1;
    std::printf("nY=%d\n", s->nY);
    if (required("nT.dat", &s->nT))
        return 1;
    std::printf("nT=%d\n", s->nT);
    s->nTic = s->nT;
    const int nTic_read = read_scalar("nTic.dat", &s->nTic);
    if (nTic_read == read_failed)
        return 1;
    std::printf("nTic=%d\n", s->nTic);
    // Without its own file nTic is nT, and a run of no steps needs no samples.
    if (nTic_read != 1 && s->nTic < 0)
        s->nTic = 0;
    if (optional("modT.dat", &s->modT))
        return 1;
    std::printf("modT=%d\n", s->modT);
    if (required("dX.dat", &s->dX))
        return 1;
    std::printf("dX=%e\n", static_cast<double>(s->dX));
    const int dY_read = read_scalar("dY.dat", &s->dY);
    if (dY_read == read_failed)
        return 1;
    s->dY_given = dY_read == 1;
    std::printf("dY=%e\n", static_cast<double>(s->dY));
    if (required("dT.dat", &s->dT))
        return 1;
    std::printf("dT=%e\n", static_cast<double>(s->dT));
    if (optional("c0.dat", &s->c0))
        return 1;
    std::printf("c0=%e\n", static_cast<double>(s->c0));
    if (probed("ncoords.dat", &s->ncoords))
        return 1;
    std::printf("ncoords=%d\n", s->ncoords);
    if (probed("ncoordszero.dat", &s->ncoordszero))
        return 1;
    std::printf("ncoordszero=%d\n", s->ncoordszero);
    if (required("ncoordsout.dat", &s->ncoordsout))
        return 1;
    std::printf("ncoordsout=%d\n", s->ncoordsout);
    if (required("ndmap.dat", &s->ndmap))
        return 1;
    std::printf("ndmap=%d\n", s->ndmap);
    if (probed("ncoords_add.dat", &s->ncoords_add))
        return 1;
    std::printf("ncoords_add=%d\n", s->ncoords_add);
    if (probed("ncoords_u.dat", &s->ncoords_u))
        return 1;
    std::printf("ncoords_u=%d\n", s->ncoords_u);
    if (probed("ncoords_w.dat", &s->ncoords_w))
        return 1;
    std::printf("ncoords_w=%d\n", s->ncoords_w);

    if (!missing.empty()) {
        std::fprintf(stderr, "Error: required input missing or incomplete: %s (each must hold one 4-byte value)\n",
                     missing.c_str());
        return 1;
    }
    if (!short_counts.empty()) {
        std::fprintf(stderr,
                     "Error: count input incomplete: %s (each must hold one 4-byte value, or be absent for a count "
                     "of 0)\n",
                     short_counts.c_str());
        return 1;
    }
    return 0;
}

int count_gpus(int* ngpus)
{
    int count = 0, devices = 0;
    const cudaError_t result = logical_gpu_count(&count, &devices);
    if (result != cudaSuccess) {
        std::fprintf(stderr, "Error: no usable GPU: cudaGetDeviceCount failed (%s); at least 1 GPU is needed\n",
                     cudaGetErrorString(result));
        return 1;
    }
    if (count < 1) {
        std::fprintf(stderr, "Error: no usable GPU: the runtime reports %d GPUs; at least 1 is needed\n", count);
        return 1;
    }
    if (logical_gpus_requested() > 0)
        std::printf("TESSARO_LOGICAL_GPUS=%d: GPU k runs on device k mod %d\n", count, devices);
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

    const long long map_bytes = row_table_bytes(nX, nY);
    in->c = allocate_f_2d(nX, nY);
    if (obtained(in->c, "c", map_bytes))
        return 1;
    auto allocate_map = [&](array_id id) {
        in->maps[id] = allocate_f_2d(nX, nY);
        return obtained(in->maps[id], array_name(id), map_bytes);
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
    if (obtained(in->d, "d", row_table_bytes(9, 2)))
        return 1;
    in->dmap = static_cast<float*>(allocate_host(72 * static_cast<size_t>(s.ndmap)));
    if (obtained(in->dmap, "dmap", 72LL * s.ndmap))
        return 1;
    in->dcmap = allocate_i_2d(nX, nY);
    if (obtained(in->dcmap, "dcmap", map_bytes))
        return 1;
    for (int f = 0; f < family_count; ++f)
        in->count[f] = family_size(s, static_cast<family_id>(f));
    auto allocate_series = [&](family_id f) {
        in->series[f] = allocate_f_2d(in->count[f], s.nTic);
        return obtained(in->series[f], source_families[f].series_name, row_table_bytes(in->count[f], s.nTic));
    };
    auto allocate_list = [&](family_id f) {
        in->coords[f] = allocate_i_2d(in->count[f], 2);
        return obtained(in->coords[f], source_families[f].list_name, row_table_bytes(in->count[f], 2));
    };
    // divev comes before icc; the other families have their list first.
    if (in->count[family_icc] > 0 && (allocate_series(family_icc) || allocate_list(family_icc)))
        return 1;
    in->outc = allocate_i_2d(s.ncoordsout, 2);
    if (obtained(in->outc, "outc", row_table_bytes(s.ncoordsout, 2)))
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

    if (read_unused("d", in->d[0], 18) || read_bulk("dmap", in->dmap, 18 * s.ndmap) ||
        read_bulk("dcmap", in->dcmap[0], nX * nY) || read_unused("c", in->c[0], nX * nY))
        return 1;
    for (int i = 0; i < nmaps; ++i)
        if (read_bulk(array_name(maps[i]), in->maps[maps[i]][0], nX * nY))
            return 1;

    // Point list, then time series and slice buffer, family by family.
    const family_id reading_order[] = {family_icc, family_icczero, family_icc_add, family_icc_u, family_icc_w};
    for (family_id f : reading_order) {
        if (f == family_icczero && read_bulk("outc", in->outc[0], 2 * s.ncoordsout))
            return 1;
        if (in->count[f] <= 0)
            continue;
        if (read_points(in, f) || (source_families[f].series_name && read_series(in, f) != 0))
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
    if (check_scalar_ranges(in->s, in->ngpus, d) != 0)
        return 1;
    if (in->s.dY_given && in->s.dY != in->s.dX)
        std::fprintf(stderr, "Warning: dY=%e differs from dX=%e; dY is ignored, both derivatives use dX\n",
                     static_cast<double>(in->s.dY), static_cast<double>(in->s.dX));
    print_decomposition(*d);
    if (read_host_inputs(model, in) != 0)
        return 1;
    if (check_host_inputs(*in) != 0)
        return 1;
    return warn_host_inputs(model, *in);
}
