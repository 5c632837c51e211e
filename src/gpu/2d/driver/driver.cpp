#include "driver.h"

#include "device_setup.h"
#include "non_finite_output.h"
#include "output_points.h"
#include "progress_line.h"
#include "run_end.h"
#include "time_loop.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A closed standard stream would hand its descriptor to the next file opened,
// and console text would land in genout.dat: give each a /dev/null first.
void open_closed_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

} // namespace

int run_solver(const solver_model& model)
{
    // Large records; they live for the whole run.
    static host_inputs in;
    static decomposition d;
    static device_state st;

    open_closed_standard_streams();
    // Past a file-size limit, or into a pipe whose reader has gone, a write
    // fails instead of the signal ending the run without a word: genout.dat
    // is then reported incomplete, and a console that has gone changes nothing.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    int status = start_up(model, &in, &d);
    if (status != 0)
        return status;
    status = set_up_devices(model, in, d, &st);
    if (status != 0)
        return status;

    static float_writer writer;
    const int opened = float_writer_init(&writer, static_cast<uint64_t>(in.s.ncoordsout));
    if (opened != 0) {
        if (opened != float_writer_refused)
            std::perror("Failed to initialize float writer");
        return 1;
    }
    // From here on a stop signal waits for a step boundary.
    catch_stop_signals();
    // Without the writer thread no frame would ever leave its slot.
    const int created = start_writer_thread(&writer);
    if (created != 0) {
        std::fprintf(stderr, "Error: cannot start the output writer thread: %s\n", std::strerror(created));
        return 1;
    }
    hold_frame_layout(&in, &d);
    std::puts("Starting time stepping loop...");
    begin_progress_line();

    float* genout_frame_host = set_up_output_points(model, in, d, &st);
    run_time_loop(model, in, d, st, genout_frame_host, &writer);
    return tear_down(model, in, d, &st, genout_frame_host, &writer);
}
