#pragma once
// Spaces: the shapes of a simulator's observations and actions.
//
// A Space is a value: Box, Discrete, MultiDiscrete, MultiBinary, Dict (ordered keys)
// or Tuple, nested freely. Spaces travel as JSON (see docs/simulator-protocol.md):
//   {"type": "Box", "low": -1.0, "high": [1, 2], "shape": [2], "dtype": "float32"}
//   {"type": "Discrete", "n": 2, "start": 0}
//   {"type": "MultiDiscrete", "nvec": [3, 2]}
//   {"type": "MultiBinary", "n": 4}
//   {"type": "Dict", "spaces": {"x": ..., "y": ...}}
//   {"type": "Tuple", "spaces": [..., ...]}
// A Box bound is a number (the same for every element) or a nested array of the
// box's shape; infinite bounds are written "inf" and "-inf" (JSON has no infinity).
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::sim {

struct Space;
struct DictEntry;

// Box bounds are kept per element, in row-major order, whatever form they came in.
struct Box {
  std::vector<double> low;
  std::vector<double> high;
  std::vector<std::int64_t> shape;
  std::string dtype = "float32";  // float16/32/64, int8/16/32/64, uint8/16/32/64, bool
  bool operator==(const Box&) const = default;
};

struct Discrete {
  std::int64_t n = 0;
  std::int64_t start = 0;
  bool operator==(const Discrete&) const = default;
};

struct MultiDiscrete {
  std::vector<std::int64_t> nvec;
  bool operator==(const MultiDiscrete&) const = default;
};

struct MultiBinary {
  std::int64_t n = 0;
  bool operator==(const MultiBinary&) const = default;
};

struct Dict {
  std::vector<DictEntry> spaces;  // in the order the simulator gave them
  bool operator==(const Dict&) const;
};

struct Tuple {
  std::vector<Space> spaces;
  bool operator==(const Tuple&) const;
};

struct Space {
  std::variant<Box, Discrete, MultiDiscrete, MultiBinary, Dict, Tuple> kind;
  bool operator==(const Space&) const = default;
};

struct DictEntry {
  std::string key;
  Space space;
  bool operator==(const DictEntry&) const = default;
};

// A space description that cannot be read; what() names the offending field.
class SpaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a space from its JSON form; throws SpaceError on anything malformed.
Space parse_space(const nlohmann::ordered_json& json);
nlohmann::ordered_json to_json(const Space& space);

// The text form RL users know: "Box(-1.0, 1.0, (3,), float32)", "Discrete(2)",
// "Dict('x': Box(...), 'y': Discrete(3))", "Tuple(Discrete(2), MultiBinary(4))".
std::string to_string(const Space& space);

// Whether `value` (the JSON form of an observation or action) lies in the space.
bool contains(const Space& space, const nlohmann::ordered_json& value);

// A random member of the space, in its JSON form.
nlohmann::ordered_json sample(const Space& space, std::mt19937_64& random);

// One descriptor per scalar variable of the space, in order:
//   {"name": ..., "type": "continuous" | "discrete" | "binary", "dtype": ...,
//    "low": ..., "high": ...}
// (infinite bounds as "inf"/"-inf"). Names follow the path to the variable:
//   - Dict keys are joined with ".":               "arm.joint"
//   - Tuple items are named by their index:        "0", "arm.1"
//   - elements of a Box, MultiDiscrete or MultiBinary are indexed per dimension:
//                                                  "pos[0]", "image[2][1]"
//   - a space that is not inside a Dict or Tuple is called "value": "value", "value[0]".
nlohmann::ordered_json convert_space_to_json(const Space& space);

}  // namespace tarvo::sim
