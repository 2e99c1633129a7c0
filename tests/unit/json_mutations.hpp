#pragma once
// Texts for differential tests of the JSON readers: seeds and random mutations of
// them, edited with the bytes that matter to the grammar, to escapes and to UTF-8.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tarvo::test {

// Calls `check` on every seed, then on `rounds` mutated seeds; stops at the first
// fatal failure.
inline void for_each_mutation(const std::vector<std::string>& seeds, int rounds,
                              const std::function<void(const std::string&)>& check) {
  for (const auto& seed : seeds) {
    check(seed);
    if (testing::Test::HasFatalFailure()) return;
  }
  const std::string alphabet =
      std::string("{}[],:\"\\udD8Ce0E-+.19 \ntnfrsl") +
      std::string("\x00\x1f\x7f\xc3\xa9\xed\xa0\xf4\x90\xef\xbb\xbf\xc0\xe0\x80", 15);
  std::mt19937 random(20261208);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  for (int round = 0; round < rounds; ++round) {
    std::string text = seeds[pick(seeds.size() - 1)];
    for (int edits = 1 + static_cast<int>(pick(3)); edits > 0 && !text.empty(); --edits) {
      std::size_t at = pick(text.size() - 1);
      switch (pick(4)) {
        case 0:
          text[at] = alphabet[pick(alphabet.size() - 1)];
          break;
        case 1:
          text.insert(text.begin() + static_cast<long>(at), alphabet[pick(alphabet.size() - 1)]);
          break;
        case 2:
          text.erase(at, 1 + pick(2));
          break;
        case 3:
          text.resize(at);
          break;
        default:
          text.insert(at, text.substr(pick(text.size() - 1), pick(8)));
      }
    }
    check(text);
    if (testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace tarvo::test
