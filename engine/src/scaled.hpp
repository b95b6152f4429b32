// Stack matrices whose plain product overflows.
//
// A thick absorbing layer (a wafer, a metal film of some tens of
// micrometres) or many moderately absorbing layers make the growing factor
// exp(|Im k h|) of the propagation matrices pass the float64 range: the
// plain stack matrix gets infinite elements, or elements so large that the
// quotients r = M[1][0] / M[0][0] and t = 1 / M[0][0] overflow, and the
// spectra come out as NaN for a finite, physical stack.
//
// Such a wavelength is recomputed in a scaled form: every propagation
// matrix has its growing factor exp(|Im k h|) divided out, and the running
// matrix is kept as a mantissa of moderate size times e^exponent. The
// mantissa is stored in the Transfer in place of the plain matrix and the
// exponent beside it. r is unchanged by the common factor; |t| is
// |1 / M'[0][0]| * e^-exponent.
//
// Every other wavelength keeps its plain matrix bit for bit, with exponent 0;
// the only cost there is the overflow check of the finished matrices.
#pragma once

#include <cmath>
#include <cstddef>

#include "brenmor/brenmor.hpp"

namespace brenmor::detail {

// True when the plain evaluation of r = M[1][0] / M[0][0] or t = 1 / M[0][0]
// (the quotients the spectra read) meets a value that is not finite: an
// element they read, the denominator |M[0][0]|^2, or a part of the numerator
// of r. Computed in the operation order of those quotients. A vanishing
// M[0][0] is not reported: it is a degenerate stack, not an overflow.
inline bool quotients_overflow(const CMatrix2& m) noexcept {
    const Complex a = m(1, 0);
    const Complex b = m(0, 0);
    const double den = b.re * b.re + b.im * b.im;
    const double re = a.re * b.re + a.im * b.im;
    const double im = a.im * b.re - a.re * b.im;
    return !(std::isfinite(den) && std::isfinite(re) && std::isfinite(im));
}

// A stack matrix as mantissa and exponent: the matrix is m * e^exponent.
struct ScaledMatrix {
    CMatrix2 m;
    double exponent;
};

// The stack matrix of wavelength index i and polarisation p in the scaled
// form. Returns false, leaving `out` untouched, when the scaled form has
// nothing to mend: an input the matrix depends on (theta, wl[i], column i of
// n, the used entries of d) is not finite, an index is out of range, or some
// intermediate value (a cosine, an interface matrix, a phase, the mantissa,
// the exponent) is not finite, as in a degenerate stack (an index of 0,
// wl = 0, a vanishing denominator). Never throws, never allocates.
bool scaled_transfer_for_wavelength(const Array1<double>& d, const Array2<Complex>& n,
                                    const Array1<double>& wl, double theta, std::size_t i, bool p,
                                    ScaledMatrix& out) noexcept;

// Replaces each matrix of `transfer` whose quotients overflow by its scaled
// form where that exists (see scaled_transfer_for_wavelength), setting the
// exponent of that polarisation. The out-of-line part of mend_overflow.
void mend_overflowed_transfer(const Array1<double>& d, const Array2<Complex>& n,
                              const Array1<double>& wl, double theta, std::size_t i,
                              Transfer& transfer) noexcept;

// The check on a finished Transfer of wavelength index i: a matrix whose
// quotients overflow is recomputed in the scaled form; all other transfers
// are left exactly as they are.
inline void mend_overflow(const Array1<double>& d, const Array2<Complex>& n,
                          const Array1<double>& wl, double theta, std::size_t i,
                          Transfer& transfer) noexcept {
    if (quotients_overflow(transfer.s) || quotients_overflow(transfer.p)) [[unlikely]] {
        mend_overflowed_transfer(d, n, wl, theta, i, transfer);
    }
}

}  // namespace brenmor::detail
