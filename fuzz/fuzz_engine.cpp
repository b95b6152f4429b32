// libFuzzer harness for the brenmor engine.
//
// The input bytes are decoded into one Data record: any number of media, any
// number of wavelengths (on both sides of the 100/101 boundary between the
// calling thread and the worker pool), a d and an n that may or may not fit
// the wavelengths, n in several storage layouts, and any doubles (NaN, the
// infinities, signed zeros, subnormals and raw bit patterns). Then the two
// spectra are requested and the outcome is checked:
//
//   * the only failure the engine may raise is brenmor::Panic with the index
//     message, and it must be raised exactly when the arrays do not fit
//     together (some wavelength, and n with fewer than two rows, fewer
//     columns than wavelengths, or d shorter than the number of layers);
//   * on success both spectra have one value per wavelength, the cache holds
//     one Transfer per wavelength, each agreeing to rounding (NaN where it
//     has NaN) with what the per-wavelength operations return for that index,
//     which are bit-identical to each other; where that plain matrix
//     overflows the engine keeps a finite scaled mantissa and a finite
//     exponent instead, and where the matrix is not determined by its inputs
//     at the rounding of its factors (see rounding_scale) the cached one
//     need only be finite wherever the plain one is;
//   * asking for the two spectra in the other order gives the same values;
//   * every other kernel variant this processor runs (the spectra above use
//     the widest), asked through the engine's internal interface for the
//     same Transfers, fails exactly as the spectra did or gives Transfers
//     that pass the same check. So one run fuzzes every variant, with the
//     same inputs, within one time budget: 32-bit ARM ships only the scalar
//     one, which an x86-64 host would otherwise never fuzz.
//
// Anything else (another exception, a wrong length, a mismatch) aborts, and
// AddressSanitizer/UndefinedBehaviorSanitizer catch invalid memory accesses
// and undefined arithmetic on the way.
#include <brenmor/brenmor.hpp>

#include "kernel/variants.hpp"
#include "transfers.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using brenmor::Array1;
using brenmor::Array2;
using brenmor::CMatrix2;
using brenmor::Complex;
using brenmor::Data;
using brenmor::Polarisation;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stdout, "fuzz_engine: %s\n", what);
    std::fflush(stdout);
    std::abort();
}

