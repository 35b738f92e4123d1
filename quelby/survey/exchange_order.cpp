#include "quelby/survey/exchange_order.hpp"

#include <algorithm>
#include <bit>
#include <numeric>

namespace quelby {

namespace {

// Below this size the literal pass is cheaper than its characterisation, and it is exact by
// definition.
constexpr std::size_t literal_limit = 24;

void literal_pass(std::span<const double> keys, std::span<std::int32_t> order) {
  const std::size_t n = keys.size();
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::int32_t>(i);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      if (keys[static_cast<std::size_t>(order[i])] > keys[static_cast<std::size_t>(order[j])]) {
        std::swap(order[i], order[j]);
      }
    }
  }
}

// Fenwick tree over 1-based places 1..size in tree[1..size].
inline void fenwick_add(WorkArray<std::int32_t>& tree, std::size_t place, std::int32_t value) {
  for (; place < tree.size(); place += place & (~place + 1)) tree[place] += value;
}

// Sum over places 1..place.
inline std::int32_t fenwick_prefix(const WorkArray<std::int32_t>& tree, std::size_t place) {
  std::int32_t sum = 0;
  for (; place > 0; place &= place - 1) sum += tree[place];
  return sum;
}

// Takes the free slot of rank `rank` (1-based) out of a Fenwick tree of free-slot counts over
// tree[1..size], size a power of two, and returns its place (1-based). Walking down, the nodes
// not stepped past are exactly those that cover the slot, so they are decremented on the way;
// the steps choose by data, not by branches.
inline std::size_t fenwick_take(WorkArray<std::int32_t>& tree, std::size_t size,
                                std::int32_t rank) {
  std::size_t place = 0;
  for (std::size_t step = size; step > 0; step >>= 1) {
    const std::size_t next = place + step;
    const std::int32_t count = tree[next];
    // 1 when the slot lies beyond this node's range, else 0; arithmetic rather than a branch
    // the predictor cannot learn.
    const std::int32_t past = static_cast<std::int32_t>(count < rank);
    place += step * static_cast<std::size_t>(past);
    rank -= count * past;
    tree[next] = count - (1 - past);
  }
  return place + 1;
}

// Keys as unsigned integers in the same order (-0 taken as 0; keys are never NaN).
inline std::uint64_t ordered_bits(double key) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(key + 0.0);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// by_key = the indices 0..n-1 in ascending key order, ties in index order, and work.bits = their
// keys as ordered_bits in the same order: a stable least significant digit radix sort that moves
// each key's bits with its index (so no pass reads a key at random), passing over digits that all
// keys share; small inputs take a comparison sort.
void sort_by_key(std::span<const double> keys, WorkArray<std::int32_t>& by_key,
                 ExchangeWork& work) {
  const std::size_t n = keys.size();
  by_key.resize(n);
  std::iota(by_key.begin(), by_key.end(), 0);
  WorkArray<std::uint64_t>& bits = work.bits;
  bits.resize(n);
  if (n < 2048) {
    std::sort(by_key.begin(), by_key.end(), [&keys](std::int32_t x, std::int32_t y) {
      const double kx = keys[static_cast<std::size_t>(x)];
      const double ky = keys[static_cast<std::size_t>(y)];
      return kx < ky || (kx == ky && x < y);
    });
    for (std::size_t t = 0; t < n; ++t) {
      bits[t] = ordered_bits(keys[static_cast<std::size_t>(by_key[t])]);
    }
    return;
  }
  constexpr int digit_bits = 11;
  constexpr int digits = (64 + digit_bits - 1) / digit_bits;
  constexpr std::size_t buckets = std::size_t{1} << digit_bits;
  WorkArray<std::uint32_t>& histogram = work.histogram;
  histogram.assign(buckets * digits, 0);
  for (std::size_t i = 0; i < n; ++i) {
    bits[i] = ordered_bits(keys[i]);
    for (int d = 0; d < digits; ++d) {
      ++histogram[static_cast<std::size_t>(d) * buckets +
                  ((bits[i] >> (d * digit_bits)) & (buckets - 1))];
    }
  }
  WorkArray<std::int32_t>& other = work.scratch;
  WorkArray<std::uint64_t>& other_bits = work.other_bits;
  for (int d = 0; d < digits; ++d) {
    std::uint32_t* const counts = histogram.data() + static_cast<std::size_t>(d) * buckets;
    if (std::find(counts, counts + buckets, static_cast<std::uint32_t>(n)) != counts + buckets) {
      continue;  // every key has the same digit here
    }
    other.resize(n);
    other_bits.resize(n);
    std::uint32_t sum = 0;
    for (std::size_t bucket = 0; bucket < buckets; ++bucket) {
      const std::uint32_t count = counts[bucket];
      counts[bucket] = sum;
      sum += count;
    }
    for (std::size_t t = 0; t < n; ++t) {
      const std::uint64_t key = bits[t];
      const std::uint32_t place = counts[(key >> (d * digit_bits)) & (buckets - 1)]++;
      other[place] = by_key[t];
      other_bits[place] = key;
    }
    by_key.swap(other);
    bits.swap(other_bits);
  }
}

}  // namespace

