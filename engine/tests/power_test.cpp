// The reflectance and transmittance of every kernel variant this processor
// runs, against the reference operation order: to rounding on ordinary
// stacks, and exactly the reference's value (finite or not) wherever the
// kernel's squared moduli do not apply.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "kernel/variants.hpp"
#include "spectra_reference.hpp"
#include "transfers.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using kernel::Variant;

struct Powers {
    std::vector<double> r;
    std::vector<double> t;
};

kernel::OuterMedia outer_media(const Data& data) {
    const Array2<Complex>& n = data.n;
    const Complex* column_zero = n.storage().data() + n.offset();
    return {column_zero, column_zero + static_cast<std::ptrdiff_t>(n.rows() - 1) * n.row_stride(),
            n.col_stride(), std::sin(data.theta), std::cos(data.theta)};
}

kernel::PowerWeights weights_of(double phi) {
    const double s = std::sin(phi);
    const double c = std::cos(phi);
    return {c * c, s * s};
}

// The variant's own values, NaN where it leaves a wavelength to the reference.
Powers variant_powers(const Variant& variant, const Data& data,
                      const std::vector<Transfer>& transfers) {
    Powers out{std::vector<double>(transfers.size()), std::vector<double>(transfers.size())};
    const kernel::PowerWeights weights = weights_of(data.phi);
    variant.reflectances(transfers.data(), transfers.size(), weights, out.r.data());
    variant.transmittances(transfers.data(), transfers.size(), weights, outer_media(data),
                           out.t.data());
    return out;
}

Powers reference_powers(const Data& data, const std::vector<Transfer>& transfers) {
    Powers out;
    const kernel::PowerWeights weights = weights_of(data.phi);
    const std::size_t exit = data.n.rows() - 1;
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        out.r.push_back(detail::reference_reflectance(transfers[i], weights));
        out.t.push_back(detail::reference_transmittance(transfers[i], weights, data.n(0, i),
                                                        data.n(exit, i), data.theta));
    }
    return out;
}

class PowerSpectra : public ::testing::TestWithParam<const Variant*> {};

// Absorbing multilayers at several angles and polarisations, up to 37
// wavelengths (every tail length of every lane count): each value within a
// few units in the last place of the reference order's, none left to it.
TEST_P(PowerSpectra, AgreeWithTheReferenceOrderToRounding) {
    const Variant& variant = *GetParam();
    for (const double theta : {0.0, 0.4, 1.2}) {
        for (const double phi : {0.0, 0.7, M_PI / 2}) {
            for (const std::size_t count : {1u, 2u, 7u, 9u, 37u}) {
                const Data data = dispersive_stack(5, count, 0, theta, phi);
                const std::vector<Transfer> transfers = detail::transfer_calc_with(variant, data);
                const Powers got = variant_powers(variant, data, transfers);
                const Powers want = reference_powers(data, transfers);
                for (std::size_t i = 0; i < count; ++i) {
                    const std::string where = std::string(variant.name) + " theta " +
                                              std::to_string(theta) + " phi " +
                                              std::to_string(phi) + " i " + std::to_string(i);
                    EXPECT_EQ(close_values(got.r[i], want.r[i], 1e-14, 0.0), "") << where;
                    EXPECT_EQ(close_values(got.t[i], want.t[i], 1e-14, 0.0), "") << where;
                }
            }
        }
    }
}

// Transfers outside the squared moduli's range, or stored with an exponent,
// are left to the reference (NaN here), whatever the lanes beside them
// hold; get_r_power_vec and get_t_power_vec then give the reference's value
// bit for bit, finite or not.
TEST_P(PowerSpectra, LeaveWhatTheyDoNotCarryToTheReference) {
    const Variant& variant = *GetParam();
    const CMatrix2 ordinary = diagonal_matrix({1.25, 0.1}, {-0.25, 0.05});
    const std::vector<Transfer> specials = {
        Transfer{ordinary, ordinary, 0.0, 40.0},                          // scaled
        Transfer{diagonal_matrix({1e200, 0.0}, {1.0, 0.0}), ordinary},   // |M00|^2 overflows
        Transfer{ordinary, diagonal_matrix({1e-200, 0.0}, {0.1, 0.0})},  // underflows
        Transfer{diagonal_matrix({0.0, 0.0}, {0.5, 0.0}), ordinary},     // r and t infinite
        Transfer{diagonal_matrix({kNaN, 0.0}, {0.5, 0.0}), ordinary},
        Transfer{diagonal_matrix({1.0, 0.0}, {kInf, 0.0}), ordinary},
        Transfer{diagonal_matrix({1.0, 0.0}, {1e-155, 0.0}), ordinary},  // |M10|^2 subnormal
    };
    for (std::size_t position : {0u, 3u, 8u}) {
        for (const Transfer& special : specials) {
            Data data = dispersive_stack(1, 11, 0, 0.3, 0.6);
            std::vector<Transfer> transfers(11, Transfer{ordinary, ordinary});
            transfers[position] = special;
            const Powers got = variant_powers(variant, data, transfers);
            EXPECT_TRUE(std::isnan(got.r[position]) || std::isnan(got.t[position]))
                << variant.name << " " << position;
            for (std::size_t i = 0; i < transfers.size(); ++i) {
                if (i != position) {
                    EXPECT_FALSE(std::isnan(got.r[i]) || std::isnan(got.t[i])) << variant.name;
                }
            }

            const Powers want = reference_powers(data, transfers);
            data.transfer_cache.set(transfers);
            const std::vector<double> r = get_r_power_vec(data);
            const std::vector<double> t = get_t_power_vec(data);
            const auto check = [&](double value, double reference, bool left) {
                if (left) {
                    EXPECT_TRUE(same_value(value, reference)) << value << " vs " << reference;
                } else {
                    EXPECT_EQ(close_values(value, reference, 1e-14, 0.0), "");
                }
            };
            check(r[position], want.r[position], std::isnan(got.r[position]));
            check(t[position], want.t[position], std::isnan(got.t[position]));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, PowerSpectra,
                         ::testing::ValuesIn(kernel::supported_variants()),
                         [](const auto& param_info) { return std::string(param_info.param->name); });

}  // namespace
}  // namespace brenmor::testing
