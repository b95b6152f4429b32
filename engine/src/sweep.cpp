// The sweep over a block of wavelengths (see sweep.hpp).
//
// Every lane of a block runs the operations of transfer_for_wavelength for
// its own wavelength, in the same order; the lane loops below have a fixed
// trip count and no dependence between lanes, so the compiler turns them into
// vector instructions. Vector lanes compute the same IEEE operations as the
// scalar ones, and the engine is built with -ffp-contract=off, so no fused
// multiply-add changes a bit.
#include "sweep.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "brenmor/brenmor.hpp"
#include "complex_ops.hpp"

namespace brenmor::detail {

namespace {

constexpr std::size_t B = kSweepLanes;

// One real value per lane.
struct Reals {
    double v[B];
};

// One complex value per lane, real parts and imaginary parts apart.
struct Lanes {
    double re[B];
    double im[B];
};

// A 2x2 complex matrix per lane, stored column by column like CMatrix2.
struct Matrices {
    Lanes e[4];
};

Lanes lanes_add(const Lanes& a, const Lanes& b) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        r.re[l] = a.re[l] + b.re[l];
        r.im[l] = a.im[l] + b.im[l];
    }
    return r;
}

Lanes lanes_sub(const Lanes& a, const Lanes& b) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        r.re[l] = a.re[l] - b.re[l];
        r.im[l] = a.im[l] - b.im[l];
    }
    return r;
}

// (a + bi)(c + di) = (ac - bd) + (ad + bc)i, as detail::mul.
Lanes lanes_mul(const Lanes& a, const Lanes& b) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        r.re[l] = a.re[l] * b.re[l] - a.im[l] * b.im[l];
        r.im[l] = a.re[l] * b.im[l] + a.im[l] * b.re[l];
    }
    return r;
}

// c^2 + d^2, the denominator of a quotient by c + di.
Reals lanes_norm(const Lanes& b) noexcept {
    Reals r;
    for (std::size_t l = 0; l < B; ++l) r.v[l] = b.re[l] * b.re[l] + b.im[l] * b.im[l];
    return r;
}

// a / b as detail::div, with den = lanes_norm(b) (shared by the quotients
// that have the same divisor).
Lanes lanes_div(const Lanes& a, const Lanes& b, const Reals& den) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        r.re[l] = (a.re[l] * b.re[l] + a.im[l] * b.im[l]) / den.v[l];
        r.im[l] = (a.im[l] * b.re[l] - a.re[l] * b.im[l]) / den.v[l];
    }
    return r;
}

// 1 / b as detail::recip: the quotient (1 + 0i) / b.
Lanes lanes_recip(const Lanes& b, const Reals& den) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        r.re[l] = (1.0 * b.re[l] + 0.0 * b.im[l]) / den.v[l];
        r.im[l] = (0.0 * b.re[l] - 1.0 * b.im[l]) / den.v[l];
    }
    return r;
}

// The full 2x2 product, as detail::mul of two CMatrix2.
Matrices lanes_mul(const Matrices& a, const Matrices& b) noexcept {
    // Column-major positions: (r, c) is e[c * 2 + r].
    Matrices m;
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t r = 0; r < 2; ++r) {
            m.e[c * 2 + r] = lanes_add(lanes_mul(a.e[r], b.e[c * 2]),
                                       lanes_mul(a.e[2 + r], b.e[c * 2 + 1]));
        }
    }
    return m;
}

// What the interface and propagation matrices need of one medium.
struct Medium {
    Lanes index;    // N
    Lanes cosine;   // c = q / N
    Lanes product;  // N c
};

Lanes load_index(const Array2<Complex>& n, std::size_t row, const std::size_t (&column)[B]) noexcept {
    Lanes r;
    for (std::size_t l = 0; l < B; ++l) {
        const Complex value = n(row, column[l]);
        r.re[l] = value.re;
        r.im[l] = value.im;
    }
    return r;
}

