// For tools/device_check.sh: one line per visible GPU,
//   index <TAB> name <TAB> compute capability <TAB> peak memory bandwidth in GB/s
// the peak from the memory clock and bus width that the runtime reports, two
// transfers per clock (0 where the runtime reports neither). Exit status 1,
// with the runtime's message, when no GPU can be used.
#include <cuda_runtime.h>

#include <cstdio>

int main()
{
    int count = 0;
    const cudaError_t counted = cudaGetDeviceCount(&count);
    if (counted != cudaSuccess || count == 0) {
        std::fprintf(stderr, "no usable GPU: %s\n",
                     counted != cudaSuccess ? cudaGetErrorString(counted) : "the runtime reports none");
        return 1;
    }
    for (int k = 0; k < count; ++k) {
        cudaDeviceProp prop;
        const cudaError_t described = cudaGetDeviceProperties(&prop, k);
        if (described != cudaSuccess) {
            std::fprintf(stderr, "GPU %d: %s\n", k, cudaGetErrorString(described));
            return 1;
        }
        // Either figure unknown: a peak of 0, which the script looks up by name.
        int clock_khz = 0, bus_bits = 0;
        if (cudaDeviceGetAttribute(&clock_khz, cudaDevAttrMemoryClockRate, k) != cudaSuccess ||
            cudaDeviceGetAttribute(&bus_bits, cudaDevAttrGlobalMemoryBusWidth, k) != cudaSuccess) {
            clock_khz = 0;
            (void)cudaGetLastError();
        }
        const double peak = 2.0 * clock_khz * 1.0e3 * (bus_bits / 8.0) / 1.0e9;
        std::printf("%d\t%s\t%d.%d\t%.0f\n", k, prop.name, prop.major, prop.minor, peak);
    }
    return 0;
}
