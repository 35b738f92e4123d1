#include "quelby/sparse/csr.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/sparse/csr_literal.hpp"

namespace quelby {
namespace {

using Dense = std::vector<std::vector<double>>;

// The 3 by 3 matrix with rows (4, -1, 0), (-1, 4, -1), (0, -1, 4).
CsrMatrix tridiagonal() {
  return {{4, -1, -1, 4, -1, -1, 4}, {0, 1, 0, 1, 2, 1, 2}, {0, 2, 5, 7}};
}

Dense to_dense(const CsrMatrix& a, std::size_t n_columns) {
  Dense dense(static_cast<std::size_t>(csr_row_count(a)), std::vector<double>(n_columns, 0.0));
  for (std::size_t i = 0; i < dense.size(); ++i)
    for (auto k = a.row_start[i]; k < a.row_start[i + 1]; ++k)
      dense[i][static_cast<std::size_t>(a.columns[k])] += a.values[k];
  return dense;
}

std::vector<std::uint64_t> bits(const std::vector<double>& values, std::size_t count) {
  std::vector<std::uint64_t> result;
  for (std::size_t k = 0; k < count; ++k) result.push_back(std::bit_cast<std::uint64_t>(values[k]));
  return result;
}

// Same row starts, and the same columns and value bits at every stored position.
void expect_same_matrix(const CsrMatrix& fast, const CsrMatrix& reference) {
  ASSERT_EQ(fast.row_start, reference.row_start);
  const auto count = static_cast<std::size_t>(reference.row_start.back());
  ASSERT_GE(fast.values.size(), count);
  ASSERT_GE(fast.columns.size(), count);
  EXPECT_EQ(std::vector(fast.columns.begin(), fast.columns.begin() + count),
            std::vector(reference.columns.begin(), reference.columns.begin() + count));
  EXPECT_EQ(bits(fast.values, count), bits(reference.values, count));
}

TEST(CsrMatrix, MultipliesTheWorkedExample) {
  const CsrMatrix a = tridiagonal();
  const std::vector<double> x{1, 2, 3};
  std::vector<double> y(3);
  csr_multiply(a, x, y);
  EXPECT_EQ(y, (std::vector<double>{2, 4, 10}));
  std::vector<double> yt{9, 9, 9};
  csr_multiply_transposed(a, x, yt);
  EXPECT_EQ(yt, (std::vector<double>{2, 4, 10}));
  EXPECT_EQ(csr_quadratic_form(a, x), 40.0);

  CsrMatrix input = tridiagonal();
  CsrMatrix g;
  csr_weighted_gram(input, std::vector<double>{1, 1, 1}, 3, g);
  EXPECT_EQ(g.row_start, (std::vector<std::int32_t>{0, 3, 6, 9}));
  EXPECT_EQ(to_dense(g, 3), (Dense{{17, -8, 1}, {-8, 18, -8}, {1, -8, 17}}));
}

TEST(CsrMatrix, HandlesEmptyRowsRepeatedAndOutOfRangeColumns) {
  // Row 1 is empty; row 2 holds a column that names nothing and repeats column 2.
  const CsrMatrix a{{2, 5, 1, 7, 3, 11}, {1, 2, -1, 2, 0, 2}, {0, 2, 2, 6}};
  CsrMatrix t;
  csr_transpose(a, 3, t);
  EXPECT_EQ(t.row_start, (std::vector<std::int32_t>{0, 1, 2, 4}));
  EXPECT_EQ(std::vector(t.columns.begin(), t.columns.begin() + 4),
            (std::vector<std::int32_t>{2, 0, 0, 2}));
  EXPECT_EQ(std::vector(t.values.begin(), t.values.begin() + 4), (std::vector<double>{3, 2, 5, 7}));

  CsrMatrix c;
  csr_scaled_product(a, std::vector<double>{1, 1, 1}, a, 3, c);
  EXPECT_EQ(c.row_start[1], c.row_start[2]);

  CsrMatrix input = a;
  CsrMatrix g;
  csr_weighted_gram(input, std::vector<double>{1, 1, 1}, 3, g);
  EXPECT_EQ(g.row_start, (std::vector<std::int32_t>{0, 2, 4, 7}));
  EXPECT_EQ(to_dense(g, 3), (Dense{{9, 0, 21}, {0, 4, 10}, {21, 10, 74}}));
  expect_same_matrix(input, t);

  // The rewritten input multiplies as the transpose of the original.
  const CsrMatrix original{{2, 5, 7, 3}, {1, 2, 2, 0}, {0, 2, 2, 4}};
  input = original;
  csr_weighted_gram(input, std::vector<double>{1, 1, 1}, 3, g);
  const std::vector<double> x{1, -2, 4};
  std::vector<double> expected{9, 9, 9}, y{9, 9, 9};
  csr_multiply_transposed(original, x, expected);
  csr_multiply(input, x, y);
  EXPECT_EQ(y, expected);
  EXPECT_EQ(expected, (std::vector<double>{12, 2, 33}));
  csr_multiply(original, x, y);
  EXPECT_EQ(y[1], 0.0);  // the empty row
  std::vector<double> cleared{9, 9, 9};
  csr_multiply_transposed(original, std::vector<double>{0, 1, 0}, cleared);
  EXPECT_EQ(cleared, (std::vector<double>{0, 0, 0}));
}

TEST(CsrMatrix, DropsExactCancellationOnlyInTheScaledProduct) {
  // Columns 0 and 1 of A cancel: (A^T A)(0, 1) = 1 - 1 = 0.
  const CsrMatrix a{{1, 1, 1, -1}, {0, 1, 0, 1}, {0, 2, 4}};
  CsrMatrix at;
  csr_transpose(a, 2, at);
  CsrMatrix c;
  csr_scaled_product(at, std::vector<double>{1, 1}, a, 2, c);
  EXPECT_EQ(c.row_start, (std::vector<std::int32_t>{0, 1, 2}));

  CsrMatrix input = a;
  CsrMatrix g;
  csr_weighted_gram(input, std::vector<double>{1, 1}, 2, g);
  EXPECT_EQ(g.row_start, (std::vector<std::int32_t>{0, 2, 4}));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(g.values[1]), 0u);  // +0, not -0
}

TEST(CsrMatrix, HeapsortListsKeysInHeapOrder) {
  const struct {
    std::vector<std::int32_t> keys;
    std::vector<std::int32_t> index;
  } cases[] = {{{}, {}},
               {{5}, {0}},
               {{7, 3, 5}, {1, 2, 0}},
               {{1, 1, 1}, {1, 2, 0}},
               {{4, 1, 3, 1, 2}, {3, 1, 4, 2, 0}}};
  for (const auto& test : cases) {
    std::vector<std::int32_t> index(test.keys.size(), -7);
    index_heapsort(test.keys, index);
    EXPECT_EQ(index, test.index) << "keys of length " << test.keys.size();
  }
  std::mt19937 random(7);
  for (std::size_t n = 0; n < 200; ++n) {
    std::vector<std::int32_t> keys(n % 50), index(keys.size()), reference(keys.size());
    const int spread = std::uniform_int_distribution(0, 12)(random);
    for (auto& key : keys) key = std::uniform_int_distribution(0, spread)(random);
    index_heapsort(keys, index);
    literal::index_heapsort(keys, reference);
    EXPECT_EQ(index, reference);
  }
}

TEST(CsrMatrix, RefusesArgumentsOfTheWrongSize) {
  const CsrMatrix a = tridiagonal();
  CsrMatrix out;
  std::vector<double> four(4);
  const std::vector<double> two(2);
  std::vector<std::int32_t> index(2);
  EXPECT_THROW(csr_multiply(a, four, four), std::invalid_argument);
  EXPECT_THROW(csr_multiply_transposed(a, four, four), std::invalid_argument);
  EXPECT_THROW(csr_quadratic_form(a, four), std::invalid_argument);
  EXPECT_THROW(csr_transpose(a, -1, out), std::invalid_argument);
  EXPECT_THROW(csr_scaled_product(a, two, a, 3, out), std::invalid_argument);
  EXPECT_THROW(csr_scaled_product(a, four, a, 4, out), std::invalid_argument);
  CsrMatrix input = tridiagonal();
  EXPECT_THROW(csr_weighted_gram(input, two, 3, out), std::invalid_argument);
  EXPECT_THROW(index_heapsort(std::vector<std::int32_t>{1, 2, 3}, index), std::invalid_argument);
}

TEST(CsrMatrix, SkipsColumnsBeyondXInsteadOfReadingThem) {
#ifndef NDEBUG
  GTEST_SKIP() << "out-of-range columns trip an assertion in debug builds";
#endif
  const CsrMatrix a{{1, 1, 1}, {0, 5, -3}, {0, 3}};
  std::vector<double> y(1);
  csr_multiply(a, std::vector<double>{2}, y);
  EXPECT_EQ(y[0], 2.0);
  csr_multiply_transposed(a, std::vector<double>{2}, y);
  EXPECT_EQ(y[0], 2.0);
  EXPECT_EQ(csr_quadratic_form(a, std::vector<double>{2}), 4.0);
}

// Random matrices whose values are small integers, so that every product is exact and a dense
// computation is a reference independent of summation order.
TEST(CsrMatrix, AgreesWithDenseProducts) {
  std::mt19937 random(12345);
  auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution(low, high)(random);
  };
  auto random_matrix = [&](std::size_t n) {
    CsrMatrix a{{}, {}, {0}};
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        if (uniform(0, 2) != 0) continue;
        a.columns.push_back(static_cast<std::int32_t>(j));
        a.values.push_back(uniform(-3, 3));
      }
      a.row_start.push_back(static_cast<std::int32_t>(a.columns.size()));
    }
    return a;
  };
  for (int trial = 0; trial < 200; ++trial) {
    const auto n = static_cast<std::size_t>(uniform(0, 8));
    const CsrMatrix a = random_matrix(n);
    const CsrMatrix b = random_matrix(n);
    std::vector<double> x(n), e(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = uniform(-4, 4), e[i] = uniform(-2, 2);
    const Dense da = to_dense(a, n), db = to_dense(b, n);
    Dense transposed(n, std::vector<double>(n)), scaled = transposed, gram = transposed;
    std::vector<double> ax(n), atx(n), y(n);
    double quadratic = 0;
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        ax[i] += da[i][j] * x[j];
        atx[j] += da[i][j] * x[i];
        transposed[j][i] = da[i][j];
        for (std::size_t l = 0; l < n; ++l) {
          scaled[i][j] += da[i][l] * e[l] * db[l][j];
          gram[i][j] += da[l][i] * e[l] * da[l][j];
        }
      }
    }
    for (std::size_t i = 0; i < n; ++i) quadratic += x[i] * ax[i];
    SCOPED_TRACE("trial " + std::to_string(trial));
    csr_multiply(a, x, y);
    EXPECT_EQ(y, ax);
    csr_multiply_transposed(a, x, y);
    EXPECT_EQ(y, atx);
    EXPECT_EQ(csr_quadratic_form(a, x), quadratic);
    const auto size = static_cast<std::int32_t>(n);
    CsrMatrix out;
    csr_transpose(a, size, out);
    EXPECT_EQ(to_dense(out, n), transposed);
    csr_scaled_product(a, e, b, size, out);
    EXPECT_EQ(to_dense(out, n), scaled);
    for (std::size_t k = 0; k < static_cast<std::size_t>(out.row_start[n]); ++k)
      EXPECT_NE(out.values[k], 0.0);
    CsrMatrix input = a;
    csr_weighted_gram(input, e, size, out);
    EXPECT_EQ(to_dense(out, n), gram);
  }
}

