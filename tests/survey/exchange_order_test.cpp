#include "quelby/survey/exchange_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tests/survey/exchange_literal.hpp"

namespace quelby {
namespace {

using testing::literal_exchange_passes;

// Keys drawn from `distinct` values, so that ties are frequent; 0 and -0 both occur.
std::vector<double> random_keys(std::mt19937_64& random, std::size_t n, int distinct) {
  std::uniform_int_distribution<int> pick(0, distinct - 1);
  std::bernoulli_distribution sign(0.5);
  std::vector<double> keys(n);
  for (double& key : keys) {
    const int value = pick(random);
    key = value == 0 ? (sign(random) ? -0.0 : 0.0) : static_cast<double>(value) * 1.5 - 3.0;
  }
  return keys;
}

TEST(ExchangeOrder, MatchesTheLiteralPassesOnSmallInputsWithManyTies) {
  std::mt19937_64 random(20261209);
  for (int trial = 0; trial < 30000; ++trial) {
    const std::size_t n = static_cast<std::size_t>(trial % 61);
    const int distinct_a = 1 + trial % 6;
    const int distinct_b = 1 + (trial / 6) % 6;
    const std::vector<double> a = random_keys(random, n, distinct_a);
    const std::vector<double> b = random_keys(random, n, distinct_b);
    ASSERT_EQ(grouped_order(a, b), literal_exchange_passes(a, b)) << "trial " << trial;
  }
}

TEST(ExchangeOrder, CharacterisationMatchesOneLiteralPassAtEverySmallSize) {
  std::mt19937_64 random(99);
  ExchangeWork work;
  for (int trial = 0; trial < 20000; ++trial) {
    const std::size_t n = static_cast<std::size_t>(trial % 61);
    const std::vector<double> keys = random_keys(random, n, 1 + trial % 6);
    // One pass is the two passes with every second key equal.
    const std::vector<double> same(n, 1.0);
    std::vector<std::int32_t> order(n);
    exchange_pass_order_characterised(keys, order, work);
    ASSERT_EQ(order, literal_exchange_passes(keys, same)) << "trial " << trial;
  }
}

TEST(ExchangeOrder, MatchesTheLiteralPassesOnLargerInputs) {
  std::mt19937_64 random(7);
  const std::vector<std::size_t> sizes = {100, 257, 1000, 3000, 6000};
  for (const std::size_t n : sizes) {
    for (const int distinct : {1, 2, 7, 40, 1000000}) {
      const std::vector<double> a = random_keys(random, n, distinct);
      const std::vector<double> b = random_keys(random, n, std::max(1, distinct / 3));
      ASSERT_EQ(grouped_order(a, b), literal_exchange_passes(a, b))
          << "n " << n << " distinct " << distinct;
    }
  }
}

TEST(ExchangeOrder, MatchesTheLiteralPassesOnOrderedAndConstantInputs) {
  for (const std::size_t n : {0u, 1u, 2u, 25u, 200u, 1500u}) {
    std::vector<double> ascending(n);
    std::vector<double> descending(n);
    std::vector<double> constant(n, 4.0);
    std::vector<double> few(n);
    for (std::size_t i = 0; i < n; ++i) {
      ascending[i] = static_cast<double>(i);
      descending[i] = static_cast<double>(n - i);
      few[i] = static_cast<double>(i % 3);
    }
    const std::vector<std::vector<double>> inputs = {ascending, descending, constant, few};
    for (const auto& a : inputs) {
      for (const auto& b : inputs) {
        ASSERT_EQ(grouped_order(a, b), literal_exchange_passes(a, b)) << "n " << n;
      }
    }
  }
}

TEST(ExchangeOrder, OnePassLeavesTheKeysAscending) {
  std::mt19937_64 random(11);
  ExchangeWork work;
  const std::vector<double> keys = random_keys(random, 5000, 50);
  std::vector<std::int32_t> order(keys.size());
  exchange_pass_order(keys, order, work);
  std::vector<std::int32_t> seen(order.begin(), order.end());
  std::sort(seen.begin(), seen.end());
  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], static_cast<std::int32_t>(i));
  for (std::size_t t = 1; t < order.size(); ++t) {
    ASSERT_LE(keys[static_cast<std::size_t>(order[t - 1])],
              keys[static_cast<std::size_t>(order[t])]);
  }
}

TEST(ExchangeOrder, TheWorkedExampleReversesTheTiedPair) {
  // d1 (5, 7), d2 (5, 7), d3 (1, 2) come out as d3, d2, d1.
  const std::vector<double> a = {5, 5, 1};
  const std::vector<double> b = {7, 7, 2};
  EXPECT_EQ(grouped_order(a, b), (std::vector<std::int32_t>{2, 1, 0}));
}

// Inputs large enough for the radix sort and for working blocks taken in 2 MiB pages, where the
// pass's order is known without running it: distinct keys end in ascending order, and keys already
// ascending (ties included) are never exchanged.
TEST(ExchangeOrder, LargeInputsWithAKnownOrder) {
  std::mt19937_64 random(99);
  for (const std::size_t n : {70000u, 300000u}) {
    std::vector<double> distinct(n);
    for (std::size_t i = 0; i < n; ++i) distinct[i] = static_cast<double>(i) * 0.75 - 1000.0;
    std::shuffle(distinct.begin(), distinct.end(), random);
    std::vector<std::int32_t> ascending(n);
    for (std::size_t i = 0; i < n; ++i) ascending[i] = static_cast<std::int32_t>(i);
    std::sort(ascending.begin(), ascending.end(), [&](std::int32_t x, std::int32_t y) {
      return distinct[static_cast<std::size_t>(x)] < distinct[static_cast<std::size_t>(y)];
    });

    std::vector<double> sorted_ties = random_keys(random, n, 50);
    std::sort(sorted_ties.begin(), sorted_ties.end());
    std::vector<std::int32_t> identity(n);
    for (std::size_t i = 0; i < n; ++i) identity[i] = static_cast<std::int32_t>(i);

    ExchangeWork work;
    std::vector<std::int32_t> order(n);
    exchange_pass_order(distinct, order, work);
    EXPECT_EQ(order, ascending) << n;
    exchange_pass_order(sorted_ties, order, work);
    EXPECT_EQ(order, identity) << n;
    // By A alone when B is constant, and by B inside one run when A is.
    const std::vector<double> constant(n, 2.5);
    EXPECT_EQ(grouped_order(distinct, constant), ascending) << n;
    EXPECT_EQ(grouped_order(constant, distinct), ascending) << n;
  }
}

}  // namespace
}  // namespace quelby
