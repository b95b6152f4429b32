// The process-wide worker pool of the engine.
//
// One pool per process, started by the first parallel pass with all of its
// threads at once: detached, unnamed, 2 MiB stacks, never stopped. The calling
// thread never works on a pass; it sleeps until every work item is done. A
// failure thrown by a work item is carried back and rethrown on the caller,
// unchanged, after every worker has left the pass.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

namespace brenmor::pool {

// A thread-count variable: decimal digits, optionally preceded by "+".
// Returns the number (0 meaning "the default"), or nothing when the text is
// not such a number (including one too large to represent).
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The worker count for the given values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullptr when unset) and the default count:
// the first variable if it is a number > 0; if it is 0, the default; if it is
// unset or not a number, the second variable by the same rule; else the
// default. Capped at 255.
std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count);

// The processors available to this process: its CPU affinity, reduced to its
// control group's CPU quota where one is set; else the online processors;
// else 1.
std::size_t default_thread_count();

// The number of worker threads of the started pool, or 0 before the pool has
// been started (or after its start failed).
std::size_t started_threads() noexcept;

// Runs body(begin, end) over [0, n) split into chunks, on the pool's workers,
// and returns when all are done. Starts the pool on first use. Throws
// brenmor::Panic "The global thread pool has not been initialized.: ..." when
// the pool cannot be started (then and on every later call). Passes of
// several calling threads run one after another; a body must not start a
// pass of its own (it would wait for itself).
template <class Body>
void parallel_for(std::size_t n, Body&& body);

namespace detail {
using ChunkFn = void (*)(void* ctx, std::size_t begin, std::size_t end);
void run(std::size_t n, ChunkFn fn, void* ctx);
}  // namespace detail

template <class Body>
void parallel_for(std::size_t n, Body&& body) {
    detail::run(
        n,
        [](void* ctx, std::size_t begin, std::size_t end) {
            (*static_cast<std::remove_reference_t<Body>*>(ctx))(begin, end);
        },
        const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace brenmor::pool
