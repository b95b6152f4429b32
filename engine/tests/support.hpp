// Helpers shared by the engine's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "brenmor/brenmor.hpp"

namespace brenmor::testing {

inline std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline bool same_bits(Complex a, Complex b) {
    return bits(a.re) == bits(b.re) && bits(a.im) == bits(b.im);
}

inline bool same_bits(const CMatrix2& a, const CMatrix2& b) {
    for (std::size_t k = 0; k < 4; ++k) {
        if (!same_bits(a.e[k], b.e[k])) return false;
    }
    return true;
}

inline bool same_bits(const Transfer& a, const Transfer& b) {
    return same_bits(a.s, b.s) && same_bits(a.p, b.p) && bits(a.s_exponent) == bits(b.s_exponent) &&
           bits(a.p_exponent) == bits(b.p_exponent);
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (bits(a[k]) != bits(b[k])) return false;
    }
    return true;
}

inline std::complex<double> to_std(Complex z) { return {z.re, z.im}; }

inline bool all_finite(const CMatrix2& m) {
    for (const Complex& z : m.e) {
        if (!std::isfinite(z.re) || !std::isfinite(z.im)) return false;
    }
    return true;
}

// "" when the matrix got * e^exponent (the kernel's form) is the finite
// matrix `expected` to within rel times the modulus of expected's largest
// element, else a description of the worst element.
inline std::string rounding_mismatch(const CMatrix2& got, double exponent,
                                     const CMatrix2& expected, double rel) {
    if (!all_finite(got) || !std::isfinite(exponent)) return "not finite";
    const double scale = std::exp(-exponent);
    double largest = 0.0;
    for (const Complex& z : expected.e) largest = std::max(largest, std::abs(to_std(z)) * scale);
    for (std::size_t k = 0; k < 4; ++k) {
        const double error = std::abs(to_std(got.e[k]) - to_std(expected.e[k]) * scale);
        if (!(error <= rel * largest)) {
            char buffer[160];
            std::snprintf(buffer, sizeof buffer, "element %zu: error %.3g of the largest element", k,
                          error / largest);
            return buffer;
        }
    }
    return "";
}

// "" when a and b agree to within rel of max(|b|, floor).
inline std::string close_values(double a, double b, double rel, double floor) {
    if (std::fabs(a - b) <= rel * std::max(std::fabs(b), floor)) return "";
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%.17g vs %.17g", a, b);
    return buffer;
}

// The matrix [[m00, m10], [m10, m00]].
inline CMatrix2 diagonal_matrix(Complex m00, Complex m10) {
    CMatrix2 m;
    m(0, 0) = m00;
    m(1, 0) = m10;
    m(0, 1) = m10;
    m(1, 1) = m00;
    return m;
}

// Bit for bit, or both NaN (whose sign and payload follow the operand order).
inline bool same_value(double a, double b) {
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

inline bool same_value(const CMatrix2& a, const CMatrix2& b) {
    for (std::size_t k = 0; k < 4; ++k) {
        if (!same_value(a.e[k].re, b.e[k].re) || !same_value(a.e[k].im, b.e[k].im)) return false;
    }
    return true;
}

inline bool same_value(const Transfer& a, const Transfer& b) {
    return same_value(a.s, b.s) && same_value(a.p, b.p) &&
           same_value(a.s_exponent, b.s_exponent) && same_value(a.p_exponent, b.p_exponent);
}

// A stack whose media have the same index at every wavelength.
//   media: index of each medium, incidence first.
inline Data uniform_stack(const std::vector<Complex>& media, std::vector<double> d,
                          std::vector<double> wl, double theta, double phi = 0.0) {
    const std::size_t cols = wl.size();
    std::vector<Complex> storage;
    storage.reserve(media.size() * cols);
    for (const Complex& index : media) {
        for (std::size_t i = 0; i < cols; ++i) storage.push_back(index);
    }
    Data data;
    data.d = std::move(d);
    data.n = Array2<Complex>::row_major(std::move(storage), media.size(), cols);
    data.wl = std::move(wl);
    data.theta = theta;
    data.phi = phi;
    return data;
}

// A dispersive multilayer of `layers` interior layers over `count`
// wavelengths, with absorbing and lossless media mixed, every value distinct.
inline Data dispersive_stack(std::size_t layers, std::size_t count, std::size_t extra_cols = 0,
                             double theta = 0.4, double phi = 0.3) {
    const std::size_t media = layers + 2;
    const std::size_t cols = count + extra_cols;
    std::vector<Complex> storage(media * cols);
    for (std::size_t j = 0; j < media; ++j) {
        for (std::size_t i = 0; i < cols; ++i) {
            const double x = static_cast<double>(i) / static_cast<double>(cols + 1);
            double re = 1.3 + 0.9 * static_cast<double>(j % 3) + 0.1 * x;
            double im = (j % 2 == 1) ? 0.002 * static_cast<double>(j) * (1.0 + x) : 0.0;
            if (j == 0) {
                re = 1.0;
                im = 0.0;
            }
            storage[j * cols + i] = {re, im};
        }
    }
    Data data;
    for (std::size_t k = 0; k < layers; ++k) data.d.push_back(40.0 + 17.0 * static_cast<double>(k));
    data.n = Array2<Complex>::row_major(std::move(storage), media, cols);
    for (std::size_t i = 0; i < count; ++i) {
        data.wl.push_back(380.0 + 420.0 * static_cast<double>(i) / static_cast<double>(count));
    }
    data.theta = theta;
    data.phi = phi;
    return data;
}

// A fresh record with the same stack description and an empty cache.
inline Data copy_stack(const Data& data) {
    Data copy;
    copy.d = data.d;
    copy.n = data.n;
    copy.wl = data.wl;
    copy.theta = data.theta;
    copy.phi = data.phi;
    return copy;
}

// Runs `body` in a forked child process (with a watchdog of `seconds`) and
// returns its exit status: the body's return value, or 128 + signal number.
// The child's first parallel pass starts a pool of its own.
inline int run_in_child(const std::function<int()>& body, unsigned seconds = 60) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        alarm(seconds);
        int code = 100;
        try {
            code = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "child: uncaught exception: %s\n", error.what());
            code = 101;
        } catch (...) {
            code = 102;
        }
        std::fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace brenmor::testing
