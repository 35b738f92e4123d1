// The order in which the general layout's exchange passes leave the data, in O(n log n) instead
// of the passes' n^2 / 2 comparisons. One pass (for i < j: swap when key(i) > key(j)) leaves the
// keys ascending; among equal keys v its order follows from walking, in input order, the data
// whose key is at most v: a datum of key v is appended to a run, and a datum of smaller key met
// once the run has begun rotates the run by one place. The keys are ranked by a radix sort, the
// counts of smaller keys come from a Fenwick tree over the ranks walked in input order, and each
// run's appends and rotations are resolved offline by insertion at rank. Keys are compared as
// doubles (0 and -0 are one key; keys are never NaN).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quelby {

// Reused working arrays, so that many small orderings allocate nothing.
struct ExchangeWork {
  std::vector<std::int32_t> by_key;
  std::vector<std::int32_t> tree;
  std::vector<std::uint64_t> counts;
  std::vector<std::int32_t> ranks;
  std::vector<std::int32_t> smaller_before;
  std::vector<std::int32_t> inserts;
  std::vector<std::int32_t> scratch;
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> other_bits;
  std::vector<std::uint32_t> histogram;
};

// order[t] = the 0-based input index of the datum that one exchange pass over `keys` puts at
// place t. `order` has keys.size() entries.
void exchange_pass_order(std::span<const double> keys, std::span<std::int32_t> order,
                         ExchangeWork& work);

// The same order by the characterisation alone, whatever the size (small inputs otherwise take
// the literal pass). Exposed for the tests.
void exchange_pass_order_characterised(std::span<const double> keys, std::span<std::int32_t> order,
                                       ExchangeWork& work);

// The two passes of the general layout: by `a`, then by `b` inside each run of equal `a`.
// Returns perm, 0-based indices into a and b in grouped order.
std::vector<std::int32_t> grouped_order(std::span<const double> a, std::span<const double> b);

}  // namespace quelby
