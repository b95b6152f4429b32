// The floor of the transfer-matrix sweep: a timed loop that makes only the
// C-library calls that the bit-exact algorithm cannot avoid, on the arguments
// of a real stack, and nothing of the complex divisions and matrix products.
//
//   per medium and wavelength: hypot, atan2, sqrt, sin and cos (the principal
//     square root of N^2 - beta^2 in polar form);
//   per layer and wavelength:  two exp and one sin/cos pair (the phase factors
//     exp(+-i k h) share one sine/cosine evaluation).
//
// The stack comes from a file written by bench/run.py (see stack_file.hpp). All
// arguments are computed before the clock starts; the loop reads them from
// memory in the order of a per-wavelength sweep and sums every result into
// values that are printed, so the compiler can drop none of the calls.
//
// Two variants are timed:
//   "all"    every medium takes the general (polar) square root, the count
//            the benchmark's target refers to;
//   "branch" a medium whose N^2 - beta^2 has a zero real or imaginary part
//            (a lossless medium at a real angle) takes the one-sqrt branch of
//            the algorithm, as the real sweep does.
//
// Usage: quelva_floor STACKFILE [SECONDS] [MIN_REPEATS]
// Prints one JSON object on standard output.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stack_file.hpp"

namespace {

using Stack = quelva_bench::StackFile;

// Arguments of the calls, laid out wavelength by wavelength.
struct Args {
    std::vector<double> zx, zy;     // N^2 - beta^2 per (wavelength, medium)
    std::vector<double> ex, ph;     // -Im(k) h and Re(k) h per (wavelength, layer)
    std::size_t media = 0, layers = 0, points = 0;
    std::size_t general = 0;        // media taking the polar square root
};

Args prepare(const Stack& s) {
    Args a;
    a.media = s.media;
    a.layers = s.media - 2;
    a.points = s.points;
    a.zx.resize(a.media * a.points);
    a.zy.resize(a.media * a.points);
    a.ex.resize(a.layers * a.points);
    a.ph.resize(a.layers * a.points);
    const double u = std::sin(s.theta);
    const double two_pi = 6.283185307179586;
    for (std::size_t i = 0; i < a.points; ++i) {
        const std::complex<double> n0 = s.n[i];
        const std::complex<double> beta(u * n0.real(), u * n0.imag());
        for (std::size_t j = 0; j < a.media; ++j) {
            const std::complex<double> nj = s.n[j * a.points + i];
            const std::complex<double> z = nj * nj - beta * beta;
            a.zx[i * a.media + j] = z.real();
            a.zy[i * a.media + j] = z.imag();
            if (z.real() != 0.0 && z.imag() != 0.0) ++a.general;
            if (j >= 1 && j + 1 < a.media) {
                const std::complex<double> c = std::sqrt(z) / nj;
                const std::complex<double> k = nj * (two_pi * c) / s.wl[i];
                const double h = s.d[j - 1];
                a.ex[i * a.layers + j - 1] = -k.imag() * h;
                a.ph[i * a.layers + j - 1] = k.real() * h;
            }
        }
    }
    return a;
}

struct Sums {
    double v[4] = {0.0, 0.0, 0.0, 0.0};
};

// One sweep over all wavelengths. `branch` selects the variant.
template <bool branch>
Sums sweep(const Args& a) {
    Sums s;
    for (std::size_t i = 0; i < a.points; ++i) {
        const double* zx = &a.zx[i * a.media];
        const double* zy = &a.zy[i * a.media];
        for (std::size_t j = 0; j < a.media; ++j) {
            const double x = zx[j];
            const double y = zy[j];
            if (branch && (x == 0.0 || y == 0.0)) {
                s.v[0] += std::sqrt(std::fabs(x) + std::fabs(y));
                continue;
            }
            const double rho = std::hypot(x, y);
            const double ang = std::atan2(y, x) * 0.5;
            const double root = std::sqrt(rho);
            s.v[0] += root * std::cos(ang);
            s.v[1] += root * std::sin(ang);
        }
        const double* ex = &a.ex[i * a.layers];
        const double* ph = &a.ph[i * a.layers];
        for (std::size_t j = 0; j < a.layers; ++j) {
            const double grow = std::exp(ex[j]);
            const double decay = std::exp(-ex[j]);
            const double c = std::cos(ph[j]);
            const double sn = std::sin(ph[j]);
            s.v[2] += grow * c + decay * sn;
            s.v[3] += grow * sn - decay * c;
        }
    }
    return s;
}

struct Timing {
    double median = 0.0, min = 0.0;
    std::size_t repeats = 0;
};

Timing summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Timing t;
    const std::size_t m = samples.size();
    t.median = m % 2 ? samples[m / 2] : 0.5 * (samples[m / 2 - 1] + samples[m / 2]);
    t.min = samples.front();
    t.repeats = m;
    return t;
}

// Times both variants in alternating sweeps, so that a slow spell of the
// machine hits both alike, for at least `seconds` and `min_repeats` sweeps each.
void time_sweeps(const Args& a, double seconds, std::size_t min_repeats, Timing& all,
                 Timing& branch, double& check) {
    using clock = std::chrono::steady_clock;
    std::vector<double> s_all, s_branch;
    const auto start = clock::now();
    while (s_all.size() < min_repeats ||
           std::chrono::duration<double>(clock::now() - start).count() < seconds) {
        const auto t0 = clock::now();
        const Sums x = sweep<false>(a);
        const auto t1 = clock::now();
        const Sums y = sweep<true>(a);
        const auto t2 = clock::now();
        s_all.push_back(std::chrono::duration<double>(t1 - t0).count());
        s_branch.push_back(std::chrono::duration<double>(t2 - t1).count());
        for (int k = 0; k < 4; ++k) check += x.v[k] + y.v[k];
        if (s_all.size() >= 10000) break;
    }
    all = summarise(std::move(s_all));
    branch = summarise(std::move(s_branch));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STACKFILE [SECONDS] [MIN_REPEATS]\n", argv[0]);
        return 2;
    }
    Stack s;
    if (!quelva_bench::read_stack_file(argv[1], s)) {
        std::fprintf(stderr, "%s: cannot read stack file %s\n", argv[0], argv[1]);
        return 1;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
    const long reps = argc > 3 ? std::atol(argv[3]) : 5;
    const std::size_t min_repeats = reps > 0 ? static_cast<std::size_t>(reps) : 1;

    const Args a = prepare(s);
    double check = sweep<false>(a).v[0];  // warms the caches and the page tables
    Timing all, br;
    time_sweeps(a, seconds, min_repeats, all, br, check);

    const double per_all = static_cast<double>(a.points * a.media);
    std::printf(
        "{\"media\": %zu, \"points\": %zu, \"general_media\": %zu, "
        "\"all\": {\"median_s\": %.9g, \"min_s\": %.9g, \"repeats\": %zu, \"ns_per_point_medium\": %.6g}, "
        "\"branch\": {\"median_s\": %.9g, \"min_s\": %.9g, \"repeats\": %zu, \"ns_per_point_medium\": %.6g}, "
        "\"check\": %.17g}\n",
        a.media, a.points, a.general, all.median, all.min, all.repeats,
        all.median / per_all * 1e9, br.median, br.min, br.repeats,
        br.median / per_all * 1e9, check);
    return 0;
}
