// How many worker threads the engine's pool starts.
//
// The count comes from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the
// processors available to the process. Parsing and choosing are pure
// functions; only default_thread_count() looks at the system.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace brenmor::pool {

// The most worker threads the pool starts.
inline constexpr std::size_t kMaxWorkerThreads = 255;

// A thread-count variable: decimal digits, optionally preceded by "+".
// Returns the number capped at kMaxWorkerThreads, whatever its length
// (0 meaning "the default"), or nothing when the text is not such a number.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The worker count for the given values of "RAYON_NUM_THREADS" and
// "RAYON_RS_NUM_CPUS" (nullptr when unset) and the default count:
// the first variable if it is a number > 0; if it is 0, the default; if it is
// unset or not a number, the second variable by the same rule; else the
// default. Capped at kMaxWorkerThreads.
std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count);

// The processors available to this process: its CPU affinity, reduced to its
// control group's CPU quota where one is set; else the online processors;
// else 1.
std::size_t default_thread_count();

}  // namespace brenmor::pool
