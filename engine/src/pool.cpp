// The process-wide worker pool.
//
// One pool per process, started by the first parallel pass: every thread is
// created at once, detached, unnamed, with a 2 MiB stack, and none is ever
// stopped. A pass hands out its index range in chunks through an atomic
// counter; the calling thread only waits until every worker has left the
// pass. Passes of several calling threads run one after another.
//
// Hand-off: a pass is announced by bumping an atomic generation number, and
// its end by the last worker bringing the count of workers in the pass to 0.
// Both sides wait the way mature pools do: spin briefly, then yield the
// processor, then sleep on the atomic (a futex), so that back-to-back passes
// cost no system call while an idle pool costs no processor time.
//
// A child process forked after the start has no workers; its first parallel
// pass starts a fresh pool instead of waiting forever for the parent's.
#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "brenmor/brenmor.hpp"
#include "brenmor/texts.hpp"
#include "thread_count.hpp"
#include "os_error.hpp"
#include "pool_internal.hpp"

namespace brenmor::pool {

namespace {

constexpr std::size_t kStackSize = 2 * 1024 * 1024;

detail::ThreadCreator g_thread_creator = &pthread_create;

// How long a waiting thread watches before it sleeps. It spins on the pause
// instruction for the first microsecond only and then yields the processor
// between looks, so that on a busy machine the watching costs the other
// threads nothing. Both spans are measured by the clock: a pause takes from
// 10 to 140 cycles depending on the processor.
//   - A worker that has just finished a pass: 500 microseconds, long enough
//     to catch the next pass of a caller that computes spectra back to back
//     or between the steps of a fit. A sleeping thread is slow to wake: its
//     processor may have gone idle (in a virtual machine, back to the host),
//     and waking it cost 50 to 100 microseconds a pass here.
//   - The caller, while its pass runs: 5 microseconds when the workers have
//     every processor (a worker may need the caller's); 1 millisecond when
//     the pool has fewer workers than the process has processors, so that
//     the caller's own processor would otherwise stand idle.
constexpr std::chrono::nanoseconds kSpin{1'000};
constexpr std::chrono::nanoseconds kWorkerWatch{500'000};
constexpr std::chrono::nanoseconds kCallerWatch{5'000};
constexpr std::chrono::nanoseconds kCallerWatchBesideWorkers{1'000'000};

// One parallel pass.
struct Pass {
    detail::ChunkFn fn;
    void* ctx;
    std::size_t n;
    std::size_t chunk;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex error_mutex;
    std::exception_ptr error;  // the first failure of the pass
};

enum class Status { not_started, running, failed };

struct PoolState {
    std::mutex pass_mutex;  // held by a caller for the whole of its pass
    Status status = Status::not_started;  // guarded by pass_mutex

    // Counts the passes handed out; workers wait for it to change. A failed
    // start bumps it too, after setting `dismissed`, to send the threads
    // already created away.
    std::atomic<std::uint32_t> generation{0};
    std::atomic<bool> dismissed{false};
    // The dismissed threads that have left: a failed start waits for all of
    // them, so that none still reads this state when a forked child rebuilds
    // it in place.
    std::atomic<std::size_t> dismissed_left{0};
    std::atomic<Pass*> pass{nullptr};
    // The workers still in the current pass; the caller waits for 0.
    std::atomic<std::uint32_t> workers_in_pass{0};

    std::atomic<std::size_t> threads{0};  // set once the start has succeeded
    // How long the caller watches for the end of its pass; set with
    // `threads`.
    std::chrono::nanoseconds caller_watch = kCallerWatch;
};

constexpr int kPausesPerClockRead = 16;

inline void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Returns once `word` no longer holds `old`.
void wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t old,
                     std::chrono::nanoseconds watch) noexcept {
    const auto start = std::chrono::steady_clock::now();
    for (auto now = start; now - start < watch; now = std::chrono::steady_clock::now()) {
        for (int k = 0; k < kPausesPerClockRead; ++k) {
            if (word.load(std::memory_order_acquire) != old) return;
            relax();
        }
        if (now - start >= kSpin) sched_yield();
    }
    while (word.load(std::memory_order_acquire) == old) word.wait(old, std::memory_order_acquire);
}

// The state lives in static storage and is never destroyed: detached workers
// wait on its condition variables until the process ends. A forked child
// rebuilds it in place (its parent's workers do not exist there).
alignas(PoolState) unsigned char g_storage[sizeof(PoolState)];
std::atomic<PoolState*> g_state{nullptr};

void rebuild_in_child() noexcept {
    // Only the forking thread runs here; no lock of the old state can be
    // trusted. A failed start stays failed: it is not retried.
    const bool failed = g_state.load()->status == Status::failed;
    PoolState* fresh = new (g_storage) PoolState();
    if (failed) fresh->status = Status::failed;
    g_state.store(fresh);
}

PoolState& state() {
    static const bool initialised = [] {
        g_state.store(new (g_storage) PoolState());
        pthread_atfork(nullptr, nullptr, &rebuild_in_child);
        return true;
    }();
    (void)initialised;
    return *g_state.load();
}

[[noreturn]] void abort_pool(const char* what) noexcept {
    std::string line = "brenmor: worker pool failure: ";
    line += what;
    line += '\n';
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    std::abort();
}

void work_on(Pass& pass) noexcept {
    while (!pass.failed.load(std::memory_order_relaxed)) {
        const std::size_t begin = pass.next.fetch_add(pass.chunk, std::memory_order_relaxed);
        if (begin >= pass.n) return;
        const std::size_t end = begin + std::min(pass.chunk, pass.n - begin);
        try {
            pass.fn(pass.ctx, begin, end);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(pass.error_mutex);
            if (!pass.error) pass.error = std::current_exception();
            pass.failed.store(true, std::memory_order_relaxed);
        }
    }
}

void* worker_main(void* arg) {
    PoolState& st = *static_cast<PoolState*>(arg);
    try {
        // Every worker is created before the first pass is handed out, so
        // the first generation it must join is 1.
        std::uint32_t seen = 0;
        for (;;) {
            wait_for_change(st.generation, seen, kWorkerWatch);
            if (st.dismissed.load(std::memory_order_acquire)) {
                st.dismissed_left.fetch_add(1, std::memory_order_release);
                return nullptr;  // touches the state no more
            }
            seen = st.generation.load(std::memory_order_acquire);
            work_on(*st.pass.load(std::memory_order_acquire));
            if (st.workers_in_pass.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                st.workers_in_pass.notify_one();
            }
        }
    } catch (const std::exception& error) {
        abort_pool(error.what());
    } catch (...) {
        abort_pool("unknown exception");
    }
}

// Starts the pool on first use; afterwards reports how the start went.
// Runs with st.pass_mutex held.
void ensure_started(PoolState& st) {
    if (st.status == Status::running) return;
    if (st.status == Status::failed) {
        panic(std::string(texts::kPoolNotInitialized) + texts::kPoolAlreadyInitialized + " }");
    }

    const std::size_t processors = default_thread_count();
    const std::size_t count = choose_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                                  std::getenv("RAYON_RS_NUM_CPUS"), processors);

    std::size_t created = 0;
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attr, kStackSize);
        if (error == 0) error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        for (std::size_t k = 0; error == 0 && k < count; ++k) {
            pthread_t thread;
            error = g_thread_creator(&thread, &attr, &worker_main, &st);
            if (error == 0) ++created;
        }
        pthread_attr_destroy(&attr);
    }

