// The CPU quota of a control group (v1 or v2), from /proc/self/cgroup,
// /proc/self/mountinfo and the group's files under a given root.
#include "cgroup.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace brenmor::pool::detail {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

std::string_view first_line(std::string_view text) { return text.substr(0, text.find('\n')); }

bool contains_word(std::string_view list, std::string_view word) {
    const auto words = split(list, ',');
    return std::find(words.begin(), words.end(), word) != words.end();
}

// A signed decimal number filling the whole text.
std::optional<long long> parse_integer(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::size_t cpus_for(long long quota, long long period) {
    const long long cpus = quota / period + (quota % period != 0 ? 1 : 0);
    return static_cast<std::size_t>(std::max(cpus, 1LL));
}

// Drops the last component of an absolute directory path ("/a/b" -> "/a").
std::string parent_directory(const std::string& dir) {
    const std::size_t at = dir.find_last_of('/');
    if (at == std::string::npos || at == 0) return "/";
    return dir.substr(0, at);
}

// Walks from `dir` up to `top` (inclusive) and keeps the smallest limit that
// `limit_in(directory)` reports.
template <class LimitIn>
std::optional<std::size_t> smallest_limit(std::string dir, const std::string& top,
                                          LimitIn limit_in) {
    std::optional<std::size_t> smallest;
    for (;;) {
        if (const auto limit = limit_in(dir)) {
            if (!smallest || *limit < *smallest) smallest = limit;
        }
        if (dir.size() <= top.size()) return smallest;
        dir = parent_directory(dir);
        if (dir.size() < top.size()) return smallest;
    }
}

std::string join(std::string_view base, std::string_view relative) {
    std::string path(base);
    while (!path.empty() && path.back() == '/') path.pop_back();
    while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
    while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
    if (!relative.empty()) {
        path += '/';
        path += relative;
    }
    return path.empty() ? std::string("/") : path;
}

std::optional<std::size_t> limit_v2(const std::string& root, std::string_view group) {
    const std::string top = join(root, "/sys/fs/cgroup");
    const std::string dir = join(top, group);
    if (!read_file(dir + "/cgroup.controllers")) return std::nullopt;  // not a cgroup2 tree
    return smallest_limit(dir, top, [](const std::string& at) -> std::optional<std::size_t> {
        const auto text = read_file(at + "/cpu.max");
        if (!text) return std::nullopt;
        const auto fields = split(first_line(*text), ' ');
        if (fields.size() < 2) return std::nullopt;
        const auto quota = parse_integer(fields[0]);  // "max" means no quota
        const auto period = parse_integer(fields[1]);
        if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
        return cpus_for(*quota, *period);
    });
}

std::optional<std::size_t> limit_v1(const std::string& root, std::string_view group,
                                    std::string_view mountinfo_text) {
    // The mount of the cgroup v1 hierarchy that carries the cpu controller:
    // "id parent major:minor root mount-point options [tags] - cgroup source super-options".
    for (const std::string_view line : split(mountinfo_text, '\n')) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        const auto fields = split(line.substr(0, dash), ' ');
        const auto tail = split(line.substr(dash + 3), ' ');
        if (fields.size() < 5 || tail.size() < 3 || tail[0] != "cgroup") continue;
        if (!contains_word(tail[2], "cpu")) continue;
        const std::string_view mount_root = fields[3];
        const std::string_view mount_point = fields[4];
        std::string_view relative = group;
        if (mount_root != "/") {
            if (relative.substr(0, mount_root.size()) != mount_root) continue;
            relative.remove_prefix(mount_root.size());
        }
        const std::string top = join(root, mount_point);
        const std::string dir = join(top, relative);
        return smallest_limit(dir, top, [](const std::string& at) -> std::optional<std::size_t> {
            const auto quota_text = read_file(at + "/cpu.cfs_quota_us");
            const auto period_text = read_file(at + "/cpu.cfs_period_us");
            if (!quota_text || !period_text) return std::nullopt;
            const auto quota = parse_integer(first_line(*quota_text));  // -1 means no quota
            const auto period = parse_integer(first_line(*period_text));
            if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
            return cpus_for(*quota, *period);
        });
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> cgroup_cpu_limit(std::string_view cgroup_text,
                                            std::string_view mountinfo_text,
                                            const std::string& root) {
    // "hierarchy-id:controllers:path"; an empty controller list is cgroup v2.
    // A v1 hierarchy with the cpu controller names its controller explicitly
    // and takes precedence.
    std::optional<std::string_view> v1_group;
    std::optional<std::string_view> v2_group;
    for (const std::string_view line : split(cgroup_text, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (controllers.empty()) {
            if (!v2_group) v2_group = path;
        } else if (contains_word(controllers, "cpu")) {
            if (!v1_group) v1_group = path;
        }
    }
    if (v1_group) return limit_v1(root, *v1_group, mountinfo_text);
    if (v2_group) return limit_v2(root, *v2_group);
    return std::nullopt;
}

}  // namespace brenmor::pool::detail
