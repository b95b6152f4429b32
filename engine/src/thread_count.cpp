// The worker count: the two environment variables, parsed as pure text, and
// the default from the process's CPU affinity and control-group quota.
#include "thread_count.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#include <sched.h>
#include <unistd.h>

#include "cgroup.hpp"

namespace brenmor::pool {

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    // Every number above the cap means the cap, however many digits it has:
    // the running value stops growing one past the cap, so it never wraps
    // and the answer is the same for any width of size_t.
    std::size_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        value = std::min(value * 10 + static_cast<std::size_t>(ch - '0'), kMaxWorkerThreads + 1);
    }
    return std::min(value, kMaxWorkerThreads);
}

std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count) {
    std::size_t count = default_count;
    const auto first = rayon_num_threads ? parse_thread_count(rayon_num_threads) : std::nullopt;
    if (first) {
        if (*first > 0) count = *first;
    } else {
        const auto second =
            rayon_rs_num_cpus ? parse_thread_count(rayon_rs_num_cpus) : std::nullopt;
        if (second && *second > 0) count = *second;
    }
    return std::min(count, kMaxWorkerThreads);
}

namespace {

std::size_t affinity_count() {
    for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return count > 0 ? static_cast<std::size_t>(count) : 0;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) return 0;  // EINVAL: the set is too small for this machine
    }
    return 0;
}

}  // namespace

std::size_t default_thread_count() {
    std::size_t count = affinity_count();
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (count == 0) return 1;
    const std::string cgroup_text = detail::read_file("/proc/self/cgroup").value_or("");
    const std::string mountinfo_text = detail::read_file("/proc/self/mountinfo").value_or("");
    if (const auto limit = detail::cgroup_cpu_limit(cgroup_text, mountinfo_text, "")) {
        count = std::min(count, *limit);
    }
    return count;
}

}  // namespace brenmor::pool
