// Reflectance and transmittance spectra from the cached transfers.
//
// The chosen kernel variant computes both spectra with squared moduli, on
// the calling thread (kernel/power.hpp); the wavelengths it leaves to the
// reference get the textbook quotients, hypot and the polar square root
// below, in the reference operation order.
#include <cmath>
#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "complex_ops.hpp"
#include "kernel/variants.hpp"
#include "spectra_reference.hpp"

namespace brenmor {

namespace {

// The transfers of the record: computed and stored on the first request,
// reused afterwards. A failed computation leaves the cache empty.
const std::vector<Transfer>& cached_transfers(Data& data) {
    if (const std::vector<Transfer>* cached = data.transfer_cache.get()) return *cached;
    return data.transfer_cache.set(transfer_calc(data));
}

kernel::PowerWeights power_weights(double phi) {
    const detail::SinCos2 weight = detail::sin_cos_squared(phi);
    return {weight.cos2, weight.sin2};
}

}  // namespace

std::vector<double> get_r_power_vec(Data& data) {
    const std::vector<Transfer>& transfers = cached_transfers(data);
    const kernel::PowerWeights weights = power_weights(data.phi);
    std::vector<double> r(transfers.size());
    kernel::chosen_variant().reflectances(transfers.data(), transfers.size(), weights, r.data());
    for (std::size_t i = 0; i < r.size(); ++i) {
        if (std::isnan(r[i])) r[i] = detail::reference_reflectance(transfers[i], weights);
    }
    return r;
}

std::vector<double> get_t_power_vec(Data& data) {
    const std::vector<Transfer>& transfers = cached_transfers(data);
    const kernel::PowerWeights weights = power_weights(data.phi);
    const Array2<Complex>& n = data.n;
    const std::size_t count = transfers.size();
    // Only the incidence and the exit medium enter, so this is not the
    // stack's rule (stack_shape.hpp), which a cache filled from this record
    // has met already: a cache filled by hand still needs the outer media of
    // every wavelength.
    if (count > 0 && (n.rows() == 0 || n.cols() < count)) panic(kIndexOutOfBounds);

    std::vector<double> t(count);
    if (count == 0) return t;
    const Complex* const column_zero = n.storage().data() + n.offset();
    const Complex* const exit_column_zero =
        column_zero + static_cast<std::ptrdiff_t>(n.rows() - 1) * n.row_stride();
    const kernel::OuterMedia media{column_zero, exit_column_zero, n.col_stride(),
                                   std::sin(data.theta), std::cos(data.theta)};
    kernel::chosen_variant().transmittances(transfers.data(), count, weights, media, t.data());
    for (std::size_t i = 0; i < count; ++i) {
        if (std::isnan(t[i])) {
            t[i] = detail::reference_transmittance(transfers[i], weights, n(0, i),
                                                   n(n.rows() - 1, i), data.theta);
        }
    }
    return t;
}

}  // namespace brenmor