// q = sqrt(N N - beta^2) by the principal root, c = q / N. Lanes from
// `used` on repeat lane used - 1 (see sweep), so its root is copied there
// instead of computed again.
Medium medium(const Lanes& index, const Lanes& beta2, std::size_t used) noexcept {
    const Lanes z = lanes_sub(lanes_mul(index, index), beta2);
    Lanes q{};
    for (std::size_t l = 0; l < used; ++l) {
        const Complex root = detail::sqrt({z.re[l], z.im[l]});
        q.re[l] = root.re;
        q.im[l] = root.im;
    }
    for (std::size_t l = used; l < B; ++l) {
        q.re[l] = q.re[used - 1];
        q.im[l] = q.im[used - 1];
    }
    Medium m;
    m.index = index;
    m.cosine = lanes_div(q, index, lanes_norm(index));
    m.product = lanes_mul(index, m.cosine);
    return m;
}

// The interface matrix from the transmission numerator (N_a + N_a) c_a, the
// sum X c_a + Y c_b and the difference X c_a - Y c_b.
Matrices interface_matrix(const Lanes& numerator, const Lanes& sigma, const Lanes& delta) noexcept {
    const Reals sigma_norm = lanes_norm(sigma);
    const Lanes t = lanes_div(numerator, sigma, sigma_norm);
    const Lanes r = lanes_div(delta, sigma, sigma_norm);
    const Reals t_norm = lanes_norm(t);
    const Lanes diagonal = lanes_recip(t, t_norm);
    const Lanes off_diagonal = lanes_div(r, t, t_norm);
    Matrices m;
    m.e[0] = diagonal;
    m.e[1] = off_diagonal;
    m.e[2] = off_diagonal;
    m.e[3] = diagonal;
    return m;
}

// The s and p interface matrices from medium a to medium b.
void interface_matrices(const Medium& a, const Medium& b, Matrices& s, Matrices& p) noexcept {
    const Lanes numerator = lanes_mul(lanes_add(a.index, a.index), a.cosine);
    // s: X = N_a, Y = N_b.
    s = interface_matrix(numerator, lanes_add(a.product, b.product),
                         lanes_sub(a.product, b.product));
    // p: X = N_b, Y = N_a.
    const Lanes xc = lanes_mul(b.index, a.cosine);
    const Lanes yc = lanes_mul(a.index, b.cosine);
    p = interface_matrix(numerator, lanes_add(xc, yc), lanes_sub(xc, yc));
}

// exp(x + i y) and exp(x' - i y) by the complex exponential with its special
// values, for exponents that are not both finite. Kept out of line: the
// compiler then sees the common case's sine and cosine of y alone and makes
// them one sincos call.
[[gnu::noinline, gnu::cold]] void exponentials_of_non_finite(double x, double decay_x, double y,
                                                             Complex& forward,
                                                             Complex& backward) noexcept {
    forward = detail::exp({x, y});
    backward = detail::exp({decay_x, -y});
}

// The phase factors of a layer in one lane: forward = exp(x + i y) and
// backward = exp(x' - i y), with x' = -x.
void exponentials(double x, double decay_x, double y, double& forward_re, double& forward_im,
                  double& backward_re, double& backward_im) noexcept {
    Complex forward;
    Complex backward;
    if (std::isfinite(x) && std::isfinite(y)) {
        // exp(x) (cos y + i sin y) and exp(-x) (cos(-y) + i sin(-y)), with
        // cos(-y) = cos(y) and sin(-y) = -sin(y).
        const double e_forward = std::exp(x);
        const double e_backward = std::exp(decay_x);
        const double c = std::cos(y);
        const double s = std::sin(y);
        forward = {e_forward * c, e_forward * s};
        backward = {e_backward * c, e_backward * -s};
    } else {
        exponentials_of_non_finite(x, decay_x, y, forward, backward);
    }
    forward_re = forward.re;
    forward_im = forward.im;
    backward_re = backward.re;
    backward_im = backward.im;
}

