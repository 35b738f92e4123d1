#include "quelby/sparse/csr.hpp"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "quelby/base/huge_pages.hpp"

namespace quelby {
namespace {

constexpr std::int64_t max_entries = std::numeric_limits<std::int32_t>::max();

// The running sum of one output column and the stamp of the latest term added to it, side by side
// so that a term touches one cache line.
using ColumnSum = CsrWorkspace::ColumnSum;

struct RowRange {
  std::size_t begin;
  std::size_t end;
};

// Read access to a matrix through spans, so that the hot loops keep the array addresses in
// registers instead of reloading them from the vectors after every store.
struct CsrView {
  std::span<const double> values;
  std::span<const std::int32_t> columns;
  std::span<const std::int32_t> row_start;

  explicit CsrView(const CsrMatrix& a)
      : values(a.values), columns(a.columns), row_start(a.row_start) {}

  std::size_t rows() const { return row_start.empty() ? 0 : row_start.size() - 1; }

  // A row whose end lies before its start is empty.
  RowRange row(std::size_t i) const {
    const std::int32_t first = row_start[i];
    const std::int32_t last = row_start[i + 1];
    if (last <= first) return {0, 0};
    assert(first >= 0);
    assert(static_cast<std::size_t>(last) <= std::min(values.size(), columns.size()));
    return {static_cast<std::size_t>(first), static_cast<std::size_t>(last)};
  }

  std::size_t row_length(std::size_t i) const {
    const RowRange range = row(i);
    return range.end - range.begin;
  }
};

bool in_range(std::int32_t index, std::size_t count) {
  return index >= 0 && static_cast<std::size_t>(index) < count;
}

void require(bool condition, const char* function, const char* what) {
  if (!condition) throw std::invalid_argument(std::string(function) + ": " + what);
}

// Writes the entries of an output matrix in order: over the caller's existing elements first, then
// appended, so the arrays end at max(size on entry, entries written) and nothing is zero-filled.
class EntryWriter {
 public:
  // `expected` is an estimate of the entries to come, reserved up front so that appending does
  // not move the arrays again and again.
  EntryWriter(CsrMatrix& out, std::size_t expected) : out_(out) {
    reserve_with_huge_pages(out.values, expected);
    reserve_with_huge_pages(out.columns, expected);
  }

  std::int32_t position() const { return static_cast<std::int32_t>(count_); }

  void push(std::int32_t column, double value) {
    if (count_ == static_cast<std::size_t>(max_entries))
      throw std::length_error("sparse matrix with more than 2^31 - 1 entries");
    if (count_ < out_.values.size()) {
      out_.values[count_] = value;
    } else {
      out_.values.push_back(value);
    }
    if (count_ < out_.columns.size()) {
      out_.columns[count_] = column;
    } else {
      out_.columns.push_back(column);
    }
    ++count_;
  }

