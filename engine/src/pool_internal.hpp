// Internals of the worker pool that its tests reach into.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <pthread.h>

namespace brenmor::pool::detail {

// The function that creates the pool's threads (pthread_create by default).
using ThreadCreator = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Replaces the thread creator of the pool's start. Only for tests, before the
// first parallel pass of the process.
void set_thread_creator(ThreadCreator creator) noexcept;

// The CPU limit of the process's control group: ceil(quota / period), at
// least 1, the smallest over the group and its ancestors; nothing when no
// quota is set or the files cannot be read.
//   cgroup_text:    the contents of /proc/self/cgroup
//   mountinfo_text: the contents of /proc/self/mountinfo (for cgroup v1)
//   root:           prefix put before every file path that is read ("" for
//                   the real file system)
std::optional<std::size_t> cgroup_cpu_limit(std::string_view cgroup_text,
                                            std::string_view mountinfo_text,
                                            const std::string& root);

// Rust's io::Error debug form of an OS error code:
//   Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string os_error_debug(int code);

}  // namespace brenmor::pool::detail