// The propagation matrix of layer medium `layer` of thickness h; the phase
// factors of lanes from `used` on are copied from lane used - 1.
Matrices propagation_matrix(const Medium& layer, const Reals& lambda, double h,
                            std::size_t used) noexcept {
    // k = (N (2 pi c)) / lambda.
    Lanes scaled;
    for (std::size_t l = 0; l < B; ++l) {
        scaled.re[l] = kTwoPi * layer.cosine.re[l];
        scaled.im[l] = kTwoPi * layer.cosine.im[l];
    }
    const Lanes product = lanes_mul(layer.index, scaled);
    // The exponents: exp(i k h) has (-Im k h) + (Re k h) i, exp(-i k h) has
    // (Im k h) - (Re k h) i.
    Reals grow_exponent;
    Reals decay_exponent;
    Reals phase;
    for (std::size_t l = 0; l < B; ++l) {
        const double k_re = product.re[l] / lambda.v[l];
        const double k_im = product.im[l] / lambda.v[l];
        grow_exponent.v[l] = -k_im * h;
        decay_exponent.v[l] = k_im * h;
        phase.v[l] = k_re * h;
    }
    Matrices m{};
    for (std::size_t l = 0; l < used; ++l) {
        exponentials(grow_exponent.v[l], decay_exponent.v[l], phase.v[l], m.e[3].re[l],
                     m.e[3].im[l], m.e[0].re[l], m.e[0].im[l]);
    }
    for (std::size_t l = used; l < B; ++l) {
        for (const std::size_t k : {std::size_t{0}, std::size_t{3}}) {
            m.e[k].re[l] = m.e[k].re[used - 1];
            m.e[k].im[l] = m.e[k].im[used - 1];
        }
    }
    for (std::size_t l = 0; l < B; ++l) {
        m.e[1].re[l] = 0.0;
        m.e[1].im[l] = 0.0;
        m.e[2].re[l] = 0.0;
        m.e[2].im[l] = 0.0;
    }
    return m;
}

void store(const Matrices& m, std::size_t l, CMatrix2& out) noexcept {
    for (std::size_t k = 0; k < 4; ++k) out.e[k] = {m.e[k].re[l], m.e[k].im[l]};
}

}  // namespace

void sweep(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
           double theta, std::size_t begin, std::size_t end, Transfer* out) noexcept {
    const std::size_t media = n.rows();
    const double u = std::sin(theta);
    for (std::size_t first = begin; first < end; first += B) {
        // A block that runs past the end repeats its last wavelength in the
        // spare lanes, which copy that lane's C-library results instead of
        // calling again; their matrices are not stored.
        const std::size_t used = std::min(B, end - first);
        std::size_t column[B];
        for (std::size_t l = 0; l < B; ++l) column[l] = first + std::min(l, used - 1);

        Reals lambda;
        for (std::size_t l = 0; l < B; ++l) lambda.v[l] = wl[column[l]];
        const Lanes n0 = load_index(n, 0, column);
        Lanes beta;
        for (std::size_t l = 0; l < B; ++l) {
            beta.re[l] = u * n0.re[l];
            beta.im[l] = u * n0.im[l];
        }
        const Lanes beta2 = lanes_mul(beta, beta);

        Medium a = medium(n0, beta2, used);
        Medium b = medium(load_index(n, 1, column), beta2, used);
        Matrices s;
        Matrices p;
        interface_matrices(a, b, s, p);

        // Layer j lies between interfaces (j-1, j) and (j, j+1).
        for (std::size_t j = 1; j + 1 < media; ++j) {
            a = b;
            b = medium(load_index(n, j + 1, column), beta2, used);
            const Matrices propagation = propagation_matrix(a, lambda, d[j - 1], used);
            Matrices interface_s;
            Matrices interface_p;
            interface_matrices(a, b, interface_s, interface_p);
            s = lanes_mul(lanes_mul(s, propagation), interface_s);
            p = lanes_mul(lanes_mul(p, propagation), interface_p);
        }

        for (std::size_t l = 0; l < used; ++l) {
            store(s, l, out[first + l].s);
            store(p, l, out[first + l].p);
        }
    }
}

}  // namespace brenmor::detail