void exchange_pass_order(std::span<const double> keys, std::span<std::int32_t> order,
                         ExchangeWork& work) {
  if (keys.size() <= literal_limit) {
    literal_pass(keys, order);
  } else if (std::is_sorted(keys.begin(), keys.end())) {
    // Keys already ascending (ties included) are never exchanged: files are usually written in
    // order of their current electrodes.
    std::iota(order.begin(), order.end(), 0);
  } else {
    exchange_pass_order_characterised(keys, order, work);
  }
}

void exchange_pass_order_characterised(std::span<const double> keys, std::span<std::int32_t> order,
                                       ExchangeWork& work) {
  const std::size_t n = keys.size();
  // The data in ascending key order, ties in input order.
  WorkArray<std::int32_t>& by_key = work.by_key;
  sort_by_key(keys, by_key, work);

  // Dense ranks of the distinct keys, and for every datum the number of data of smaller key
  // before it in the input (a Fenwick tree over the ranks, walked in input order).
  WorkArray<std::int32_t>& rank = work.ranks;
  rank.resize(n);
  std::int32_t distinct = 0;
  // Equal keys as doubles have equal ordered bits (0 and -0 included), so the sorted bits tell
  // where a new key begins without reading the keys again.
  const WorkArray<std::uint64_t>& sorted_bits = work.bits;
  for (std::size_t t = 0; t < n; ++t) {
    if (t > 0 && sorted_bits[t] != sorted_bits[t - 1]) ++distinct;
    rank[static_cast<std::size_t>(by_key[t])] = distinct;
  }
  ++distinct;
  WorkArray<std::int32_t>& smaller_before = work.smaller_before;
  smaller_before.resize(n);
  if (distinct == 1) {
    std::fill(smaller_before.begin(), smaller_before.end(), 0);
  } else {
    WorkArray<std::int32_t>& tree = work.tree;
    tree.assign(static_cast<std::size_t>(distinct) + 1, 0);
    for (std::size_t p = 0; p < n; ++p) {
      const std::size_t r = static_cast<std::size_t>(rank[p]);
      smaller_before[p] = fenwick_prefix(tree, r);
      fenwick_add(tree, r + 1, 1);
    }
  }

  WorkArray<std::uint64_t>& counts = work.counts;
  WorkArray<std::int32_t>& inserts = work.inserts;
  WorkArray<std::int32_t>& slots = work.scratch;
  std::size_t group_begin = 0;
  while (group_begin < n) {
    std::size_t group_end = group_begin + 1;
    while (group_end < n && sorted_bits[group_end] == sorted_bits[group_begin]) ++group_end;
    const std::size_t m = group_end - group_begin;
    const std::span<const std::int32_t> members(by_key.data() + group_begin, m);
    std::span<std::int32_t> out = order.subspan(group_begin, m);

    // counts[t]: data of smaller key between member t and member t+1 (after the last member for
    // the last one); group_begin data have a smaller key in all.
    counts.resize(m);
    std::uint64_t total = 0;
    for (std::size_t t = 0; t < m; ++t) {
      const std::int32_t before = smaller_before[static_cast<std::size_t>(members[t])];
      const std::int32_t next = t + 1 < m ? smaller_before[static_cast<std::size_t>(members[t + 1])]
                                          : static_cast<std::int32_t>(group_begin);
      counts[t] = static_cast<std::uint64_t>(next - before);
      total += counts[t];
    }
    if (total == 0 || m == 1) {
      // No rotation: the members keep their input order.
      std::copy(members.begin(), members.end(), out.begin());
      group_begin = group_end;
      continue;
    }

    // The run as a circle in an array with its head at `head`: an append inserts just before the
    // head, a rotation moves the head on. inserts[t] is the index at which member t is inserted
    // into the array of t members.
    inserts.resize(m);
    std::uint64_t head = 0;
    for (std::size_t t = 0; t < m; ++t) {
      inserts[t] = static_cast<std::int32_t>(head);
      if (t > 0) ++head;
      head += counts[t];
      const std::uint64_t length = t + 1;
      if (head >= length) head = head - length < length ? head - length : head % length;
    }

    // Insertions resolved from the last: member t takes the (inserts[t]+1)-th slot still free.
    // Slots m+1..size are never free; size is a power of two so that every step stays inside.
    const std::size_t size = std::bit_ceil(m);
    slots.assign(size + 1, 0);
    for (std::size_t place = 1; place <= size; ++place) {
      slots[place] += place <= m ? 1 : 0;
      const std::size_t parent = place + (place & (~place + 1));
      if (parent <= size) slots[parent] += slots[place];
    }
    const std::size_t shift = m - static_cast<std::size_t>(head);
    for (std::size_t t = m; t-- > 0;) {
      const std::size_t slot = fenwick_take(slots, size, inserts[t] + 1) - 1;
      const std::size_t position = slot + shift;
      out[position >= m ? position - m : position] = members[t];
    }
    group_begin = group_end;
  }
}