 private:
  CsrMatrix& out_;
  std::size_t count_ = 0;
};

// An estimate for EntryWriter: the number of products a computation forms bounds its entries, but
// can be far above them, so it is capped by a multiple of the input size.
std::size_t expected_entries(std::int64_t products, std::size_t input_size) {
  const std::size_t cap = std::min<std::size_t>(4 * input_size + 64, max_entries);
  return std::min(static_cast<std::size_t>(std::max<std::int64_t>(products, 0)), cap);
}

// Makes sure `out` can hold `count` entries without shrinking it.
void reserve_entries(CsrMatrix& out, std::size_t count) {
  reserve_with_huge_pages(out.values, count);
  reserve_with_huge_pages(out.columns, count);
  if (out.values.size() < count) out.values.resize(count);
  if (out.columns.size() < count) out.columns.resize(count);
}

// Sorts the columns of one output row, collected in first-touch order. Rows are short, so insertion
// sort does it with the least overhead; long rows take std::sort.
void sort_columns(std::vector<std::int32_t>& columns) {
  const std::size_t count = columns.size();
  if (count > 32) {
    std::sort(columns.begin(), columns.end());
    return;
  }
  for (std::size_t k = 1; k < count; ++k) {
    const std::int32_t column = columns[k];
    std::size_t slot = k;
    for (; slot > 0 && columns[slot - 1] > column; --slot) columns[slot] = columns[slot - 1];
    columns[slot] = column;
  }
}

// Calls visit(row, k, column) for every entry k of `matrix`, rows in ascending order, whose column
// lies in 0..n_columns-1.
template <class Visit>
void for_each_entry_in_range(const CsrView& matrix, std::size_t n_columns, Visit visit) {
  for (std::size_t j = 0; j < matrix.rows(); ++j) {
    const RowRange row = matrix.row(j);
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t column = matrix.columns[k];
      if (in_range(column, n_columns)) {
        visit(static_cast<std::int32_t>(j), k, static_cast<std::size_t>(column));
      }
    }
  }
}

// The dense row of column sums the two products build an output row in. Every term carries a
// stamp: a term whose stamp its column already holds is not added (a later entry of the same
// source row in that column), and a column first reached in the row (a stamp below the row's
// first) starts from +0, as 0 + (-0) is +0, and is listed as touched.
class ColumnAccumulator {
 public:
  ColumnAccumulator(CsrWorkspace& work, std::size_t n_columns)
      : sums_(work.sums), touched_(work.touched), n_columns_(n_columns) {
    assign_with_huge_pages(sums_, n_columns, ColumnSum{0.0, -1});
  }

  void start_row(std::int64_t first_stamp) {
    first_stamp_ = first_stamp;
    touched_.clear();
  }

  // Adds term(value) to the sum of column `matrix.columns[q]` for every entry q of `row`, all
  // with `stamp`; columns outside 0..n-1 are passed over.
  template <class Term>
  void add(const CsrView& matrix, const RowRange row, const std::int64_t stamp, Term term) {
    // Locals, which the appends to `touched_` cannot change, so the loop keeps them in registers.
    const std::span<const std::int32_t> columns = matrix.columns;
    const std::span<const double> values = matrix.values;
    ColumnSum* const sums = sums_.data();
    const std::int64_t first_stamp = first_stamp_;
    const std::size_t n_columns = n_columns_;
    for (std::size_t q = row.begin; q < row.end; ++q) {
      const std::int32_t column = columns[q];
      if (!in_range(column, n_columns)) continue;
      ColumnSum& entry = sums[static_cast<std::size_t>(column)];
      if (entry.stamp == stamp) continue;
      if (entry.stamp < first_stamp) {
        entry.sum = 0.0;
        touched_.push_back(column);
      }
      entry.stamp = stamp;
      entry.sum += term(values[q]);
    }
  }

  // Hands each column the row reached, in ascending order, with its sum to `take`.
  template <class Take>
  void finish_row(Take take) {
    sort_columns(touched_);
    for (const std::int32_t column : touched_)
      take(column, sums_[static_cast<std::size_t>(column)].sum);
  }

 private:
  std::vector<ColumnSum>& sums_;
  std::vector<std::int32_t>& touched_;
  std::size_t n_columns_;
  std::int64_t first_stamp_ = 0;
};

}  // namespace

std::int32_t csr_row_count(const CsrMatrix& a) {
  return a.row_start.empty() ? 0 : static_cast<std::int32_t>(a.row_start.size() - 1);
}

void csr_multiply(const CsrMatrix& a, std::span<const double> x, std::span<double> y) {
  const CsrView matrix(a);
  const std::size_t n = y.size();
  require(matrix.rows() >= n, "csr_multiply", "the matrix has fewer rows than y");
  for (std::size_t i = 0; i < n; ++i) {
    const RowRange row = matrix.row(i);
    double sum = 0.0;
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t column = matrix.columns[k];
      assert(in_range(column, x.size()));
      if (!in_range(column, x.size())) continue;
      sum += matrix.values[k] * x[static_cast<std::size_t>(column)];
    }
    y[i] = sum;
  }
}

