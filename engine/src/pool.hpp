// The process-wide worker pool of the engine.
//
// One pool per process, started by the first parallel pass with all of its
// threads at once: detached, unnamed, 2 MiB stacks, never stopped. The calling
// thread never works on a pass; it sleeps until every work item is done. A
// failure thrown by a work item is carried back and rethrown on the caller,
// unchanged, after every worker has left the pass. How many threads it
// starts: thread_count.hpp.
#pragma once

#include <cstddef>
#include <type_traits>

namespace brenmor::pool {

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
