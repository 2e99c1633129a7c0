// Space descriptions as a simulator sends them: read, written back, printed, and
// sampled from, with every sample inside its space.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string_view>

#include "sim/json_parse.hpp"
#include "sim/space.hpp"

namespace {

using tarvo::sim::Space;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// How many numbers a sample holds, or more than `limit` when it would be larger.
std::size_t elements(const Space& space, std::size_t limit) {
  struct Count {
    std::size_t limit;
    std::size_t operator()(const tarvo::sim::Box& box) const {
      std::size_t n = 1;
      for (auto dimension : box.shape) {
        n *= static_cast<std::size_t>(dimension);
        if (n > limit) return limit + 1;
      }
      return n;
    }
    std::size_t operator()(const tarvo::sim::Discrete&) const { return 1; }
    std::size_t operator()(const tarvo::sim::MultiDiscrete& multi) const {
      return multi.nvec.size();
    }
    std::size_t operator()(const tarvo::sim::MultiBinary& multi) const {
      return static_cast<std::size_t>(multi.n);
    }
    std::size_t operator()(const tarvo::sim::Dict& dict) const {
      std::size_t n = 0;
      for (const auto& entry : dict.spaces)
        n += elements(entry.space, limit);
      return n;
    }
    std::size_t operator()(const tarvo::sim::Tuple& tuple) const {
      std::size_t n = 0;
      for (const auto& item : tuple.spaces)
        n += elements(item, limit);
      return n;
    }
  };
  return std::visit(Count{limit}, space.kind);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto json = tarvo::sim::parse_json(text);
  if (json.is_discarded()) return 0;
  Space space;
  try {
    space = tarvo::sim::parse_space(json);
  } catch (const tarvo::sim::SpaceError&) {
    return 0;
  }
  require(tarvo::sim::parse_space(tarvo::sim::to_json(space)) == space);
  (void)tarvo::sim::to_string(space);
  (void)tarvo::sim::convert_space_to_json(space);
  if (elements(space, 100000) <= 100000) {
    std::mt19937_64 random(size);
    require(tarvo::sim::contains(space, tarvo::sim::sample(space, random)));
  }
  return 0;
}
