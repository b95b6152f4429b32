// The engine's strided two-dimensional array.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "support.hpp"

namespace brenmor::testing {
namespace {

// A logical 2x3 table a(r, c) = 10 r + c, stored in several layouts.
std::vector<int> c_order() { return {0, 1, 2, 10, 11, 12}; }
std::vector<int> fortran_order() { return {0, 10, 1, 11, 2, 12}; }

void expect_table(const Array2<int>& a) {
    ASSERT_EQ(a.rows(), 2u);
    ASSERT_EQ(a.cols(), 3u);
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(a(r, c), static_cast<int>(10 * r + c));
    }
}

TEST(Array2, COrder) {
    expect_table(Array2<int>(c_order(), 2, 3, 3, 1, 0));
    expect_table(Array2<int>::row_major(c_order(), 2, 3));
}

TEST(Array2, FortranOrder) { expect_table(Array2<int>(fortran_order(), 2, 3, 1, 2, 0)); }

TEST(Array2, ReversedAxes) {
    // Rows stored last to first: {10, 11, 12, 0, 1, 2}.
    expect_table(Array2<int>({10, 11, 12, 0, 1, 2}, 2, 3, -3, 1, 3));
    // Columns stored last to first: {2, 1, 0, 12, 11, 10}.
    expect_table(Array2<int>({2, 1, 0, 12, 11, 10}, 2, 3, 3, -1, 2));
    // Both, in Fortran order: {12, 2, 11, 1, 10, 0}.
    expect_table(Array2<int>({12, 2, 11, 1, 10, 0}, 2, 3, -1, -2, 5));
}

TEST(Array2, OffsetIntoALargerBlock) {
    // Every other element of a padded block, starting at 1.
    std::vector<int> block = {-1, 0, -1, 1, -1, 2, -1, -1, 10, -1, 11, -1, 12, -1};
    expect_table(Array2<int>(block, 2, 3, 7, 2, 1));
}

TEST(Array2, ZeroStrideRepeatsARow) {
    const Array2<int> a({5, 6, 7}, 4, 3, 0, 1, 0);
    for (std::size_t r = 0; r < 4; ++r) EXPECT_EQ(a(r, 2), 7);
}

TEST(Array2, EmptyShapesNeedNoStorage) {
    EXPECT_NO_THROW(Array2<int>({}, 0, 5, 5, 1, 0));
    EXPECT_NO_THROW(Array2<int>({}, 5, 0, 1, 1, 100));
    EXPECT_NO_THROW(Array2<int>::row_major({}, 0, 3));
    const Array2<int> empty;
    EXPECT_EQ(empty.rows(), 0u);
    EXPECT_EQ(empty.cols(), 0u);
}

struct BadLayout {
    std::size_t size, rows, cols;
    std::ptrdiff_t row_stride, col_stride;
    std::size_t offset;
};

void PrintTo(const BadLayout& b, std::ostream* os) {
    *os << b.size << " in " << b.rows << "x" << b.cols << " strides " << b.row_stride << ","
        << b.col_stride << " offset " << b.offset;
}

class Array2Rejects : public ::testing::TestWithParam<BadLayout> {};

TEST_P(Array2Rejects, ElementsOutsideTheBlock) {
    const BadLayout b = GetParam();
    EXPECT_THROW(Array2<int>(std::vector<int>(b.size), b.rows, b.cols, b.row_stride,
                             b.col_stride, b.offset),
                 std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Array2Rejects,
    ::testing::Values(BadLayout{5, 2, 3, 3, 1, 0},      // one element short
                      BadLayout{6, 2, 3, 3, 1, 1},      // offset pushes the last one out
                      BadLayout{6, 2, 3, -3, 1, 2},     // reversed rows, offset too small
                      BadLayout{6, 2, 3, 3, -1, 1},     // reversed columns, offset too small
                      BadLayout{6, 1, 1, 0, 0, 6},      // offset at the end
                      BadLayout{6, 2, 2, PTRDIFF_MAX, 1, 0},  // stride overflows
                      BadLayout{6, 3, 2, PTRDIFF_MIN, 1, 0},  // stride overflows downwards
                      BadLayout{6, SIZE_MAX, 1, 1, 1, 0},     // rows beyond ptrdiff_t
                      BadLayout{0, 1, 1, 1, 1, 0}));          // no storage at all

TEST(Array2, RowMajorNeedsExactlyRowsTimesCols) {
    EXPECT_THROW(Array2<int>::row_major(std::vector<int>(5), 2, 3), std::invalid_argument);
    EXPECT_THROW(Array2<int>::row_major(std::vector<int>(7), 2, 3), std::invalid_argument);
    EXPECT_THROW(Array2<int>::row_major(std::vector<int>(1), SIZE_MAX, 2), std::invalid_argument);
}

// The stack's n in C order, Fortran order and with reversed axes gives the
// same matrices, on both paths.
TEST(Array2, LayoutOfNDoesNotChangeTheTransfers) {
    for (const std::size_t count : {9u, 150u}) {
        const Data plain = dispersive_stack(4, count);
        const std::size_t rows = plain.n.rows();
        const std::size_t cols = plain.n.cols();
        std::vector<Complex> fortran(rows * cols), reversed_rows(rows * cols),
            reversed_cols(rows * cols);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                fortran[c * rows + r] = plain.n(r, c);
                reversed_rows[(rows - 1 - r) * cols + c] = plain.n(r, c);
                reversed_cols[r * cols + (cols - 1 - c)] = plain.n(r, c);
            }
        }
        const auto rs = static_cast<std::ptrdiff_t>(rows);
        const auto cs = static_cast<std::ptrdiff_t>(cols);
        const std::vector<Array2<Complex>> layouts = {
            Array2<Complex>(fortran, rows, cols, 1, rs, 0),
            Array2<Complex>(reversed_rows, rows, cols, -cs, 1, (rows - 1) * cols),
            Array2<Complex>(reversed_cols, rows, cols, cs, -1, cols - 1),
        };
        const std::vector<Transfer> expected = transfer_calc(plain);
        for (const Array2<Complex>& layout : layouts) {
            Data other = copy_stack(plain);
            other.n = layout;
            const std::vector<Transfer> got = transfer_calc(other);
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(same_bits(got[i], expected[i]));
            Data a = copy_stack(plain);
            EXPECT_TRUE(same_bits(get_t_power_vec(a), get_t_power_vec(other)));
        }
    }
}

}  // namespace
}  // namespace brenmor::testing
