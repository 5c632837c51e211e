// Byte-for-byte comparison of two genout.dat for tools/device_check.sh.
#include "genout_compare.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

bool read_file(const std::string& path, std::string* bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->append(chunk, got);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

float sample(const std::string& bytes, size_t i)
{
    float v;
    std::memcpy(&v, bytes.data() + 4 * i, 4);
    return v;
}

uint32_t bits_of(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

// Position of v among all floats in order, -0 just below +0.
int64_t float_rank(float v)
{
    const uint32_t b = bits_of(v);
    return (b >> 31) != 0 ? -static_cast<int64_t>(b & 0x7fffffffu) - 1 : static_cast<int64_t>(b);
}

bool same_sample(float a, float b) { return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b)); }

size_t nonzero_finite(const std::string& bytes)
{
    size_t n = 0;
    for (size_t i = 0; i < bytes.size() / 4; ++i) {
        const float v = sample(bytes, i);
        n += std::isfinite(v) && v != 0.0f;
    }
    return n;
}

} // namespace

int compare_genout(const std::string& dir_a, const std::string& dir_b)
{
    std::string count_bytes, a, b;
    int32_t slots = 0;
    if (!read_file(dir_a + "/ncoordsout.dat", &count_bytes) || count_bytes.size() != 4) {
        std::printf("  cannot read %s/ncoordsout.dat\n", dir_a.c_str());
        return 2;
    }
    std::memcpy(&slots, count_bytes.data(), 4);
    for (const auto& file : {std::make_pair(&dir_a, &a), std::make_pair(&dir_b, &b)}) {
        const std::string path = *file.first + "/genout.dat";
        if (!read_file(path, file.second)) {
            std::printf("  cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            return 2;
        }
        const size_t n = file.second->size() / 4;
        std::printf("  %s: %zu samples, %zu non-zero and finite\n", path.c_str(), n, nonzero_finite(*file.second));
    }
    if (a.size() != b.size() || a.size() % 4 != 0) {
        std::printf("  the files differ in length: %zu and %zu bytes\n", a.size(), b.size());
        return 1;
    }
    const size_t n = a.size() / 4;
    for (size_t i = 0; i < n; ++i) {
        const float x = sample(a, i), y = sample(b, i);
        if (same_sample(x, y))
            continue;
        const size_t per_frame = slots > 0 ? static_cast<size_t>(slots) : 1;
        std::printf("  first difference: frame %zu, slot %zu: %.9g (0x%08" PRIx32 ") and %.9g (0x%08" PRIx32 "), ",
                    i / per_frame, i % per_frame, static_cast<double>(x), bits_of(x), static_cast<double>(y),
                    bits_of(y));
        if (std::isnan(x) || std::isnan(y))
            std::printf("one of them NaN\n");
        else
            std::printf("distance %lld units in the last place\n",
                        std::llabs(static_cast<long long>(float_rank(x) - float_rank(y))));
        return 1;
    }
    const size_t counted = std::min(nonzero_finite(a), nonzero_finite(b));
    if (n == 0 || 2 * counted < n) {
        std::printf("  identical, but does not count: fewer than half of the %zu samples are non-zero and finite\n",
                    n);
        return 2;
    }
    std::printf("  identical\n");
    return 0;
}
