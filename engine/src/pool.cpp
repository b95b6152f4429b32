// The process-wide worker pool.
//
// One pool per process, started by the first parallel pass: every thread is
// created at once, detached, unnamed, with a 2 MiB stack, and none is ever
// stopped. A pass hands out its index range in chunks through an atomic
// counter; the calling thread only sleeps until every worker has left the
// pass. Passes of several calling threads run one after another.
//
// A child process forked after the start has no workers; its first parallel
// pass starts a fresh pool instead of waiting forever for the parent's.
#include "brenmor/pool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "brenmor/brenmor.hpp"
#include "pool_internal.hpp"

namespace brenmor::pool {

// ---------------------------------------------------------------------------
// Thread count

std::optional<std::size_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(ch - '0');
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::size_t choose_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                std::size_t default_count) {
    constexpr std::size_t kMaxThreads = 255;
    std::size_t count = default_count;
    const auto first = rayon_num_threads ? parse_thread_count(rayon_num_threads) : std::nullopt;
    if (first) {
        if (*first > 0) count = *first;
    } else {
        const auto second =
            rayon_rs_num_cpus ? parse_thread_count(rayon_rs_num_cpus) : std::nullopt;
        if (second && *second > 0) count = *second;
    }
    return std::min(count, kMaxThreads);
}

namespace detail {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

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

namespace {

// GNU strerror_r returns the text; the XSI form returns 0 and fills the buffer.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_debug(int code) {
    const char* kind = "Uncategorized";
    switch (code) {
        case EAGAIN: kind = "WouldBlock"; break;
        case ENOMEM: kind = "OutOfMemory"; break;
        case EPERM:
        case EACCES: kind = "PermissionDenied"; break;
        case EINVAL: kind = "InvalidInput"; break;
        default: break;
    }
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string message = "Os { code: " + std::to_string(code) + ", kind: " + kind +
                          ", message: \"";
    for (const char* at = text; *at; ++at) {
        if (*at == '"' || *at == '\\') message += '\\';
        message += *at;
    }
    message += "\" }";
    return message;
}

}  // namespace detail

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
    const auto cgroup_text = []() -> std::string {
        std::ifstream in("/proc/self/cgroup");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    const auto mountinfo_text = []() -> std::string {
        std::ifstream in("/proc/self/mountinfo");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    if (const auto limit = detail::cgroup_cpu_limit(cgroup_text, mountinfo_text, "")) {
        count = std::min(count, *limit);
    }
    return count;
}

// ---------------------------------------------------------------------------
// The pool

namespace {

constexpr std::size_t kStackSize = 2 * 1024 * 1024;
constexpr const char* kNotInitialized =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

detail::ThreadCreator g_thread_creator = &pthread_create;

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

    std::mutex mutex;  // guards the members below
    std::condition_variable work_ready;  // workers wait here for a pass
    std::condition_variable pass_done;   // the caller waits here for the workers
    Status status = Status::not_started;
    bool dismissed = false;  // a failed start sends the threads already created away
    std::uint64_t generation = 0;  // counts the passes handed out
    Pass* pass = nullptr;
    std::size_t workers_in_pass = 0;

    std::atomic<std::size_t> threads{0};  // set once the start has succeeded
};

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
        std::unique_lock<std::mutex> lock(st.mutex);
        // Every worker is created before the first pass is handed out.
        std::uint64_t seen = 0;
        for (;;) {
            st.work_ready.wait(lock, [&] { return st.dismissed || st.generation != seen; });
            if (st.dismissed) return nullptr;
            seen = st.generation;
            Pass& pass = *st.pass;
            lock.unlock();
            work_on(pass);
            lock.lock();
            if (--st.workers_in_pass == 0) st.pass_done.notify_one();
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
        panic(std::string(kNotInitialized) + "GlobalPoolAlreadyInitialized }");
    }

    const std::size_t count = choose_thread_count(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), default_thread_count());

    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attr, kStackSize);
        if (error == 0) error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        for (std::size_t k = 0; error == 0 && k < count; ++k) {
            pthread_t thread;
            error = g_thread_creator(&thread, &attr, &worker_main, &st);
        }
        pthread_attr_destroy(&attr);
    }

    if (error != 0) {
        st.status = Status::failed;
        {
            const std::lock_guard<std::mutex> lock(st.mutex);
            st.dismissed = true;
        }
        st.work_ready.notify_all();
        panic(std::string(kNotInitialized) + "IOError(" + detail::os_error_debug(error) + ") }");
    }
    st.status = Status::running;
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

    std::unique_lock<std::mutex> lock(st.mutex);
    st.pass = &pass;
    st.workers_in_pass = threads;
    ++st.generation;
    st.work_ready.notify_all();
    st.pass_done.wait(lock, [&] { return st.workers_in_pass == 0; });
    st.pass = nullptr;
    lock.unlock();

    if (pass.error) std::rethrow_exception(pass.error);
}

}  // namespace detail

}  // namespace brenmor::pool