// Random matrices with everything the scanning loops have rules for: empty rows, an offset before
// the first row, overlapping row ranges, repeated and out-of-range columns, unsorted rows, zeros of
// both signs, values that cancel, NaN and infinities, and outputs that already hold entries.
class RandomInputs {
 public:
  double value() {
    const int kind = uniform(0, 19);
    if (kind == 0) return nan_;
    if (kind == 1) return uniform(0, 1) ? infinity_ : -infinity_;
    if (kind == 2) return -0.0;
    if (kind == 3) return std::uniform_real_distribution(-2.0, 2.0)(random_);
    return uniform(-2, 2) * 0.5;
  }

  std::vector<double> vector(std::size_t n) {
    std::vector<double> v(n);
    for (auto& element : v) element = value();
    return v;
  }

  CsrMatrix matrix(std::int32_t rows, std::int32_t n_columns) {
    const int density = uniform(0, 3) == 0 ? uniform(0, 100) : uniform(0, 25);
    CsrMatrix a{{}, {}, {}};
    auto append = [&](std::int32_t column) {
      a.columns.push_back(column);
      a.values.push_back(value());
    };
    for (int k = uniform(0, 2); k > 0; --k) append(0);  // an offset before the first row
    for (std::int32_t i = 0; i < rows; ++i) {
      a.row_start.push_back(static_cast<std::int32_t>(a.columns.size()));
      if (uniform(0, 5) == 0) continue;
      for (std::int32_t j = 0; j < n_columns; ++j)
        if (uniform(0, 99) < density) append(j);
      const auto row_begin = static_cast<std::size_t>(a.row_start.back());
      if (uniform(0, 3) == 0 && a.columns.size() > row_begin)  // a repeated column
        append(a.columns[row_begin + static_cast<std::size_t>(uniform(0, 99)) %
                                         (a.columns.size() - row_begin)]);
      if (uniform(0, 3) == 0) {
        const std::int32_t outside[] = {-1, n_columns, n_columns + 3,
                                        std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max()};
        append(outside[uniform(0, 4)]);
      }
      if (uniform(0, 2) == 0) std::shuffle(a.columns.begin() + row_begin, a.columns.end(), random_);
    }
    a.row_start.push_back(static_cast<std::int32_t>(a.columns.size()));
    if (uniform(0, 9) == 0) {  // row ranges in any order, overlapping or reversed
      for (auto& start : a.row_start) start = uniform(0, static_cast<int>(a.columns.size()));
    }
    a.values.resize(a.values.size() + static_cast<std::size_t>(uniform(0, 3)), 99.0);
    a.columns.resize(a.values.size(), 0);
    return a;
  }

