#include "survey/exchange_order.hpp"

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
inline void fenwick_add(std::vector<std::int32_t>& tree, std::size_t place, std::int32_t value) {
  for (; place < tree.size(); place += place & (~place + 1)) tree[place] += value;
}

// Sum over places 1..place.
inline std::int32_t fenwick_prefix(const std::vector<std::int32_t>& tree, std::size_t place) {
  std::int32_t sum = 0;
  for (; place > 0; place &= place - 1) sum += tree[place];
  return sum;
}

// The place p (1-based) where the prefix sum first reaches `rank` (1-based); tree[1..size].
inline std::size_t fenwick_find(std::vector<std::int32_t>& tree, std::size_t size,
                                std::int32_t rank) {
  std::size_t place = 0;
  for (std::size_t step = std::bit_floor(size); step > 0; step >>= 1) {
    const std::size_t next = place + step;
    if (next <= size && tree[next] < rank) {
      place = next;
      rank -= tree[next];
    }
  }
  return place + 1;
}

}  // namespace

void exchange_pass_order(std::span<const double> keys, std::span<std::int32_t> order,
                         ExchangeWork& work) {
  if (keys.size() <= literal_limit) {
    literal_pass(keys, order);
  } else {
    exchange_pass_order_characterised(keys, order, work);
  }
}

void exchange_pass_order_characterised(std::span<const double> keys, std::span<std::int32_t> order,
                                       ExchangeWork& work) {
  const std::size_t n = keys.size();
  std::vector<std::int32_t>& by_key = work.by_key;
  by_key.resize(n);
  std::iota(by_key.begin(), by_key.end(), 0);
  std::sort(by_key.begin(), by_key.end(), [&keys](std::int32_t x, std::int32_t y) {
    const double kx = keys[static_cast<std::size_t>(x)];
    const double ky = keys[static_cast<std::size_t>(y)];
    return kx < ky || (!(ky < kx) && x < y);
  });

  // Positions (1-based places) of the data of smaller keys than the group in hand.
  std::vector<std::int32_t>& positions = work.tree;
  positions.assign(n + 1, 0);
  std::vector<std::uint64_t>& counts = work.counts;
  std::vector<std::int32_t>& ranks = work.ranks;
  std::vector<std::int32_t>& slots = work.scratch;

  std::size_t group_begin = 0;
  while (group_begin < n) {
    const double key = keys[static_cast<std::size_t>(by_key[group_begin])];
    std::size_t group_end = group_begin + 1;
    while (group_end < n && keys[static_cast<std::size_t>(by_key[group_end])] == key) ++group_end;
    const std::size_t m = group_end - group_begin;
    const std::span<const std::int32_t> members(by_key.data() + group_begin, m);

    // counts[t]: data of smaller key between member t and member t+1 (after the last member for
    // the last one). group_begin data have a smaller key in all.
    counts.resize(m);
    if (group_begin == 0) {
      std::fill(counts.begin(), counts.end(), 0);
    } else {
      std::int32_t before = fenwick_prefix(positions, static_cast<std::size_t>(members[0]) + 1);
      for (std::size_t t = 0; t < m; ++t) {
        const std::int32_t next =
            t + 1 < m ? fenwick_prefix(positions, static_cast<std::size_t>(members[t + 1]) + 1)
                      : static_cast<std::int32_t>(group_begin);
        counts[t] = static_cast<std::uint64_t>(next - before);
        before = next;
      }
    }

    // The run as a circle in an array with its head at `head`: an append inserts just before the
    // head, a rotation moves the head on. ranks[t] is the index at which member t is inserted
    // into the array of t members.
    ranks.resize(m);
    std::uint64_t head = 0;
    for (std::size_t t = 0; t < m; ++t) {
      ranks[t] = static_cast<std::int32_t>(head);
      if (t > 0) ++head;
      head = (head + counts[t]) % static_cast<std::uint64_t>(t + 1);
    }

    // Insertions resolved from the last: member t takes the (ranks[t]+1)-th slot still free.
    std::span<std::int32_t> out = order.subspan(group_begin, m);
    if (m == 1) {
      out[0] = members[0];
    } else {
      slots.assign(m + 1, 0);
      for (std::size_t place = 1; place <= m; ++place) {
        slots[place] += 1;
        const std::size_t parent = place + (place & (~place + 1));
        if (parent <= m) slots[parent] += slots[place];
      }
      for (std::size_t t = m; t-- > 0;) {
        const std::size_t slot = fenwick_find(slots, m, ranks[t] + 1) - 1;
        for (std::size_t place = slot + 1; place <= m; place += place & (~place + 1)) {
          slots[place] -= 1;
        }
        out[(slot + m - static_cast<std::size_t>(head)) % m] = members[t];
      }
    }

    for (const std::int32_t member : members) {
      fenwick_add(positions, static_cast<std::size_t>(member) + 1, 1);
    }
    group_begin = group_end;
  }
}

std::vector<std::int32_t> grouped_order(std::span<const double> a, std::span<const double> b) {
  const std::size_t n = a.size();
  std::vector<std::int32_t> perm(n);
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
  return perm;
}

}  // namespace quelby
