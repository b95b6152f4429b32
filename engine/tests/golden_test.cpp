// The reference operation order against the golden matrices of
// tests/data/reference_matrices.txt, which its Python copy
// (tests/reference_order.py) is checked against too: the two cannot drift
// apart unnoticed. With glibc, whose sin, cos, exp, hypot and atan2 wrote the
// file, bit for bit; with another C library to rounding, since its functions
// may round differently in the last place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

#ifndef BRENMOR_GOLDEN_MATRICES
#error "the build gives the path of tests/data/reference_matrices.txt"
#endif

namespace brenmor::testing {
namespace {

std::vector<double> hex_numbers(const std::string& field) {
    std::istringstream words(field);
    std::vector<double> out;
    for (std::string word; words >> word;) out.push_back(std::strtod(word.c_str(), nullptr));
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t bar; (bar = line.find(" | ", start)) != std::string::npos; start = bar + 3) {
        out.push_back(line.substr(start, bar - start));
    }
    out.push_back(line.substr(start));
    return out;
}

TEST(GoldenMatrices, TheReferenceOrderGivesTheFilesMatrices) {
    std::ifstream file(BRENMOR_GOLDEN_MATRICES);
    ASSERT_TRUE(file) << BRENMOR_GOLDEN_MATRICES;
    std::size_t checked = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> parts = fields(line);
        ASSERT_EQ(parts.size(), 5u) << line;
        const std::vector<double> angle_and_wavelength = hex_numbers(parts[0]);
        const std::vector<double> indices = hex_numbers(parts[3]);
        const std::vector<double> expected = hex_numbers(parts[4]);
        ASSERT_EQ(expected.size(), 8u) << line;
        std::vector<Complex> media;
        for (std::size_t k = 0; k + 1 < indices.size(); k += 2) {
            media.push_back({indices[k], indices[k + 1]});
        }
        const Data data = uniform_stack(media, hex_numbers(parts[2]), {angle_and_wavelength[1]},
                                        angle_and_wavelength[0]);
        const CMatrix2 m = transfer_for_wavelength(data, 0, parts[1] == "p");
        double largest = 0.0;
        for (const double value : expected) largest = std::max(largest, std::fabs(value));
        for (std::size_t k = 0; k < 8; ++k) {
            const double got = k % 2 == 0 ? m.e[k / 2].re : m.e[k / 2].im;
#if defined(__GLIBC__)
            EXPECT_EQ(bits(got), bits(expected[k])) << line << " element " << k;
#else
            EXPECT_NEAR(got, expected[k], 1e-14 * largest) << line << " element " << k;
#endif
        }
        ++checked;
    }
    EXPECT_EQ(checked, 12u);
}

}  // namespace
}  // namespace brenmor::testing
