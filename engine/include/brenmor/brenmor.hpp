// brenmor: reflectance and transmittance of planar multilayer stacks by the
// 2x2 transfer-matrix method.
//
// The engine is a set of plain value types and free operations on them. It
// knows nothing of Python; its only process-wide state is the worker pool
// (engine/src/pool.hpp) that spreads spectra of 101 or more wavelengths over
// several threads.
//
// Failures are reported by throwing brenmor::Panic. The report of a panic is
// written to standard error at the moment it is raised (see panic() below).
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <limits>
#include <memory>
#include <source_location>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "brenmor/texts.hpp"

namespace brenmor {

// ---------------------------------------------------------------------------
// Value types

// A double-precision complex number: real part, then imaginary part.
struct Complex {
    double re;
    double im;
};

// A 2x2 complex matrix stored column by column: M[0][0], M[1][0], M[0][1],
// M[1][1]. For a stack matrix, M[1][0] / M[0][0] is the amplitude reflection
// coefficient and 1 / M[0][0] the amplitude transmission coefficient.
struct CMatrix2 {
    Complex e[4];

    constexpr Complex& operator()(std::size_t row, std::size_t col) noexcept {
        return e[col * 2 + row];
    }
    constexpr const Complex& operator()(std::size_t row, std::size_t col) const noexcept {
        return e[col * 2 + row];
    }
};

// A one-dimensional array, values in logical order.
template <class T>
using Array1 = std::vector<T>;

// A two-dimensional array that owns one block of storage and addresses
// element (r, c) at storage[offset + r * row_stride + c * col_stride]
// (strides counted in elements, either may be negative). This lets a caller
// hand over a block copy of a row-major, column-major or axis-reversed table
// without reordering it. The storage never changes after construction, so
// copies of an array share it: copying a large table costs nothing.
template <class T>
class Array2 {
public:
    Array2() = default;

    // Takes over `storage` (size elements). Throws std::invalid_argument when
    // some element (r, c) with r < rows and c < cols would lie outside it.
    // A caller that fills a block of its own (new T[size], never zeroed)
    // hands it over this way.
    Array2(std::shared_ptr<const T[]> storage, std::size_t size, std::size_t rows,
           std::size_t cols, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
           std::size_t offset);

    // The same for storage held in a vector (taken over, not copied).
    Array2(std::vector<T> storage, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
           std::ptrdiff_t col_stride, std::size_t offset);

    // A compact row-major table of rows * cols elements.
    static Array2 row_major(std::vector<T> storage, std::size_t rows, std::size_t cols);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::ptrdiff_t row_stride() const noexcept { return row_stride_; }
    std::ptrdiff_t col_stride() const noexcept { return col_stride_; }
    std::size_t offset() const noexcept { return offset_; }
    std::span<const T> storage() const noexcept { return {storage_.get(), size_}; }

    // Unchecked element access; the caller checks r < rows() and c < cols().
    const T& operator()(std::size_t r, std::size_t c) const noexcept {
        return storage_[static_cast<std::size_t>(
            static_cast<std::ptrdiff_t>(offset_) + static_cast<std::ptrdiff_t>(r) * row_stride_ +
            static_cast<std::ptrdiff_t>(c) * col_stride_)];
    }

private:
    // A vector's storage, kept alive by its owner.
    struct Owned {
        explicit Owned(std::vector<T> storage)
            : owner(std::make_shared<const std::vector<T>>(std::move(storage))) {}
        std::shared_ptr<const std::vector<T>> owner;
    };
    Array2(const Owned& owned, std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
           std::ptrdiff_t col_stride, std::size_t offset);

    // Shared by the copies of the array; null only when size_ is 0.
    std::shared_ptr<const T[]> storage_;
    std::size_t size_ = 0;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
    std::size_t offset_ = 0;
};

// The stack matrices of one wavelength, for s (TE) and p (TM) polarisation.
// The stack matrix of a polarisation is its CMatrix2 times e^exponent. The
// exponents are 0 except where the plain product overflows (a thick
// absorbing layer): there the matrix is stored as a mantissa of moderate size
// and the exponent carries the rest of its magnitude.
struct Transfer {
    CMatrix2 s;
    CMatrix2 p;
    double s_exponent = 0.0;
    double p_exponent = 0.0;
};

// A cell that is filled at most once and never changes afterwards.
template <class T>
class SetOnce {
public:
    const T* get() const noexcept { return value_ ? &*value_ : nullptr; }
    // Stores `value` if the cell is empty and returns the stored value.
    const T& set(T value) {
        if (!value_) value_.emplace(std::move(value));
        return *value_;
    }

private:
    std::optional<T> value_;
};

// One illuminated stack.
//   d:     thicknesses of the interior layers; d[k] belongs to medium k + 1.
//   n:     complex refractive index, n(medium, wavelength); row 0 is the
//          incidence medium, the last row the exit medium.
//   wl:    wavelengths, in the same length unit as d.
//   theta: angle of incidence in the incidence medium, radians.
//   phi:   polarisation angle, radians: power cos^2(phi) in s, sin^2(phi) in p.
// Nothing is checked when a record is built; a stack whose arrays do not fit
// together fails during the computation with "ndarray: index out of bounds".
struct Data {
    Array1<double> d;
    Array2<Complex> n;
    Array1<double> wl;
    double theta = 0.0;
    double phi = 0.0;
    SetOnce<std::vector<Transfer>> transfer_cache;
};

// ---------------------------------------------------------------------------
// Failures

// The message of every failed shape check (the engine's fixed texts:
// brenmor/texts.hpp).
using texts::kIndexOutOfBounds;

// A failure inside native code: a message and the place of the check that
// failed. It unwinds to the boundary of whatever called the engine.
class Panic : public std::exception {
public:
    Panic(std::string message, std::source_location where);
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Writes the panic report to standard error, on the current thread:
//   "\nthread '<unnamed>' panicked at FILE:LINE:COLUMN:\nMESSAGE\n"
// with FILE relative to the project's source root (e.g. "engine/src/x.cpp").
void report_panic(const std::string& message, const std::source_location& where) noexcept;

// Reports and throws a Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// ---------------------------------------------------------------------------
// Operations

// The two polarisations, for the engine's own call sites; the operations
// below keep their bool parameter (false: s, true: p).
enum class Polarisation : bool { s = false, p = true };

// The stack matrix of wavelength index i in the reference operation order;
// polarisation p = false selects s (TE), true selects p (TM).
CMatrix2 transfer_for_wavelength(const Data& data, std::size_t i, bool p);

// The same computation from the separate arrays, bit-identical to
// transfer_for_wavelength for the same inputs. The spectra's kernel does not
// call it; the lanes the kernel leaves to the reference do, on whichever
// thread computes them.
CMatrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                        const Array1<double>& wl, double theta, std::size_t i,
                                        bool p);

inline CMatrix2 transfer_for_wavelength(const Data& data, std::size_t i,
                                        Polarisation polarisation) {
    return transfer_for_wavelength(data, i, polarisation == Polarisation::p);
}

inline CMatrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                               const Array1<double>& wl, double theta, std::size_t i,
                                               Polarisation polarisation) {
    return transfer_for_wavelength_helper(d, n, wl, theta, i, polarisation == Polarisation::p);
}

