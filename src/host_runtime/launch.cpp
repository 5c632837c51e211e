// Kernel launches: configuration checks, the built-in variables and a
// persistent pool of CPU threads that runs the blocks of a grid.
#include "runtime_state.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <pthread.h>
#include <thread>

__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread uint3 blockDim;
__thread uint3 gridDim;

using namespace host_runtime::detail;

namespace {

struct grid_job {
    dim3 grid;
    dim3 block;
    const std::function<void()>* body = nullptr;
    uint64_t block_count = 0;
    uint64_t chunk = 1;
};

// Workers wake for every job and each reports back before the next one starts,
// so no worker ever sees a stale job. A new generation is published under the
// mutex and the last worker reports under it, so waiters sleeping on the
// conditions miss neither.
struct pool_state {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    // Plain POSIX threads: UndefinedBehaviorSanitizer checks the virtual call
    // that starts a std::thread with a probe that needs two free descriptors,
    // which a run at its descriptor limit does not have.
    std::vector<pthread_t> workers;
    size_t wanted = 0;             // workers asked for; fewer when the system refused some
    const grid_job* job = nullptr; // written before the generation is published
    std::atomic<uint64_t> generation{0};
    std::atomic<size_t> busy{0};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> next_block{0};
};

// Waking a sleeping thread takes tens of microseconds, longer than many grids
// take to run. Between the launches of a time step, workers and the issuing
// thread poll instead, for up to this long, before they sleep.
constexpr std::chrono::microseconds poll_time(200);

template <typename Ready>
bool poll_until(Ready ready)
{
    const auto limit = std::chrono::steady_clock::now() + poll_time;
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::yield();
    }
}

pool_state& pool()
{
    static pool_state& p = *new pool_state; // workers may outlive static destruction
    return p;
}

void run_block(const grid_job& job, uint64_t linear)
{
    const dim3 g = job.grid, b = job.block;
    blockIdx = uint3{static_cast<unsigned>(linear % g.x), static_cast<unsigned>(linear / g.x % g.y),
                     static_cast<unsigned>(linear / g.x / g.y)};
    blockDim = uint3{b.x, b.y, b.z};
    gridDim = uint3{g.x, g.y, g.z};
    const std::function<void()>& body = *job.body;
    for (unsigned z = 0; z < b.z; ++z)
        for (unsigned y = 0; y < b.y; ++y)
            for (unsigned x = 0; x < b.x; ++x) {
                threadIdx = uint3{x, y, z};
                body();
            }
}

void run_blocks(const grid_job& job, std::atomic<uint64_t>& next)
{
    for (;;) {
        uint64_t first = next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (first >= job.block_count)
            return;
        uint64_t last = std::min(job.block_count, first + job.chunk);
        for (uint64_t i = first; i < last; ++i)
            run_block(job, i);
    }
}

void worker_loop(uint64_t seen)
{
    pool_state& p = pool();
    auto ready = [&] {
        return p.stop.load(std::memory_order_acquire) || p.generation.load(std::memory_order_acquire) != seen;
    };
    for (;;) {
        if (!poll_until(ready)) {
            std::unique_lock<std::mutex> lock(p.mutex);
            p.wake.wait(lock, ready);
        }
        if (p.stop.load(std::memory_order_acquire))
            return;
        seen = p.generation.load(std::memory_order_acquire);
        run_blocks(*p.job, p.next_block);
        if (p.busy.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(p.mutex);
            p.done.notify_one();
        }
    }
}

// Starts a worker; false, with the reason, when the system (or TESSARO_HOST_FAIL)
// refuses the thread.
bool start_worker(pool_state& p, std::string& reason)
{
    if (injected_fault("launch_thread")) {
        reason = std::strerror(EAGAIN);
        return false;
    }
    // The generation seen so far travels as the thread's argument.
    auto run = [](void* seen) -> void* {
        worker_loop(reinterpret_cast<uintptr_t>(seen));
        return nullptr;
    };
    pthread_t thread;
    const uintptr_t seen = p.generation.load(std::memory_order_relaxed);
    const int created = pthread_create(&thread, nullptr, run, reinterpret_cast<void*>(seen));
    if (created != 0) {
        reason = std::strerror(created);
        return false;
    }
    p.workers.push_back(thread);
    return true;
}

