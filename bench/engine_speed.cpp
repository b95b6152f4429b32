// Engine speed: the per-wavelength reference against the kernel, in C++.
//
// For one stack, times in interleaved rounds
//   reference      transfer_for_wavelength for every index, s then p (the
//                  reference operation order);
//   <variant>      the kernel variant over all wavelengths on this thread,
//                  both full matrices (what the engine stores);
//   calc           transfer_calc, the whole dispatch with the chosen variant
//                  (the pool from 101 wavelengths on, sized by
//                  RAYON_NUM_THREADS);
// for every variant this processor runs, and prints the medians in
// nanoseconds per wavelength and medium. The single-thread rounds are timed by
// the thread's CPU time, which a busy machine disturbs less than the wall
// clock; transfer_calc, which may wait for the pool, by the wall clock.
// Before timing it checks that every variant agrees with the reference.
//
// Usage: engine_speed STACKFILE [SECONDS]
// STACKFILE is the stack file that bench/run.py writes (bench/stack_file.hpp).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "kernel/variants.hpp"
#include "transfers.hpp"
#include "stack_file.hpp"

namespace {

using brenmor::Complex;
using brenmor::Data;
using brenmor::Transfer;

// The stack of the file at path as the engine's record; false if the file
// cannot be read (see stack_file.hpp).
bool read_stack(const char* path, Data& data) {
    quelva_bench::StackFile file;
    if (!quelva_bench::read_stack_file(path, file)) return false;
    data.theta = file.theta;
    data.d = std::move(file.d);
    data.wl = std::move(file.wl);
    std::vector<Complex> n(file.n.size());
    std::transform(file.n.begin(), file.n.end(), n.begin(),
                   [](std::complex<double> z) { return Complex{z.real(), z.imag()}; });
    data.n = brenmor::Array2<Complex>::row_major(std::move(n), file.media, file.points);
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size();
    return m % 2 ? v[m / 2] : 0.5 * (v[m / 2 - 1] + v[m / 2]);
}

// The largest error of got * e^exponent against the finite matrix expected,
// relative to expected's largest element (0 when expected is not finite).
double relative_error(const brenmor::CMatrix2& got, double exponent,
                      const brenmor::CMatrix2& expected) {
    const double scale = std::exp(-exponent);
    double largest = 0.0;
    double error = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::complex<double> e{expected.e[k].re * scale, expected.e[k].im * scale};
        const std::complex<double> g{got.e[k].re, got.e[k].im};
        if (!std::isfinite(std::abs(e))) return 0.0;
        largest = std::max(largest, std::abs(e));
        error = std::max(error, std::abs(g - e));
    }
    return largest > 0.0 ? error / largest : error;
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
    const std::vector<const brenmor::kernel::Variant*> variants =
        brenmor::kernel::supported_variants();

    std::vector<Transfer> reference(count);
    std::vector<Transfer> computed(count);
    const auto run_reference = [&] {
        for (std::size_t i = 0; i < count; ++i) {
            reference[i].s = brenmor::transfer_for_wavelength(data, i, brenmor::Polarisation::s);
        }
        for (std::size_t i = 0; i < count; ++i) {
            reference[i].p = brenmor::transfer_for_wavelength(data, i, brenmor::Polarisation::p);
        }
    };
    const auto run_variant = [&](const brenmor::kernel::Variant& variant) {
        brenmor::detail::compute_range(variant, data.d, data.n, data.wl, data.theta, 0, count,
                                       computed.data());
    };
    double check = 0.0;
    const auto run_calc = [&] {
        const std::vector<Transfer> t = brenmor::transfer_calc(data);
        check += t.empty() ? 0.0 : t.back().s.e[0].re;
    };

    run_reference();
    run_calc();  // starts the pool
    for (const brenmor::kernel::Variant* variant : variants) {
        run_variant(*variant);
        double worst = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            worst = std::max({worst, relative_error(computed[i].s, computed[i].s_exponent, reference[i].s),
                              relative_error(computed[i].p, computed[i].p_exponent, reference[i].p)});
        }
        std::printf("  %-8s largest difference to the reference %.2g of the largest element\n",
                    variant->name, worst);
        if (!(worst < 1e-9)) {
            std::fprintf(stderr, "%s and the reference differ\n", variant->name);
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
    std::vector<double> t_reference, t_calc;
    std::vector<std::vector<double>> t_full(variants.size());
    const auto start = clock::now();
    while (t_reference.size() < 3 ||
           std::chrono::duration<double>(clock::now() - start).count() < seconds) {
        t_reference.push_back(cpu_time(run_reference));
        for (std::size_t v = 0; v < variants.size(); ++v) {
            t_full[v].push_back(cpu_time([&] { run_variant(*variants[v]); }));
        }
        t_calc.push_back(time(run_calc));
        if (t_reference.size() >= 1000) break;
    }
    const double per = 1e9 / static_cast<double>(count * media);
    const double ref = median(t_reference);
    std::printf("L = %zu, N = %zu, %zu rounds, ns per wavelength and medium (medians)\n", media,
                count, t_reference.size());
    std::printf("  reference        %7.1f  (CPU time)\n", ref * per);
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const double full = median(t_full[v]);
        std::printf("  %-8s         %7.1f  (CPU time), %5.2fx the reference\n", variants[v]->name,
                    full * per, ref / full);
    }
    const double calc = median(t_calc);
    std::printf("  transfer_calc    %7.1f  (wall time, variant %s), %.2fx the reference\n",
                calc * per, brenmor::kernel::chosen_variant().name, ref / calc);
    std::printf("  (check %g %g)\n", check, computed.back().s.e[0].re + reference.back().p.e[0].re);
    return 0;
}
