// The CPU quota of the process's control group, read from a file tree.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brenmor::pool::detail {

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

// The whole contents of a file, or nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

}  // namespace brenmor::pool::detail