  // An output matrix that already holds some entries and capacity.
  CsrMatrix used_output() {
    const auto size = static_cast<std::size_t>(uniform(0, 60));
    return {std::vector<double>(size, 7.0), std::vector<std::int32_t>(size, 5), {0, 0}};
  }

  int uniform(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }

 private:
  std::mt19937 random_{20240607};
  double infinity_ = std::numeric_limits<double>::infinity();
  // The NaN the arithmetic itself produces, so that every NaN in a run has the same bits.
  volatile double volatile_infinity_ = std::numeric_limits<double>::infinity();
  double nan_ = volatile_infinity_ - volatile_infinity_;
};

TEST(CsrMatrix, MatchesTheScanningLoopsBitForBit) {
  RandomInputs random;
  // One workspace through all trials, as a caller making many products keeps it: what a larger
  // product left in it must not show in a smaller one.
  CsrWorkspace work;
  for (int trial = 0; trial < 3000; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const std::int32_t n = random.uniform(0, 40);
    const std::int32_t m = random.uniform(0, 3) == 0 ? random.uniform(0, 40) : n;
    const CsrMatrix a = random.matrix(m, n);

    CsrMatrix fast = random.used_output(), reference = fast;
    CsrMatrix reused = fast;
    csr_transpose(a, n, fast);
    literal::transpose(a, n, reference);
    expect_same_matrix(fast, reference);
    csr_transpose(a, n, reused, work);
    expect_same_matrix(reused, reference);

    const CsrMatrix left = random.matrix(n + random.uniform(0, 2), n);
    const CsrMatrix right = random.matrix(n, n);
    const std::vector<double> e = random.vector(static_cast<std::size_t>(n));
    fast = random.used_output();
    reference = fast;
    reused = fast;
    csr_scaled_product(left, e, right, n, fast);
    literal::scaled_product(left, e, right, n, reference);
    expect_same_matrix(fast, reference);
    csr_scaled_product(left, e, right, n, reused, work);
    expect_same_matrix(reused, reference);

    const std::vector<double> b = random.vector(static_cast<std::size_t>(m));
    CsrMatrix fast_input = a, literal_input = a;
    fast = random.used_output();
    reference = fast;
    CsrMatrix reused_input = a;
    reused = fast;
    csr_weighted_gram(fast_input, b, n, fast);
    literal::weighted_gram(literal_input, b, n, reference);
    expect_same_matrix(fast, reference);
    expect_same_matrix(fast_input, literal_input);
    csr_weighted_gram(reused_input, b, n, reused, work);
    expect_same_matrix(reused, reference);
    expect_same_matrix(reused_input, literal_input);

    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace quelby