std::vector<std::int32_t> grouped_order(std::span<const double> a, std::span<const double> b) {
  WorkArray<std::int32_t> perm;
  grouped_order(a, b, perm);
  return std::vector<std::int32_t>(perm.begin(), perm.end());
}

void grouped_order(std::span<const double> a, std::span<const double> b,
                   WorkArray<std::int32_t>& perm) {
  const std::size_t n = a.size();
  perm.resize(n);
  ExchangeWork work;
  exchange_pass_order(a, perm, work);

  std::vector<double> run_keys;
  std::vector<std::int32_t> local;
  std::vector<std::int32_t> run;
  std::size_t begin = 0;
  while (begin < n) {
    const double key = a[static_cast<std::size_t>(perm[begin])];
    std::size_t end = begin + 1;
    while (end < n && a[static_cast<std::size_t>(perm[end])] == key) ++end;
    const std::size_t m = end - begin;
    if (m > 1) {
      run_keys.resize(m);
      for (std::size_t t = 0; t < m; ++t) {
        run_keys[t] = b[static_cast<std::size_t>(perm[begin + t])];
      }
      local.resize(m);
      exchange_pass_order(run_keys, local, work);
      run.assign(perm.begin() + static_cast<std::ptrdiff_t>(begin),
                 perm.begin() + static_cast<std::ptrdiff_t>(end));
      for (std::size_t t = 0; t < m; ++t) {
        perm[begin + t] = run[static_cast<std::size_t>(local[t])];
      }
    }
    begin = end;
  }
}

}  // namespace quelby