void csr_multiply_transposed(const CsrMatrix& a, std::span<const double> x, std::span<double> y) {
  const CsrView matrix(a);
  const std::size_t n = x.size();
  require(matrix.rows() >= n, "csr_multiply_transposed", "the matrix has fewer rows than x");
  std::fill(y.begin(), y.end(), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const RowRange row = matrix.row(i);
    const double xi = x[i];
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t column = matrix.columns[k];
      assert(in_range(column, y.size()));
      if (!in_range(column, y.size())) continue;
      y[static_cast<std::size_t>(column)] += matrix.values[k] * xi;
    }
  }
}

double csr_quadratic_form(const CsrMatrix& a, std::span<const double> x) {
  const CsrView matrix(a);
  const std::size_t n = x.size();
  require(matrix.rows() >= n, "csr_quadratic_form", "the matrix has fewer rows than x");
  // Each row sum is complete before it is weighted, so this equals forming t = A x first and
  // then summing t[i] * x[i] in order.
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const RowRange row = matrix.row(i);
    double sum = 0.0;
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t column = matrix.columns[k];
      assert(in_range(column, n));
      if (!in_range(column, n)) continue;
      sum += matrix.values[k] * x[static_cast<std::size_t>(column)];
    }
    total += sum * x[i];
  }
  return total;
}

// Output row c lists, for every input row j in ascending order, the first entry of row j in
// column c: a counting pass sizes the rows, a filling pass places the entries.
void csr_transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t) {
  CsrWorkspace work;
  csr_transpose(a, n, t, work);
}

void csr_transpose(const CsrMatrix& a, std::int32_t n, CsrMatrix& t, CsrWorkspace& work) {
  require(n >= 0, "csr_transpose", "negative number of rows");
  require(&a != &t && &a != &work.transposed, "csr_transpose", "the output is the input");
  const CsrView input(a);
  const std::size_t n_rows = static_cast<std::size_t>(n);

  // First pass: count the entries of every output row into start[c + 1]. owner[c] is the last
  // input row that gave column c an entry, so a repeated column within a row counts once.
  std::vector<std::int32_t>& owner = work.marks;
  assign_with_huge_pages(owner, n_rows, -1);
  reserve_with_huge_pages(t.row_start, n_rows + 1);
  t.row_start.assign(n_rows + 1, 0);
  const std::span<std::int32_t> start(t.row_start);
  for_each_entry_in_range(input, n_rows, [&](std::int32_t source_row, std::size_t, std::size_t c) {
    if (owner[c] == source_row) return;
    owner[c] = source_row;
    ++start[c + 1];
  });
  std::int64_t total = 0;
  for (std::size_t c = 1; c <= n_rows; ++c) {
    total += start[c];
    if (total > max_entries) throw std::length_error("csr_transpose: more than 2^31 - 1 entries");
    start[c] = static_cast<std::int32_t>(total);
  }
  reserve_entries(t, static_cast<std::size_t>(total));
  const std::span<double> values(t.values);
  const std::span<std::int32_t> columns(t.columns);

  // Second pass: input rows in ascending order fill each output row in ascending column order.
  // The entry last written to output row c tells whether row j already gave column c its entry.
  std::vector<std::int32_t>& next = owner;
  for (std::size_t c = 0; c < n_rows; ++c) next[c] = start[c];
  for_each_entry_in_range(
      input, n_rows, [&](std::int32_t source_row, std::size_t k, std::size_t c) {
        const auto p = static_cast<std::size_t>(next[c]);
        if (p > static_cast<std::size_t>(start[c]) && columns[p - 1] == source_row) return;
        columns[p] = source_row;
        values[p] = input.values[k];
        next[c] = static_cast<std::int32_t>(p + 1);
      });
}

