// Engine speed: the per-wavelength reference against the sweep, in C++.
//
// For one stack, times in alternating rounds
//   reference  transfer_for_wavelength for every index, s then p (the
//              straightforward order);
//   sweep      the engine's sweep over all wavelengths on this thread;
//   calc       transfer_calc, the whole dispatch (the pool from 101
//              wavelengths on, sized by RAYON_NUM_THREADS);
// and prints the medians in nanoseconds per wavelength and medium. Reference
// and sweep run on this thread and are timed by its CPU time, which a busy
// machine disturbs less than the wall clock; transfer_calc, which may wait
// for the pool, by the wall clock. Before timing it checks that the sweep and
// the reference agree bit for bit.
//
// Usage: engine_speed STACKFILE [SECONDS]
// STACKFILE is the stack format of bench/floor.cpp (written by bench/run.py):
// "QFLR", uint64 L, uint64 N, float64 theta, float64 d[L-2], float64 wl[N],
// complex128 n[L][N].
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "sweep.hpp"

namespace {

using brenmor::Complex;
using brenmor::Data;
using brenmor::Transfer;

bool read_stack(const char* path, Data& data) {
    std::ifstream in(path, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    if (!in || std::memcmp(magic, "QFLR", 4) != 0) return false;
    auto get = [&in](void* p, std::size_t bytes) {
        in.read(static_cast<char*>(p), static_cast<std::streamsize>(bytes));
        return static_cast<bool>(in);
    };
    std::uint64_t media = 0;
    std::uint64_t points = 0;
    if (!get(&media, 8) || !get(&points, 8) || !get(&data.theta, 8)) return false;
    if (media < 2 || media > 100000 || points > 100000000) return false;
    data.d.resize(media - 2);
    data.wl.resize(points);
    std::vector<Complex> n(media * points);
    if (!get(data.d.data(), data.d.size() * 8) || !get(data.wl.data(), data.wl.size() * 8) ||
        !get(n.data(), n.size() * 16)) {
        return false;
    }
    data.n = brenmor::Array2<Complex>::row_major(std::move(n), media, points);
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size();
    return m % 2 ? v[m / 2] : 0.5 * (v[m / 2 - 1] + v[m / 2]);
}

bool same_bits(const brenmor::CMatrix2& a, const brenmor::CMatrix2& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STACKFILE [SECONDS]\n", argv[0]);
        return 2;
    }
    Data data;
    if (!read_stack(argv[1], data)) {
        std::fprintf(stderr, "%s: cannot read stack file %s\n", argv[0], argv[1]);
        return 1;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    const std::size_t count = data.wl.size();
    const std::size_t media = data.n.rows();

    std::vector<Transfer> reference(count);
    std::vector<Transfer> swept(count);
    const auto run_reference = [&] {
        for (std::size_t i = 0; i < count; ++i) {
            reference[i].s = brenmor::transfer_for_wavelength(data, i, false);
        }
        for (std::size_t i = 0; i < count; ++i) {
            reference[i].p = brenmor::transfer_for_wavelength(data, i, true);
        }
    };
    const auto run_sweep = [&] {
        brenmor::detail::sweep(data.d, data.n, data.wl, data.theta, 0, count, swept.data());
    };
    double check = 0.0;
    const auto run_calc = [&] {
        const std::vector<Transfer> t = brenmor::transfer_calc(data);
        check += t.empty() ? 0.0 : t.back().s.e[0].re;
    };

    run_reference();
    run_sweep();
    run_calc();  // starts the pool
    for (std::size_t i = 0; i < count; ++i) {
        if (!same_bits(reference[i].s, swept[i].s) || !same_bits(reference[i].p, swept[i].p)) {
            std::fprintf(stderr, "sweep and reference differ at i = %zu\n", i);
            return 1;
        }
    }

    using clock = std::chrono::steady_clock;
    const auto time = [](auto&& fn) {
        const auto t0 = clock::now();
        fn();
        return std::chrono::duration<double>(clock::now() - t0).count();
    };
    const auto thread_seconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    };
    const auto cpu_time = [&](auto&& fn) {
        const double t0 = thread_seconds();
        fn();
        return thread_seconds() - t0;
    };
    std::vector<double> t_reference, t_sweep, t_calc;
    const auto start = clock::now();
    while (t_reference.size() < 3 ||
           std::chrono::duration<double>(clock::now() - start).count() < seconds) {
        t_reference.push_back(cpu_time(run_reference));
        t_sweep.push_back(cpu_time(run_sweep));
        t_calc.push_back(time(run_calc));
        if (t_reference.size() >= 1000) break;
    }
    const double per = 1e9 / static_cast<double>(count * media);
    const double ref = median(t_reference);
    const double sw = median(t_sweep);
    const double calc = median(t_calc);
    std::printf("L = %zu, N = %zu, %zu rounds\n", media, count, t_reference.size());
    std::printf("  reference      %7.1f ns per wavelength and medium (CPU time)\n", ref * per);
    std::printf("  sweep          %7.1f ns per wavelength and medium (CPU time), %.2fx faster\n",
                sw * per, ref / sw);
    std::printf("  transfer_calc  %7.1f ns per wavelength and medium (wall time), %.2fx faster\n",
                calc * per, ref / calc);
    std::printf("  (check %g %g)\n", check, swept.back().s.e[0].re + reference.back().p.e[0].re);
    return 0;
}
