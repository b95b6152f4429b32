// The worker pool: the threads it starts, its passes, its start failures,
// fork, and the parallel path giving the same bits as the sequential one.
//
// Tests that depend on the pool's start run in a forked child, whose first
// parallel pass starts a pool of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include "pool.hpp"
#include "thread_count.hpp"
#include "pool_internal.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Helpers for the child processes

// The rendering of an OS error up to its message ("Os { code: 12, kind:
// OutOfMemory"), completed by the C library's own strerror text: glibc and
// musl word some errors differently ("Cannot allocate memory", "Out of
// memory").
std::string os_error(const char* code_and_kind, int code) {
    return std::string(code_and_kind) + ", message: \"" + std::strerror(code) + "\" }";
}

std::size_t task_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// ThreadSanitizer starts a helper thread of its own at a process's first
// thread creation, the first after a fork included. Creating and joining one
// thread before a test takes its baseline puts that helper in the baseline.
// Only under ThreadSanitizer: elsewhere the joined thread may still be listed
// in /proc/self/task for a moment (qemu-user), which would spoil the baseline.
#if defined(__SANITIZE_THREAD__)
#define BRENMOR_TESTS_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRENMOR_TESTS_UNDER_TSAN 1
#endif
#endif
void start_sanitizer_threads() {
#if defined(BRENMOR_TESTS_UNDER_TSAN)
    std::thread([] {}).join();
#endif
}

// Waits up to five seconds for the process to have `expected` threads.
bool wait_for_tasks(std::size_t expected) {
    for (int k = 0; k < 500; ++k) {
        if (task_count() == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void set_thread_env(const char* num_threads, const char* num_cpus) {
    if (num_threads) {
        setenv("RAYON_NUM_THREADS", num_threads, 1);
    } else {
        unsetenv("RAYON_NUM_THREADS");
    }
    if (num_cpus) {
        setenv("RAYON_RS_NUM_CPUS", num_cpus, 1);
    } else {
        unsetenv("RAYON_RS_NUM_CPUS");
    }
}

#define CHILD_CHECK(condition)                                                            \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                                     \
            return 1;                                                                     \
        }                                                                                 \
    } while (0)

#define CHILD_CHECK_THROWS_PANIC(expression) \
    do {                                     \
        bool thrown = false;                 \
        try {                                \
            (void)(expression);              \
        } catch (const Panic&) {             \
            thrown = true;                   \
        }                                    \
        CHILD_CHECK(thrown);                 \
    } while (0)

// ---------------------------------------------------------------------------
// Start and size

struct CountCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;  // 0: the default count
};

void PrintTo(const CountCase& c, std::ostream* os) {
    *os << (c.num_threads ? c.num_threads : "unset") << "," << (c.num_cpus ? c.num_cpus : "unset");
}

class PoolSize : public ::testing::TestWithParam<CountCase> {};