// c(i, j) = 0 + the sum over the entries k of row i of A, in their order, of
// (A.values[k] * e[l]) * B(l, j), where l = A.columns[k] and B(l, j) is the first entry of row l
// of B in column j; entries of A or B whose column lies outside 0..n-1 contribute nothing. The
// terms are added into a dense row of sums as they are formed, which keeps, for every column, the
// order of k; a sum that is exactly 0 is then left out. A and B need n rows, e n elements.
void csr_scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                        std::int32_t n, CsrMatrix& c) {
  CsrWorkspace work;
  csr_scaled_product(a, e, b, n, c, work);
}

void csr_scaled_product(const CsrMatrix& a, std::span<const double> e, const CsrMatrix& b,
                        std::int32_t n, CsrMatrix& c, CsrWorkspace& work) {
  const char* const name = "csr_scaled_product";
  const CsrView left(a);
  const CsrView right(b);
  require(n >= 0, name, "negative number of rows");
  const std::size_t n_rows = static_cast<std::size_t>(n);
  require(left.rows() >= n_rows, name, "A has fewer than n rows");
  require(right.rows() >= n_rows, name, "B has fewer than n rows");
  require(e.size() >= n_rows, name, "e has fewer than n elements");
  require(&c != &a && &c != &b && &c != &work.transposed, name, "the output is an input");

  std::int64_t products = 0;
  std::int64_t input_entries = 0;
  for (std::size_t i = 0; i < n_rows; ++i) {
    const RowRange row = left.row(i);
    input_entries += static_cast<std::int64_t>(row.end - row.begin + right.row_length(i));
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t l = left.columns[k];
      if (in_range(l, n_rows))
        products += static_cast<std::int64_t>(right.row_length(static_cast<std::size_t>(l)));
    }
  }

  // Each entry k of a row of A gets a fresh stamp: a column whose stamp is the current one has
  // already had its term from row l of B for this k.
  ColumnAccumulator columns(work, n_rows);
  std::int64_t stamp = 0;

  reserve_with_huge_pages(c.row_start, n_rows + 1);
  c.row_start.resize(n_rows + 1);
  EntryWriter writer(c, expected_entries(products, static_cast<std::size_t>(input_entries)));
  for (std::size_t i = 0; i < n_rows; ++i) {
    c.row_start[i] = writer.position();
    const RowRange row = left.row(i);
    columns.start_row(stamp);
    for (std::size_t k = row.begin; k < row.end; ++k) {
      const std::int32_t inner = left.columns[k];
      if (!in_range(inner, n_rows)) continue;
      const auto l = static_cast<std::size_t>(inner);
      const double scale = left.values[k] * e[l];
      columns.add(right, right.row(l), stamp++, [scale](double b_lj) { return scale * b_lj; });
    }
    columns.finish_row([&](std::int32_t column, double value) {
      if (value != 0.0) writer.push(column, value);  // NaN != 0: kept.
    });
  }
  c.row_start[n_rows] = writer.position();
}

// With T = A^T as csr_transpose makes it (n rows, ascending columns), g(i, j) exists when rows i
// and j of T share a column, even when its value is 0, and is 0 + the sum over the shared columns
// h in ascending order of (T(j, h) * b[h]) * T(i, h). b needs one element per row of A.
void csr_weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g) {
  CsrWorkspace work;
  csr_weighted_gram(a, b, n, g, work);
}

