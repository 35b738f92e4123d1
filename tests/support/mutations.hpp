// Variants of a valid input file for the readers' robustness tests: characters deleted, replaced
// or inserted, tokens that readers find hard (huge, signed, null and repeat values, slashes, line
// ends), lines repeated and the file cut short. Fixed seeds: the same variants on every machine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "tests/support/transcript.hpp"

namespace quelby::testing {

inline std::vector<std::string> mutations(const std::string& seed, int count,
                                          std::uint32_t random_seed) {
  static const char* const tokens[] = {
      "-1", "0", "1e308", "-1e308", "nan",        "inf",        "*", "2*", "/",   ",",
      "\n", " ", "-0",    "1.5",    "9999999999", "IPTYPE=1\n", "!", "\t", "3*-1"};
  std::mt19937 engine(random_seed);
  // The engine's raw output is the same everywhere; distributions are not, so none is used.
  const auto below = [&](std::size_t bound) {
    return bound == 0 ? std::size_t{0} : static_cast<std::size_t>(engine() % bound);
  };
  std::vector<std::string> variants;
  for (int v = 0; v < count; ++v) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(below(3));
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = below(text.size() + 1);
      switch (below(6)) {
        case 0:
          text.erase(at, 1 + below(4));
          break;
        case 1:
          if (at < text.size()) text[at] = static_cast<char>(32 + below(95));
          break;
        case 2:
        case 3:
          text.insert(at, tokens[below(std::size(tokens))]);
          break;
        case 4: {
          const std::size_t line_end = text.find('\n', at);
          const std::size_t line_start = text.rfind('\n', at == 0 ? 0 : at - 1);
          if (line_end != std::string::npos) {
            const std::size_t from = line_start == std::string::npos ? 0 : line_start + 1;
            text.insert(line_end + 1, text.substr(from, line_end + 1 - from));
          }
          break;
        }
        default:
          text.resize(at);
          break;
      }
    }
    variants.push_back(std::move(text));
  }
  return variants;
}

// Runs `read` on fresh streams: true when it read. A stop must be status 1 after a message on the
// console, with nothing on the error stream (where only a failed internal check writes).
inline bool read_or_message(const std::string& what, const std::function<void(const Io&)>& read) {
  Transcript transcript;
  try {
    read(transcript.io());
    return true;
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.status(), exit_failure) << what;
    EXPECT_EQ(transcript.error(), "") << what;
    const std::string console = transcript.console();
    EXPECT_TRUE(!console.empty() && console.back() == '\n') << what << "\n" << console;
    return false;
  }
}

}  // namespace quelby::testing