// A pool that could not be filled runs grids on the workers it has, and the
// issuing thread.
void resize_pool(size_t workers)
{
    pool_state& p = pool();
    if (p.wanted == workers)
        return;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.stop.store(true, std::memory_order_release);
    }
    p.wake.notify_all();
    for (pthread_t t : p.workers)
        pthread_join(t, nullptr);
    p.workers.clear();
    p.stop.store(false, std::memory_order_relaxed);
    p.wanted = workers;
    // New workers wait for the next job, not the last one.
    std::string reason;
    while (p.workers.size() < workers && start_worker(p, reason)) {
    }
    const size_t running = p.workers.size() + 1; // and the issuing thread
    if (running <= workers)
        std::fprintf(stderr,
                     "Warning: host runtime: launch thread %zu of %zu could not be started (%s); kernels run on %zu "
                     "CPU thread%s\n",
                     running, workers, reason.c_str(), running, running == 1 ? "" : "s");
}

const char* configuration_problem(dim3 grid, dim3 block)
{
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0)
        return "zero";
    if (uint64_t(block.x) * block.y * block.z > 1024)
        return "block";
    if (grid.y > 65535 || grid.z > 65535)
        return "grid";
    return nullptr;
}

std::string dims(dim3 d) { return std::to_string(d.x) + "x" + std::to_string(d.y) + "x" + std::to_string(d.z); }

} // namespace

namespace host_runtime::detail {

void run_grid(dim3 grid, dim3 block, const std::function<void()>& body, int threads)
{
    grid_job job;
    job.grid = grid;
    job.block = block;
    job.body = &body;
    job.block_count = uint64_t(grid.x) * grid.y * grid.z;
    job.chunk = job.block_count;
    std::atomic<uint64_t> serial_next{0};
    if (threads <= 1 || job.block_count == 1) {
        run_blocks(job, serial_next);
        return;
    }
    // The cost of a thread differs by orders of magnitude between kernels, so
    // the first block is timed: a grid that would take less time than waking
    // the pool runs here.
    constexpr std::chrono::microseconds wake_cost(50);
    const auto start = std::chrono::steady_clock::now();
    run_block(job, 0);
    const auto first = std::chrono::steady_clock::now() - start;
    if (first * static_cast<double>(job.block_count - 1) < wake_cost) {
        serial_next.store(1, std::memory_order_relaxed);
        run_blocks(job, serial_next);
        return;
    }
    uint64_t chunk = job.block_count / (uint64_t(threads) * 8);
    job.chunk = chunk == 0 ? 1 : chunk;
    start_launch_pool(threads);
    pool_state& p = pool();
    p.job = &job;
    p.next_block.store(1, std::memory_order_relaxed);
    p.busy.store(p.workers.size(), std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.generation.fetch_add(1, std::memory_order_release);
    }
    p.wake.notify_all();
    run_blocks(job, p.next_block);
    auto finished = [&] { return p.busy.load(std::memory_order_acquire) == 0; };
    if (!poll_until(finished)) {
        std::unique_lock<std::mutex> lock(p.mutex);
        p.done.wait(lock, finished);
    }
    p.job = nullptr;
}

void start_launch_pool(int threads) { resize_pool(threads > 1 ? static_cast<size_t>(threads - 1) : 0); }

} // namespace host_runtime::detail

cudaError_t host_runtime::launch(const char* kernel_name, dim3 grid, dim3 block, cudaStream_t stream,
                                 std::function<void()> thread_body,
                                 const std::function<void(std::string&)>& describe_args)
{
    auto lock = lock_runtime();
    cudaError_t error = valid_stream(stream) ? cudaSuccess : cudaErrorInvalidResourceHandle;
    int device = error == cudaSuccess ? stream_device(stream) : current_device();
    error = first_error(injected_error("cudaLaunchKernel"), error);
    if (error == cudaSuccess)
        error = check_current_device();
    if (error == cudaSuccess && device != current_device())
        error = cudaErrorInvalidResourceHandle;
    if (error == cudaSuccess && configuration_problem(grid, block) != nullptr)
        error = cudaErrorInvalidConfiguration;
    if (tracing_enabled()) {
        std::string line = "launch dev=" + std::to_string(device) + " " + stream_field(stream) +
                           " kernel=" + kernel_name + " grid=" + dims(grid) + " block=" + dims(block) + " args=";
        if (describe_args)
            describe_args(line);
        trace_line(line, error);
    }
    if (error != cudaSuccess)
        return record(error);
    int threads = state().thread_count;
    submit(stream, [grid, block, threads, body = std::move(thread_body)] { run_grid(grid, block, body, threads); });
    return cudaSuccess;
}