TEST_P(PoolSize, StartsAllThreadsAtTheFirstParallelPass) {
    const CountCase c = GetParam();
    const int status = run_in_child([&] {
        set_thread_env(c.num_threads, c.num_cpus);
        const std::size_t expected = c.expected ? c.expected : pool::default_thread_count();
        // One thread after fork (plus whatever a sanitizer runs on its own).
        start_sanitizer_threads();
        const std::size_t baseline = task_count();
        // 100 wavelengths stay on the calling thread and start nothing.
        Data small = dispersive_stack(2, 100);
        get_r_power_vec(small);
        CHILD_CHECK(pool::started_threads() == 0);
        CHILD_CHECK(task_count() == baseline);
        Data large = dispersive_stack(2, 101);
        get_r_power_vec(large);
        CHILD_CHECK(pool::started_threads() == expected);
        CHILD_CHECK(task_count() == baseline + expected);
        // Later passes reuse the pool, whatever the environment says now.
        setenv("RAYON_NUM_THREADS", "9", 1);
        Data again = dispersive_stack(2, 300);
        get_t_power_vec(again);
        CHILD_CHECK(pool::started_threads() == expected);
        CHILD_CHECK(task_count() == baseline + expected);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Environment, PoolSize,
                         ::testing::Values(CountCase{"3", nullptr, 3}, CountCase{"+1", "4", 1},
                                           CountCase{"0", "5", 0}, CountCase{"many", "2", 2},
                                           CountCase{nullptr, "4", 4},
                                           CountCase{nullptr, nullptr, 0},
                                           CountCase{"300", nullptr, 255}));

// Records the attributes that the pool passes when it creates its threads.
std::atomic<int> created_threads{0};
std::atomic<bool> attributes_wrong{false};

int recording_creator(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                      void* arg) {
    std::size_t size = 0;
    int detach = 0;
    if (pthread_attr_getstacksize(attr, &size) != 0 || size != 2097152) attributes_wrong = true;
    if (pthread_attr_getdetachstate(attr, &detach) != 0 || detach != PTHREAD_CREATE_DETACHED) {
        attributes_wrong = true;
    }
    ++created_threads;
    return pthread_create(thread, attr, start, arg);
}

TEST(Pool, WorkersAreDetachedUnnamedWith2MiBStacksAndTheCallerNeverWorks) {
    const int status = run_in_child([] {
        set_thread_env("3", nullptr);
        pool::detail::set_thread_creator(&recording_creator);
        const pthread_t caller = pthread_self();
        char caller_name[32] = {};
        pthread_getname_np(caller, caller_name, sizeof caller_name);

        std::mutex mutex;
        std::set<pthread_t> workers;
        std::atomic<bool> caller_worked{false};
        std::atomic<bool> wrong_stack{false};
        std::atomic<bool> not_detached{false};
        std::atomic<bool> named{false};
        pool::parallel_for(3000, [&](std::size_t, std::size_t) {
            const pthread_t self = pthread_self();
            if (pthread_equal(self, caller)) caller_worked = true;
            pthread_attr_t attr;
            if (pthread_getattr_np(self, &attr) == 0) {
                std::size_t size = 0;
                int detach = 0;
                pthread_attr_getstacksize(&attr, &size);
                pthread_attr_getdetachstate(&attr, &detach);
                // glibc may hand a thread a larger cached stack than it asked for.
                if (size < 2097152) wrong_stack = true;
                if (detach != PTHREAD_CREATE_DETACHED) not_detached = true;
                pthread_attr_destroy(&attr);
            }
            char name[32] = {};
            pthread_getname_np(self, name, sizeof name);
            if (std::string(name) != caller_name) named = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            const std::lock_guard<std::mutex> lock(mutex);
            workers.insert(self);
        });
        CHILD_CHECK(created_threads == 3);
        CHILD_CHECK(!attributes_wrong);
        CHILD_CHECK(!caller_worked);
        CHILD_CHECK(!wrong_stack);
        CHILD_CHECK(!not_detached);
        CHILD_CHECK(!named);
        CHILD_CHECK(workers.size() >= 1 && workers.size() <= 3);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(Pool, EmptyPassReturnsAtOnce) {
    const int status = run_in_child([] {
        set_thread_env("2", nullptr);
        std::atomic<int> calls{0};
        pool::parallel_for(0, [&](std::size_t, std::size_t) { ++calls; });
        CHILD_CHECK(calls == 0);
        std::vector<int> seen(1, 0);
        pool::parallel_for(1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++seen[i];
        });
        CHILD_CHECK(seen[0] == 1);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(Pool, EveryIndexRunsExactlyOnce) {
    const int status = run_in_child([] {
        set_thread_env("4", nullptr);
        for (const std::size_t n : {1u, 7u, 31u, 32u, 33u, 101u, 1000u, 100003u}) {
            std::vector<std::atomic<int>> hits(n);
            pool::parallel_for(n, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
            });
            for (std::size_t i = 0; i < n; ++i) CHILD_CHECK(hits[i].load() == 1);
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Failures

TEST(Pool, WorkerFailureIsRethrownAfterEveryWorkerHasLeft) {
    const int status = run_in_child([] {
        set_thread_env("4", nullptr);
        std::atomic<int> in_flight{0};
        std::atomic<int> finished{0};
        try {
            pool::parallel_for(64, [&](std::size_t begin, std::size_t) {
                ++in_flight;
                if (begin == 0) {
                    --in_flight;
                    panic("first failure");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ++finished;
                --in_flight;
            });
            return 2;
        } catch (const Panic& e) {
            CHILD_CHECK(e.message() == "first failure");
            CHILD_CHECK(in_flight.load() == 0);
        }
        // The remaining work of the failed pass was skipped...
        CHILD_CHECK(finished.load() < 31);  // 32 chunks of 2, the first one failed
        // ...and the pool keeps working.
        std::atomic<std::size_t> sum{0};
        pool::parallel_for(1000, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) sum += i;
        });
        CHILD_CHECK(sum.load() == 999u * 1000u / 2u);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(Pool, ExceptionsOtherThanPanicsTravelUnchanged) {
    const int status = run_in_child([] {
        set_thread_env("2", nullptr);
        try {
            pool::parallel_for(10, [](std::size_t, std::size_t) {
                throw std::runtime_error("plain failure");
            });
            return 2;
        } catch (const std::runtime_error& e) {
            CHILD_CHECK(std::string(e.what()) == "plain failure");
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Thread creators for the start-failure tests: the first `allowed` calls
// create real threads, the next fails with `failure_code`.
int allowed_creations = 0;
int failure_code = 0;

int failing_creator(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                    void* arg) {
    if (allowed_creations-- > 0) return pthread_create(thread, attr, start, arg);
    return failure_code;
}

struct StartFailureCase {
    int allowed;
    int code;
    const char* code_and_kind;
};

void PrintTo(const StartFailureCase& c, std::ostream* os) {
    *os << "errno " << c.code << " after " << c.allowed << " threads";
}

class PoolStartFailure : public ::testing::TestWithParam<StartFailureCase> {};

TEST_P(PoolStartFailure, FailsThisAndEveryLaterParallelPass) {
    const StartFailureCase c = GetParam();
    const int status = run_in_child([&] {
        set_thread_env("4", nullptr);
        allowed_creations = c.allowed;
        failure_code = c.code;
        start_sanitizer_threads();
        pool::detail::set_thread_creator(&failing_creator);
        const std::size_t baseline = task_count();
        const std::string prefix =
            "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
        Data data = dispersive_stack(2, 101);
        try {
            get_r_power_vec(data);
            return 2;
        } catch (const Panic& e) {
            const std::string expected =
                prefix + "IOError(" + os_error(c.code_and_kind, c.code) + ") }";
            if (e.message() != expected) {
                std::fprintf(stderr, "got: %s\n", e.what());
                return 3;
            }
        }
        CHILD_CHECK(data.transfer_cache.get() == nullptr);
        CHILD_CHECK(pool::started_threads() == 0);
        // The threads created before the failure go away.
        CHILD_CHECK(wait_for_tasks(baseline));
        // Not retried, even with a working thread creator.
        pool::detail::set_thread_creator(&pthread_create);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                get_t_power_vec(data);
                return 4;
            } catch (const Panic& e) {
                CHILD_CHECK(e.message() == prefix + "GlobalPoolAlreadyInitialized }");
            }
        }
        CHILD_CHECK(pool::started_threads() == 0);
        // The calling thread still computes up to 100 wavelengths.
        Data small = dispersive_stack(2, 100);
        CHILD_CHECK(get_r_power_vec(small).size() == 100);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PoolStartFailure,
    ::testing::Values(StartFailureCase{0, EAGAIN, "Os { code: 11, kind: WouldBlock"},
                      StartFailureCase{2, EAGAIN, "Os { code: 11, kind: WouldBlock"},
                      StartFailureCase{1, ENOMEM, "Os { code: 12, kind: OutOfMemory"},
                      StartFailureCase{3, EPERM, "Os { code: 1, kind: PermissionDenied"}));

std::size_t virtual_memory_size() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmSize:") {
            std::size_t kib = 0;
            in >> kib;
            return kib * 1024;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

// A real failure of pthread_create: no address space left for a 2 MiB stack.
// (A child forked after the parent ran threads inherits their stacks, which
// glibc keeps in a cache and hands to new threads without mapping: the start
// then succeeds, and the test cannot provoke the failure.)
constexpr int kStackWasCached = 77;

TEST(Pool, StartFailsWhenNoStackCanBeMapped) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve address space of their own";
#else
    const int status = run_in_child([] {
        set_thread_env("2", nullptr);
        Data data = dispersive_stack(2, 101);
        std::string message;
        {
            const std::size_t in_use = virtual_memory_size();
            CHILD_CHECK(in_use > 0);
            const rlimit limit{in_use + (1u << 20), in_use + (1u << 20)};
            CHILD_CHECK(setrlimit(RLIMIT_AS, &limit) == 0);
            try {
                get_r_power_vec(data);
            } catch (const Panic& e) {
                message = e.message();
            }
        }
        if (message.empty()) return kStackWasCached;
        CHILD_CHECK(message ==
                    "The global thread pool has not been initialized.: ThreadPoolBuildError { "
                    "kind: IOError(" +
                        os_error("Os { code: 11, kind: WouldBlock", EAGAIN) + ") }");
        return 0;
    });
    if (status == kStackWasCached) {
        GTEST_SKIP() << "this process started threads before the fork, and the C library gave "
                        "the child's workers their cached stacks without mapping new ones; the "
                        "test needs a process of its own (as ctest runs it)";
    }
    EXPECT_EQ(status, 0);
#endif
}

// ---------------------------------------------------------------------------
// Forking

TEST(Pool, ForkedChildStartsAFreshPool) {
    const int status = run_in_child([] {
        set_thread_env("2", nullptr);
        Data data = dispersive_stack(3, 400);
        const std::vector<double> expected = get_r_power_vec(data);
        CHILD_CHECK(pool::started_threads() == 2);
        // The grandchild has no worker threads; without a fresh pool its
        // first parallel pass would wait forever (the watchdog would fire).
        const int grandchild = run_in_child(
            [&] {
                setenv("RAYON_NUM_THREADS", "3", 1);
                const std::size_t baseline = task_count();
                CHILD_CHECK(pool::started_threads() == 0);
                Data copy = copy_stack(data);
                CHILD_CHECK(same_bits(get_r_power_vec(copy), expected));
                CHILD_CHECK(pool::started_threads() == 3);
                CHILD_CHECK(task_count() == baseline + 3);
                return 0;
            },
            20);
        CHILD_CHECK(grandchild == 0);
        // The parent's pool is unaffected.
        Data again = copy_stack(data);
        CHILD_CHECK(same_bits(get_r_power_vec(again), expected));
        CHILD_CHECK(pool::started_threads() == 2);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(Pool, ChildOfAProcessWhosePoolFailedDoesNotRetry) {
    const int status = run_in_child([] {
        set_thread_env("2", nullptr);
        allowed_creations = 1;
        failure_code = EAGAIN;
        pool::detail::set_thread_creator(&failing_creator);
        Data data = dispersive_stack(2, 150);
        CHILD_CHECK_THROWS_PANIC(get_r_power_vec(data));
        pool::detail::set_thread_creator(&pthread_create);
        const int grandchild = run_in_child(
            [&] {
                try {
                    get_r_power_vec(data);
                    return 2;
                } catch (const Panic& e) {
                    CHILD_CHECK(e.message() ==
                                "The global thread pool has not been initialized.: "
                                "ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }");
                }
                return 0;
            },
            20);
        CHILD_CHECK(grandchild == 0);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Same bits on every path

// Every entry computed on this thread, in pieces of at most 100 wavelengths.
std::vector<Transfer> sequential_transfers(const Data& data) {
    std::vector<Transfer> out;
    const std::size_t count = data.wl.size();
    for (std::size_t first = 0; first < count; first += 100) {
        const std::size_t last = std::min(count, first + 100);
        Data piece;
        piece.d = data.d;
        std::vector<Complex> storage;
        for (std::size_t j = 0; j < data.n.rows(); ++j) {
            for (std::size_t i = first; i < last; ++i) storage.push_back(data.n(j, i));
        }
        piece.n = Array2<Complex>::row_major(std::move(storage), data.n.rows(), last - first);
        piece.wl.assign(data.wl.begin() + static_cast<std::ptrdiff_t>(first),
                        data.wl.begin() + static_cast<std::ptrdiff_t>(last));
        piece.theta = data.theta;
        const std::vector<Transfer> part = transfer_calc(piece);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// The spectra of `data` assembled from pieces of at most 100 wavelengths,
// each computed on the calling thread.
std::pair<std::vector<double>, std::vector<double>> spectra_in_small_pieces(const Data& data) {
    std::vector<double> r, t;
    const std::size_t count = data.wl.size();
    for (std::size_t first = 0; first < count; first += 100) {
        const std::size_t last = std::min(count, first + 100);
        Data piece;
        piece.d = data.d;
        std::vector<Complex> storage;
        for (std::size_t j = 0; j < data.n.rows(); ++j) {
            for (std::size_t i = first; i < last; ++i) storage.push_back(data.n(j, i));
        }
        piece.n = Array2<Complex>::row_major(std::move(storage), data.n.rows(), last - first);
        piece.wl.assign(data.wl.begin() + static_cast<std::ptrdiff_t>(first),
                        data.wl.begin() + static_cast<std::ptrdiff_t>(last));
        piece.theta = data.theta;
        piece.phi = data.phi;
        const std::vector<double> pr = get_r_power_vec(piece);
        const std::vector<double> pt = get_t_power_vec(piece);
        r.insert(r.end(), pr.begin(), pr.end());
        t.insert(t.end(), pt.begin(), pt.end());
    }
    return {r, t};
}

class SameBitsOnEveryPath : public ::testing::TestWithParam<const char*> {};

TEST_P(SameBitsOnEveryPath, WhateverTheThreadCount) {
    const char* threads = GetParam();
    const int status = run_in_child([&] {
        set_thread_env(threads, nullptr);
        for (const std::size_t count : {100u, 101u, 5000u}) {
            const Data data = dispersive_stack(7, count, 3, 0.9, 0.6);
            const std::vector<Transfer> got = transfer_calc(data);
            const std::vector<Transfer> expected = sequential_transfers(data);
            CHILD_CHECK(got.size() == count);
            for (std::size_t i = 0; i < count; ++i) {
                CHILD_CHECK(same_bits(got[i], expected[i]));
                CHILD_CHECK(rounding_mismatch(got[i].s, got[i].s_exponent,
                                              transfer_for_wavelength(data, i, Polarisation::s), 1e-13) == "");
                CHILD_CHECK(rounding_mismatch(got[i].p, got[i].p_exponent,
                                              transfer_for_wavelength(data, i, Polarisation::p), 1e-13) == "");
            }

            Data record = copy_stack(data);
            const std::vector<double> r = get_r_power_vec(record);
            const std::vector<double> t = get_t_power_vec(record);
            const auto [r_pieces, t_pieces] = spectra_in_small_pieces(data);
            CHILD_CHECK(same_bits(r, r_pieces));
            CHILD_CHECK(same_bits(t, t_pieces));
        }
        CHILD_CHECK(pool::started_threads() == pool::choose_thread_count(
                                                   threads, nullptr, pool::default_thread_count()));
        return 0;
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Threads, SameBitsOnEveryPath, ::testing::Values("1", "2", "3", "7"));

TEST(Pool, ConcurrentCallersGetTheirOwnResults) {
    std::vector<Data> stacks;
    std::vector<std::vector<double>> expected;
    for (std::size_t k = 0; k < 4; ++k) {
        stacks.push_back(dispersive_stack(2 + k, 300 + 50 * k, 0, 0.1 * static_cast<double>(k)));
        expected.push_back(spectra_in_small_pieces(stacks.back()).first);
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (std::size_t k = 0; k < 4; ++k) {
        callers.emplace_back([&, k] {
            for (int round = 0; round < 15; ++round) {
                Data record = copy_stack(stacks[k]);
                if (!same_bits(get_r_power_vec(record), expected[k])) ++mismatches;
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GE(pool::started_threads(), 1u);
}

}  // namespace
}  // namespace brenmor::testing