void csr_weighted_gram(CsrMatrix& a, std::span<const double> b, std::int32_t n, CsrMatrix& g,
                       CsrWorkspace& work) {
  const char* const name = "csr_weighted_gram";
  const CsrView input(a);
  require(n >= 0, name, "negative number of rows");
  require(&a != &g && &a != &work.transposed && &g != &work.transposed, name,
          "the output is the input");
  require(b.size() >= input.rows(), name, "b has fewer elements than A has rows");
  const std::size_t n_rows = static_cast<std::size_t>(n);

  CsrMatrix& transposed = work.transposed;
  csr_transpose(a, n, transposed, work);
  const CsrView t(transposed);

  // Row h of A forms at most its length squared products.
  std::int64_t products = 0;
  for (std::size_t h = 0; h < input.rows(); ++h) {
    const auto length = static_cast<std::int64_t>(input.row_length(h));
    products += length * length;
  }

  // g(i, j) collects, for each column h of row i of T in ascending order, the term of row j of T
  // in column h. The rows j with an entry in column h are the entries of row h of the original A
  // (its first entry per column). The position p of T(i, h) serves as the stamp, so the first
  // position of row i is the row's first stamp.
  ColumnAccumulator columns(work, n_rows);

  reserve_with_huge_pages(g.row_start, n_rows + 1);
  g.row_start.resize(n_rows + 1);
  EntryWriter writer(g, expected_entries(products, static_cast<std::size_t>(t.row_start[n_rows])));
  for (std::size_t i = 0; i < n_rows; ++i) {
    g.row_start[i] = writer.position();
    const RowRange row = t.row(i);
    columns.start_row(static_cast<std::int64_t>(row.begin));
    for (std::size_t p = row.begin; p < row.end; ++p) {
      const auto h = static_cast<std::size_t>(t.columns[p]);
      const double t_ih = t.values[p];
      const double b_h = b[h];
      columns.add(input, input.row(h), static_cast<std::int64_t>(p),
                  [b_h, t_ih](double a_hj) { return a_hj * b_h * t_ih; });
    }
    columns.finish_row([&](std::int32_t column, double value) { writer.push(column, value); });
  }
  g.row_start[n_rows] = writer.position();

  // Hand the transpose back in the caller's arrays; elements beyond its entries keep their old
  // contents. When there are none, handing over the arrays themselves (cut to the entries, as a
  // reused workspace may hold more) gives the same result.
  const auto n_entries = static_cast<std::size_t>(t.row_start[n_rows]);
  if (a.values.size() <= n_entries && a.columns.size() <= n_entries) {
    a.values.swap(transposed.values);
    a.columns.swap(transposed.columns);
    a.values.resize(n_entries);
    a.columns.resize(n_entries);
  } else {
    reserve_entries(a, n_entries);
    std::copy_n(transposed.values.begin(), n_entries, a.values.begin());
    std::copy_n(transposed.columns.begin(), n_entries, a.columns.begin());
  }
  a.row_start.swap(transposed.row_start);
}

// The classic index heapsort, step for step, so that equal keys come out in the same order as
// there: build a max-heap of indices by sifting down from the middle, then move the top to the end.
void index_heapsort(std::span<const std::int32_t> keys, std::span<std::int32_t> index) {
  require(keys.size() == index.size(), "index_heapsort", "keys and index differ in length");
  require(keys.size() <= static_cast<std::size_t>(max_entries), "index_heapsort", "too many keys");
  const std::size_t n = keys.size();
  // The heap is laid out 1-based: heap(p) is index[p - 1], its children are 2p and 2p + 1.
  auto heap = [&](std::size_t p) -> std::int32_t& { return index[p - 1]; };
  auto key = [&](std::int32_t item) { return keys[static_cast<std::size_t>(item)]; };

  for (std::size_t p = 0; p < n; ++p) index[p] = static_cast<std::int32_t>(p);
  if (n <= 1) return;

  std::size_t l = n / 2 + 1;
  std::size_t r = n;
  while (true) {
    std::int32_t item;
    if (l > 1) {
      --l;
      item = heap(l);
    } else {
      item = heap(r);
      heap(r) = heap(1);
      --r;
      if (r == 1) {
        heap(1) = item;
        return;
      }
    }
    const std::int32_t item_key = key(item);
    std::size_t parent = l;
    std::size_t child = 2 * l;
    while (child <= r) {
      if (child < r && key(heap(child)) < key(heap(child + 1))) ++child;
      if (!(item_key < key(heap(child)))) break;
      heap(parent) = heap(child);
      parent = child;
      child = 2 * child;
    }
    heap(parent) = item;
  }
}

}  // namespace quelby
