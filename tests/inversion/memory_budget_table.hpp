// The memory budgets that every reader of one is tested with (the command line, the control file,
// the library's parser): MiB as written, and the bytes taken, or nothing when it is refused.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace quelby::testing {

struct MemoryBudgetCase {
  std::string text;
  std::optional<std::size_t> bytes;
};

inline const std::vector<MemoryBudgetCase>& memory_budget_table() {
  static const std::vector<MemoryBudgetCase> table = {
      {"0", std::nullopt},
      {"0.5", std::size_t{1} << 19},
      {"1", std::size_t{1} << 20},
      {"3000", std::size_t{3000} << 20},
      {"1099511627776", std::size_t{1} << 60},  // 2^40 MiB, the largest
      {"1099511627777", std::nullopt},
      {"1e13", std::nullopt},
      {"1e30", std::nullopt},
      {"-1", std::nullopt},
      {"nan", std::nullopt},
      {"inf", std::nullopt},
      {"abc", std::nullopt},
      {"12abc", std::nullopt},
  };
  return table;
}

}  // namespace quelby::testing
