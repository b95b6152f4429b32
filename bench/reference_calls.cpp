// The C-library calls of the reference operation order (engine/src/reference.cpp),
// timed on their own: a loop that makes only those calls, on the arguments of a
// real stack, and none of the complex products, quotients and matrix products
// around them. It is a yardstick of the reference order's cost; the kernel
// makes other calls (an algebraic square root) and is not bounded by it.
//
//   per medium and wavelength: hypot, atan2, sqrt, sin and cos (the principal
//     square root of N^2 - beta^2 in polar form);
//   per layer and wavelength:  exp, cos and sin for the forward factor
//     exp(i k h), and again for the backward factor exp(-i k h), whose
//     arguments are the same numbers negated (the reference evaluates both;
//     the compiler may pair the cos and sin of one argument into sincos).
//
// The stack comes from a file written by bench/run.py (see stack_file.hpp). All
// arguments are computed before the clock starts; the loop reads them from
// memory in the order of a per-wavelength sweep and sums every result into
// values that are printed, so the compiler can drop none of the calls.
//
// Two variants are timed:
//   "all"    every medium takes the general (polar) square root;
//   "branch" a medium whose N^2 - beta^2 has a zero real or imaginary part
//            (a lossless medium at a real angle) takes the one-sqrt branch,
//            as the reference does: the calls the reference makes on this stack.
//
// Usage: quelva_reference_calls STACKFILE [SECONDS] [MIN_REPEATS]
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
    // The exponents of a layer's factors per (wavelength, layer), as the
    // reference forms them: i k h = -Im(k) h + i Re(k) h for the forward
    // wave's exp(i k h), its negative for the backward wave's exp(-i k h). A
    // positive Im(k) h attenuates the forward wave. Both are stored, so that
    // the compiler cannot fold cos(-x) into cos(x) and drop calls the
    // reference makes.
    std::vector<double> forward_re, forward_im, backward_re, backward_im;
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
    a.forward_re.resize(a.layers * a.points);
    a.forward_im.resize(a.layers * a.points);
    a.backward_re.resize(a.layers * a.points);
    a.backward_im.resize(a.layers * a.points);
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
                const std::size_t at = i * a.layers + j - 1;
                a.forward_re[at] = -k.imag() * h;
                a.forward_im[at] = k.real() * h;
                a.backward_re[at] = k.imag() * h;
                a.backward_im[at] = -(k.real() * h);
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
        const std::size_t at = i * a.layers;
        for (std::size_t j = 0; j < a.layers; ++j) {
            // exp(x + i y) = exp(x) (cos y + i sin y), for exp(i k h) and exp(-i k h).
            const double forward_modulus = std::exp(a.forward_re[at + j]);
            s.v[2] += forward_modulus * std::cos(a.forward_im[at + j]);
            s.v[3] += forward_modulus * std::sin(a.forward_im[at + j]);
            const double backward_modulus = std::exp(a.backward_re[at + j]);
            s.v[2] += backward_modulus * std::cos(a.backward_im[at + j]);
            s.v[3] += backward_modulus * std::sin(a.backward_im[at + j]);
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