// Reads the input front to back; past its end every read yields zero bytes.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() {
        const auto lo = byte();
        const auto hi = byte();
        return static_cast<std::uint16_t>(lo | (hi << 8));
    }
    const std::uint8_t* rest() const { return data_ + pos_; }
    std::size_t rest_size() const { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Doubles taken from the tail of the input: one selector byte each, picking a
// value from a table of interesting ones, or (for selectors >= 0xE0) the next
// eight bytes as a raw bit pattern. The tail is read cyclically, so a short
// input still describes a large stack; an empty tail yields 1.0 throughout.
class Values {
public:
    Values(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    double next() {
        if (size_ == 0) return 1.0;
        const std::uint8_t sel = take();
        if (sel >= 0xE0) {
            std::uint64_t bits = 0;
            for (int k = 0; k < 8; ++k) bits |= static_cast<std::uint64_t>(take()) << (8 * k);
            double v;
            std::memcpy(&v, &bits, sizeof v);
            return v;
        }
        return kTable[sel % kTableSize];
    }

private:
    std::uint8_t take() {
        const std::uint8_t b = data_[pos_];
        pos_ = (pos_ + 1) % size_;
        return b;
    }

    static constexpr double kInf = std::numeric_limits<double>::infinity();
    static constexpr std::size_t kTableSize = 32;
    static constexpr double kTable[kTableSize] = {
        0.0, -0.0, 1.0, -1.0, 1.5, 2.0, 0.5, 0.1,
        500.0, 100.0, 1e-3, 633.0, 3.0, 0.25, 1.0471975511965976, 1.5707963267948966,
        std::numeric_limits<double>::quiet_NaN(), kInf, -kInf,
        std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1e-300,
        1e300, 1e154, -1e154, 3.141592653589793, 1.4142135623730951, 4.0, 1e8, -2.5,
    };

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool same_bits_or_nan(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_complex(const Complex& a, const Complex& b) {
    return same_bits_or_nan(a.re, b.re) && same_bits_or_nan(a.im, b.im);
}

bool same_matrix(const CMatrix2& a, const CMatrix2& b) {
    for (int k = 0; k < 4; ++k) {
        if (!same_complex(a.e[k], b.e[k])) return false;
    }
    return true;
}

bool same_spectrum(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits_or_nan(a[i], b[i])) return false;
    }
    return true;
}

// A count near `base`: mostly within two of it (so that the boundary cases
// "one short" and "one too many" are common), sometimes any small number.
std::size_t near(std::size_t base, std::uint8_t sel) {
    if (sel & 0x80) return sel & 0x3F;
    const int delta = static_cast<int>(sel % 5) - 2;
    const auto v = static_cast<long>(base) + delta;
    return v < 0 ? 0 : static_cast<std::size_t>(v);
}

// The size of the rounding errors any evaluation of the stack matrix of
// wavelength i may make, up to a modest factor: the product over the factors
// (interfaces and layers) of the magnitudes that each factor's elements are
// formed from, times the sum of the factors' relative conditions (of the
// square roots, and of the phases). Where this is near the size of the
// matrix itself, the reference and the kernel must agree closely; where it is
// far larger, the matrix is the small remainder of a cancellation (a medium of
// index 1e23 between ordinary ones, a phase of 1e265 rad) and two operation
// orders may differ entirely. It is computed in the harness's own arithmetic
// (std::complex), and is infinite or NaN where anything along the way is.
double rounding_scale(const Data& data, std::size_t i, Polarisation polarisation) {
    using C = std::complex<double>;
    const auto at = [&](std::size_t j) { return C(data.n(j, i).re, data.n(j, i).im); };
    const std::size_t media = data.n.rows();
    const C beta = std::sin(data.theta) * at(0);
    const C beta2 = beta * beta;
    std::vector<C> q(media);
    double conditions = 0.0;
    for (std::size_t j = 0; j < media; ++j) {
        const C square = at(j) * at(j);
        q[j] = std::sqrt(square - beta2);
        conditions += 1.0 + (std::abs(square) + std::abs(beta2)) / std::abs(square - beta2);
    }
    double magnitudes = 1.0;
    for (std::size_t j = 0; j + 1 < media; ++j) {
        // Interface (j, j+1): 1/t and r/t are (x cos_a +- y cos_b) / (2 q_a).
        const bool p = polarisation == Polarisation::p;
        const C x = p ? at(j + 1) : at(j);
        const C y = p ? at(j) : at(j + 1);
        magnitudes *= (std::abs(x * q[j] / at(j)) + std::abs(y * q[j + 1] / at(j + 1))) / std::abs(q[j]);
        if (j + 2 < media) {
            // Layer j+1: exp(-+i k h).
            const C phase = 2.0 * 3.141592653589793 * q[j + 1] * data.d[j] / data.wl[i];
            // A phase known to a few ulps changes its factor by that many ulps
            // of the phase, relative, while that is small; beyond about 1e13
            // rad the rounding of its imaginary part alone, exponentiated,
            // changes the factor by e^(1e-3) and more, and nothing is
            // determined.
            if (!(std::abs(phase) <= 1e13)) return std::numeric_limits<double>::infinity();
            magnitudes *= std::exp(std::fabs(phase.imag()));
            conditions += 1.0 + std::abs(phase);
        }
    }
    return magnitudes * conditions;
}

// Whether every element that is finite in the plain matrix is finite in the
// cached one.
bool finite_where_plain_is(const CMatrix2& plain, const CMatrix2& cached) {
    const auto finite = [](const Complex& z) { return std::isfinite(z.re) && std::isfinite(z.im); };
    for (int k = 0; k < 4; ++k) {
        if (finite(plain.e[k]) && !finite(cached.e[k])) return false;
    }
    return true;
}

double largest_finite_part(const CMatrix2& m) {
    double largest = 0.0;
    for (const Complex& z : m.e) {
        for (const double part : {z.re, z.im}) {
            if (std::isfinite(part)) largest = std::max(largest, std::fabs(part));
        }
    }
    return largest;
}

// The kernel agrees with the reference operation order to rounding: every
// element within a small multiple of the rounding of the matrix's largest
// element, or of the stack's rounding scale where that is larger, and NaN
// exactly where the reference has NaN.
//
// Where the rounding scale is not finite, or exceeds both matrices by so much
// that their values are rounding noise (phases of 1e19 rad and more), the
// inputs do not determine the matrix, and the reference's own rounding may
// overflow where the kernel's does not (an imaginary part of k that is the
// cancellation residue of 1e18-sized terms, times a thickness, exponentiated).
// There the kernel must only be finite wherever the reference is.
bool agrees_to_rounding(const CMatrix2& plain, const CMatrix2& cached, double scale) {
    if (same_matrix(plain, cached)) return true;
    double largest = 0.0;
    for (const Complex& z : plain.e) largest = std::max({largest, std::fabs(z.re), std::fabs(z.im)});
    // Where the reference order overflows, the kernel's rescaled product may
    // still be finite: that is the point of carrying the scale.
    if (!std::isfinite(largest)) return true;
    const double noise = 1e-12 * scale;
    const bool determined =
        std::isfinite(noise) && noise <= std::max(largest_finite_part(plain), largest_finite_part(cached));
    if (!determined) return finite_where_plain_is(plain, cached);
    const double tolerance = std::max(1e-6 * largest, noise);
    for (int k = 0; k < 4; ++k) {
        const Complex x = plain.e[k];
        const Complex y = cached.e[k];
        if (!(std::fabs(x.re - y.re) <= tolerance && std::fabs(x.im - y.im) <= tolerance)) return false;
    }
    return true;
}

// A cached matrix agrees with the plain per-wavelength matrix to rounding
// (exponent 0), or, where it is too large to be stored plainly, is a finite
// mantissa with a finite, non-zero exponent.
void check_cached(const CMatrix2& plain, const CMatrix2& cached, double exponent, double scale) {
    if (exponent == 0.0) {
        if (!agrees_to_rounding(plain, cached, scale)) {
            fail("a cached Transfer differs from the per-wavelength computation");
        }
        return;
    }
    if (!std::isfinite(exponent)) fail("a scaled Transfer with a non-finite exponent");
    for (const Complex& z : cached.e) {
        if (!std::isfinite(z.re) || !std::isfinite(z.im)) fail("a scaled Transfer with a non-finite mantissa");
    }
}

struct Outcome {
    bool panicked = false;
    std::vector<double> r;
    std::vector<double> t;
};

// Requests both spectra (the reflectance first unless t_first) and checks
// that nothing but the index panic comes out.
Outcome run(Data& data, bool t_first) {
    Outcome out;
    try {
        if (t_first) {
            out.t = brenmor::get_t_power_vec(data);
            out.r = brenmor::get_r_power_vec(data);
        } else {
            out.r = brenmor::get_r_power_vec(data);
            out.t = brenmor::get_t_power_vec(data);
        }
    } catch (const brenmor::Panic& p) {
        if (p.message() != brenmor::kIndexOutOfBounds) fail("panic with an unexpected message");
        out.panicked = true;
    } catch (const std::exception& e) {
        std::fprintf(stdout, "fuzz_engine: exception: %s\n", e.what());
        fail("an exception other than the index panic");
    } catch (...) {
        fail("a non-standard exception");
    }
    return out;
}

// The Transfers of every wavelength by one variant, or whether it raised the
// index panic; anything else it raises aborts.
struct VariantOutcome {
    bool panicked = false;
    std::vector<brenmor::Transfer> transfers;
};

VariantOutcome run_variant(const brenmor::kernel::Variant& variant, const Data& data) {
    VariantOutcome out;
    try {
        out.transfers = brenmor::detail::transfer_calc_with(variant, data);
    } catch (const brenmor::Panic& p) {
        if (p.message() != brenmor::kIndexOutOfBounds) fail("panic with an unexpected message");
        out.panicked = true;
    } catch (const std::exception& e) {
        std::fprintf(stdout, "fuzz_engine: exception (%s variant): %s\n", variant.name, e.what());
        fail("an exception other than the index panic");
    } catch (...) {
        fail("a non-standard exception");
    }
    return out;
}

// The variants other than the one the spectra use.
std::vector<const brenmor::kernel::Variant*> other_variants() {
    std::vector<const brenmor::kernel::Variant*> out;
    for (const auto* variant : brenmor::kernel::supported_variants()) {
        if (variant != &brenmor::kernel::chosen_variant()) out.push_back(variant);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::fprintf(stdout, "fuzz_engine: kernel variants: %s (the spectra's)",
                 brenmor::kernel::chosen_variant().name);
    for (const auto* variant : other_variants()) std::fprintf(stdout, ", %s", variant->name);
    std::fprintf(stdout, "\n");
    std::fflush(stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Reader in(bytes, size);

    // Header.
    const std::uint8_t b_layout = in.byte();
    const std::size_t rows = b_layout & 0x0F;       // 0 ... 15 media
    const unsigned layout = (b_layout >> 4) & 0x07;  // storage layout of n
    const bool t_first = (b_layout & 0x80) != 0;
    const std::size_t nwl = in.u16() % 320;          // 0 ... 319 wavelengths
    const std::size_t cols = near(nwl, in.byte());
    const std::size_t nd = near(rows >= 2 ? rows - 2 : 0, in.byte());
    const std::uint8_t b_stride = in.byte();
    const std::uint8_t b_extra = in.byte();

    Values values(in.rest(), in.rest_size());

    // n in one of several layouts over one block of storage.
    const std::size_t elems = rows * cols;
    std::size_t storage_size = elems;
    std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(cols);
    std::ptrdiff_t col_stride = 1;
    std::size_t offset = 0;
    switch (layout) {
        case 0:  // row-major
            break;
        case 1:  // column-major
            row_stride = 1;
            col_stride = static_cast<std::ptrdiff_t>(rows);
            break;
        case 2:  // rows reversed
            row_stride = -static_cast<std::ptrdiff_t>(cols);
            offset = rows > 0 ? (rows - 1) * cols : 0;
            break;
        case 3:  // both axes reversed
            row_stride = -static_cast<std::ptrdiff_t>(cols);
            col_stride = -1;
            offset = elems > 0 ? elems - 1 : 0;
            break;
        case 4:  // zero strides: one value broadcast over the table
            row_stride = 0;
            col_stride = 0;
            storage_size = 1 + (b_extra % 4);
            offset = b_extra % storage_size;
            break;
        case 5: {  // padded rows, as a slice of a wider table
            const std::size_t pad = b_extra % 4;
            row_stride = static_cast<std::ptrdiff_t>(cols + pad);
            storage_size = rows * (cols + pad);
            break;
        }
        default: {  // arbitrary small strides over a block of arbitrary size
            row_stride = static_cast<std::int8_t>(b_stride);
            col_stride = static_cast<std::int8_t>(b_extra);
            storage_size = (b_stride ^ b_extra) % 64 + (layout == 6 ? 0 : elems);
            offset = storage_size > 0 ? (static_cast<std::size_t>(b_extra) * 7) % storage_size : 0;
            break;
        }
    }

    std::vector<Complex> storage(storage_size);
    for (auto& z : storage) {
        z.re = values.next();
        z.im = values.next();
    }
    Array1<double> d(nd);
    for (auto& v : d) v = values.next();
    Array1<double> wl(nwl);
    for (auto& v : wl) v = values.next();
    const double theta = values.next();
    const double phi = values.next();

    Array2<Complex> n;
    try {
        n = Array2<Complex>(storage, rows, cols, row_stride, col_stride, offset);
    } catch (const std::invalid_argument&) {
        return 0;  // a layout that leaves the block is refused up front, not computed
    }

    // Keep a second identical description for the reversed request order.
    Data data{d, n, wl, theta, phi, {}};
    Data twin{d, n, wl, theta, phi, {}};

    const bool must_fail = nwl > 0 && (rows < 2 || cols < nwl || nd + 2 < rows);

    static const std::vector<const brenmor::kernel::Variant*> others = other_variants();

    const Outcome first = run(data, t_first);
    if (first.panicked != must_fail) {
        fail(must_fail ? "arrays that do not fit computed without a panic"
                       : "arrays that fit raised the index panic");
    }
    if (first.panicked) {
        if (data.transfer_cache.get() != nullptr) fail("a failed computation filled the cache");
        // The record stays valid: a later request fails the same way.
        if (!run(data, !t_first).panicked) fail("a repeated request succeeded");
        for (const auto* variant : others) {
            if (!run_variant(*variant, data).panicked) fail("another variant computed arrays that do not fit");
        }
        return 0;
    }
    std::vector<VariantOutcome> other_outcomes;
    for (const auto* variant : others) {
        other_outcomes.push_back(run_variant(*variant, data));
        if (other_outcomes.back().panicked) fail("another variant raised the index panic");
        if (other_outcomes.back().transfers.size() != nwl) fail("another variant's Transfers of the wrong count");
    }

    if (first.r.size() != nwl || first.t.size() != nwl) fail("a spectrum of the wrong length");
    const auto* cache = data.transfer_cache.get();
    if (cache == nullptr || cache->size() != nwl) fail("the cache does not hold one Transfer per wavelength");
    for (std::size_t i = 0; i < nwl; ++i) {
        const CMatrix2 s = brenmor::transfer_for_wavelength(data, i, Polarisation::s);
        const CMatrix2 p = brenmor::transfer_for_wavelength(data, i, Polarisation::p);
        const double s_scale = rounding_scale(data, i, Polarisation::s);
        const double p_scale = rounding_scale(data, i, Polarisation::p);
        const brenmor::Transfer& cached = (*cache)[i];
        check_cached(s, cached.s, cached.s_exponent, s_scale);
        check_cached(p, cached.p, cached.p_exponent, p_scale);
        for (const VariantOutcome& other : other_outcomes) {
            check_cached(s, other.transfers[i].s, other.transfers[i].s_exponent, s_scale);
            check_cached(p, other.transfers[i].p, other.transfers[i].p_exponent, p_scale);
        }
        const CMatrix2 hs = brenmor::transfer_for_wavelength_helper(d, n, wl, theta, i, false);
        const CMatrix2 hp = brenmor::transfer_for_wavelength_helper(d, n, wl, theta, i, true);
        if (!same_matrix(s, hs) || !same_matrix(p, hp)) {
            fail("the two per-wavelength forms disagree");
        }
    }

    const Outcome second = run(twin, !t_first);
    if (second.panicked) fail("the other request order panicked");
    if (!same_spectrum(first.r, second.r) || !same_spectrum(first.t, second.t)) {
        fail("the request order changed a spectrum");
    }
    return 0;
}