    if (error != 0) {
        st.status = Status::failed;
        st.dismissed.store(true, std::memory_order_release);
        st.generation.fetch_add(1, std::memory_order_release);
        st.generation.notify_all();
        while (st.dismissed_left.load(std::memory_order_acquire) != created) sched_yield();
        panic(std::string(texts::kPoolNotInitialized) + texts::kPoolIoError +
              detail::os_error_debug(error) + ") }");
    }
    st.status = Status::running;
    st.caller_watch = count < processors ? kCallerWatchBesideWorkers : kCallerWatch;
    st.threads.store(count, std::memory_order_release);
}

}  // namespace

std::size_t started_threads() noexcept {
    const PoolState* st = g_state.load();
    return st ? st->threads.load(std::memory_order_acquire) : 0;
}

namespace detail {

void set_thread_creator(ThreadCreator creator) noexcept { g_thread_creator = creator; }

void run(std::size_t n, ChunkFn fn, void* ctx) {
    PoolState& st = state();
    const std::lock_guard<std::mutex> serialised(st.pass_mutex);
    ensure_started(st);
    if (n == 0) return;

    const std::size_t threads = st.threads.load(std::memory_order_relaxed);
    Pass pass;
    pass.fn = fn;
    pass.ctx = ctx;
    pass.n = n;
    // About eight chunks per worker: enough to even out uneven threads,
    // few enough that handing them out costs nothing measurable.
    pass.chunk = std::max<std::size_t>(1, n / (8 * threads));

    st.pass.store(&pass, std::memory_order_relaxed);
    st.workers_in_pass.store(static_cast<std::uint32_t>(threads), std::memory_order_relaxed);
    st.generation.fetch_add(1, std::memory_order_release);
    st.generation.notify_all();
    for (std::uint32_t left = st.workers_in_pass.load(std::memory_order_acquire); left != 0;
         left = st.workers_in_pass.load(std::memory_order_acquire)) {
        wait_for_change(st.workers_in_pass, left, st.caller_watch);
    }
    st.pass.store(nullptr, std::memory_order_relaxed);

    if (pass.error) std::rethrow_exception(pass.error);
}

}  // namespace detail

}  // namespace brenmor::pool
