#include "driver.h"

#include "device_setup.h"
#include "output_points.h"
#include "time_loop.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>

int run_solver(const solver_model& model)
{
    // Large records; they live for the whole run.
    static host_inputs in;
    static decomposition d;
    static device_state st;

    int status = start_up(model, &in, &d);
    if (status != 0)
        return status;
    status = set_up_devices(model, in, d, &st);
    if (status != 0)
        return status;

    static float_writer writer;
    if (float_writer_init(&writer, static_cast<uint64_t>(in.s.ncoordsout)) != 0) {
        std::perror("Failed to initialize float writer");
        return 1;
    }
    pthread_t writer_thread;
    // Without the writer thread no frame would ever leave its slot.
    const int created = pthread_create(&writer_thread, nullptr, float_writer_thread, &writer);
    if (created != 0) {
        std::fprintf(stderr, "Error: cannot start the output writer thread: %s\n", std::strerror(created));
        return 1;
    }
    std::puts("Starting time stepping loop...");
    std::printf("Progress :      ");

    float* genout_frame_host = set_up_output_points(model, in, d, &st);
    run_time_loop(model, in, d, st, genout_frame_host, &writer);
    return tear_down(model, in, d, &st, genout_frame_host, &writer, writer_thread);
}