// The Transfer of every wavelength, in the order of wl. Up to 100
// wavelengths run on the calling thread, from 101 on on the worker pool.
// Does not touch data.transfer_cache.
std::vector<Transfer> transfer_calc(const Data& data);

// Reflectance and transmittance spectra, one value per wavelength. The first
// of the two fills data.transfer_cache, the second reuses it.
std::vector<double> get_r_power_vec(Data& data);
std::vector<double> get_t_power_vec(Data& data);

// ---------------------------------------------------------------------------
// Array2 members

template <class T>
Array2<T>::Array2(std::shared_ptr<const T[]> storage, std::size_t size, std::size_t rows,
                  std::size_t cols, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                  std::size_t offset)
    : storage_(std::move(storage)),
      size_(storage_ ? size : 0),
      rows_(rows),
      cols_(cols),
      row_stride_(row_stride),
      col_stride_(col_stride),
      offset_(offset) {
    if (rows == 0 || cols == 0) return;  // no element to address
    constexpr auto kMax = std::numeric_limits<std::ptrdiff_t>::max();
    if (rows > static_cast<std::size_t>(kMax) || cols > static_cast<std::size_t>(kMax) ||
        offset > static_cast<std::size_t>(kMax)) {
        throw std::invalid_argument("Array2: shape or offset too large");
    }
    // The lowest and the highest storage position that an element reaches.
    std::ptrdiff_t row_span = 0;
    std::ptrdiff_t col_span = 0;
    std::ptrdiff_t low = 0;
    std::ptrdiff_t high = 0;
    if (__builtin_mul_overflow(static_cast<std::ptrdiff_t>(rows - 1), row_stride, &row_span) ||
        __builtin_mul_overflow(static_cast<std::ptrdiff_t>(cols - 1), col_stride, &col_span) ||
        __builtin_add_overflow(static_cast<std::ptrdiff_t>(offset),
                               (row_span < 0 ? row_span : 0), &low) ||
        __builtin_add_overflow(low, (col_span < 0 ? col_span : 0), &low) ||
        __builtin_add_overflow(static_cast<std::ptrdiff_t>(offset),
                               (row_span > 0 ? row_span : 0), &high) ||
        __builtin_add_overflow(high, (col_span > 0 ? col_span : 0), &high)) {
        throw std::invalid_argument("Array2: strides overflow");
    }
    if (low < 0 || static_cast<std::size_t>(high) >= size_) {
        throw std::invalid_argument("Array2: an element lies outside the storage");
    }
}

template <class T>
Array2<T>::Array2(std::vector<T> storage, std::size_t rows, std::size_t cols,
                  std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::size_t offset)
    : Array2(Owned(std::move(storage)), rows, cols, row_stride, col_stride, offset) {}

// The vector is kept alive by the shared pointer's control block; the
// pointer itself addresses its elements.
template <class T>
Array2<T>::Array2(const Owned& owned, std::size_t rows, std::size_t cols,
                  std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::size_t offset)
    : Array2(std::shared_ptr<const T[]>(owned.owner, owned.owner->data()), owned.owner->size(),
             rows, cols, row_stride, col_stride, offset) {}

template <class T>
Array2<T> Array2<T>::row_major(std::vector<T> storage, std::size_t rows, std::size_t cols) {
    std::size_t size = 0;
    if (__builtin_mul_overflow(rows, cols, &size) || size != storage.size() ||
        cols > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::invalid_argument("Array2: storage does not hold rows * cols elements");
    }
    return Array2(std::move(storage), rows, cols, static_cast<std::ptrdiff_t>(cols), 1, 0);
}

}  // namespace brenmor
