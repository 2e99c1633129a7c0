#include "sim/space.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/python_repr.hpp"

namespace tarvo::sim {

using nlohmann::ordered_json;
using json = nlohmann::ordered_json;

bool Dict::operator==(const Dict& other) const {
  return spaces == other.spaces;
}
bool Tuple::operator==(const Tuple& other) const {
  return spaces == other.spaces;
}

namespace {

// Deeper nesting than this is certainly not a real space, and would only cost stack.
constexpr int kMaxDepth = 64;
// A box larger than this (elements) would not fit any sensible observation.
constexpr std::int64_t kMaxElements = std::int64_t{1} << 28;

const std::vector<std::string> kFloatTypes = {"float16", "float32", "float64"};
const std::vector<std::string> kIntTypes = {"int8",  "int16",  "int32",  "int64",
                                            "uint8", "uint16", "uint32", "uint64"};

bool is_one_of(const std::string& text, const std::vector<std::string>& list) {
  return std::find(list.begin(), list.end(), text) != list.end();
}
bool is_float_type(const std::string& dtype) {
  return is_one_of(dtype, kFloatTypes);
}
bool is_int_type(const std::string& dtype) {
  return is_one_of(dtype, kIntTypes);
}

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw SpaceError("malformed space at " + where + ": " + what);
}

// The integers a sample of an integral element is drawn from: the bounds rounded
// inwards, an unbounded side a window of 1000 beside the other, all within what a
// 64-bit integer holds (2^63 itself is not: the largest double below it is the top).
// Empty when no such integer lies between the bounds.
std::optional<std::pair<std::int64_t, std::int64_t>> integer_sample_range(double low, double high) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr double kLowest = -9223372036854775808.0;  // -2^63
  constexpr double kHighest = 9223372036854774784.0;  // 2^63 - 1024
  double lo = std::ceil(low);
  double hi = std::floor(high);
  if (lo == kInfinity || hi == -kInfinity || lo > hi) return std::nullopt;
  if (lo == -kInfinity) lo = (hi == kInfinity ? 0.0 : hi) - 1000.0;
  if (hi == kInfinity) hi = lo + 1000.0;
  lo = std::max(lo, kLowest);
  hi = std::min(hi, kHighest);
  if (lo > hi) return std::nullopt;
  return std::pair{static_cast<std::int64_t>(lo), static_cast<std::int64_t>(hi)};
}

std::int64_t element_count(const std::vector<std::int64_t>& shape) {
  std::int64_t count = 1;
  for (auto size : shape)
    count *= size;  // sizes are checked one by one before this
  return count;
}

template <typename Json>
std::int64_t read_int(const Json& value, const std::string& where, std::int64_t minimum) {
  if (!value.is_number_integer()) fail(where, "expected an integer");
  if (value.is_number_unsigned() && value.template get<std::uint64_t>() > INT64_MAX)
    fail(where, "integer too large");
  auto number = value.template get<std::int64_t>();
  if (number < minimum) fail(where, "expected at least " + std::to_string(minimum));
  return number;
}

template <typename Json>
double read_bound(const Json& value, const std::string& where) {
  if (value.is_number()) return value.template get<double>();
  if (value.is_string()) {
    auto text = value.template get<std::string>();
    if (text == "inf" || text == "+inf" || text == "Infinity" || text == "infinity")
      return std::numeric_limits<double>::infinity();
    if (text == "-inf" || text == "-Infinity" || text == "-infinity")
      return -std::numeric_limits<double>::infinity();
  }
  fail(where, "expected a number, \"inf\" or \"-inf\"");
}

// Shape of a nested array (the length at each level, following first elements).
template <typename Json>
std::vector<std::int64_t> shape_of(const Json& value) {
  std::vector<std::int64_t> shape;
  const Json* level = &value;
  while (level->is_array() && shape.size() < kMaxDepth) {
    shape.push_back(static_cast<std::int64_t>(level->size()));
    if (level->empty()) break;
    level = &(*level)[0];
  }
  return shape;
}

// Flattens a bound (a number, or a nested array of exactly `shape`) into `out`.
template <typename Json>
void read_bounds(const Json& value, const std::vector<std::int64_t>& shape, std::size_t dim,
                 const std::string& where, std::vector<double>& out) {
  if (dim == shape.size()) {
    out.push_back(read_bound(value, where));
    return;
  }
  if (!value.is_array() || static_cast<std::int64_t>(value.size()) != shape[dim])
    fail(where, "expected an array of " + std::to_string(shape[dim]) + " at dimension " +
                    std::to_string(dim));
  for (const auto& item : value)
    read_bounds(item, shape, dim + 1, where, out);
}

template <typename Json>
std::vector<double> read_box_bound(const Json& value, const std::vector<std::int64_t>& shape,
                                   const std::string& where) {
  std::vector<double> out;
  if (!value.is_array()) {
    out.assign(static_cast<std::size_t>(element_count(shape)), read_bound(value, where));
  } else {
    out.reserve(static_cast<std::size_t>(element_count(shape)));
    read_bounds(value, shape, 0, where, out);
  }
  return out;
}

template <typename Json>
const Json& field(const Json& object, const char* name, const std::string& where) {
  auto it = object.find(name);
  if (it == object.end()) fail(where, std::string("missing \"") + name + "\"");
  return *it;
}

template <typename Json>
Box parse_box(const Json& json, const std::string& where) {
  Box box;
  if (auto it = json.find("dtype"); it != json.end()) {
    if (!it->is_string()) fail(where + ".dtype", "expected text");
    box.dtype = it->template get<std::string>();
    if (!is_float_type(box.dtype) && !is_int_type(box.dtype) && box.dtype != "bool")
      fail(where + ".dtype", "unknown dtype '" + box.dtype + "'");
  }
  const auto& low = field(json, "low", where);
  const auto& high = field(json, "high", where);
  if (auto it = json.find("shape"); it != json.end()) {
    if (!it->is_array()) fail(where + ".shape", "expected an array of sizes");
    std::int64_t count = 1;
    for (const auto& size : *it) {
      box.shape.push_back(read_int(size, where + ".shape", 0));
      if (box.shape.back() > 0 && count > kMaxElements / box.shape.back())
        fail(where + ".shape", "too many elements");
      count *= box.shape.back();
    }
    if (count > kMaxElements) fail(where + ".shape", "too many elements");
  } else if (low.is_array()) {
    box.shape = shape_of(low);
  } else if (high.is_array()) {
    box.shape = shape_of(high);
  }
  box.low = read_box_bound(low, box.shape, where + ".low");
  box.high = read_box_bound(high, box.shape, where + ".high");
  for (std::size_t i = 0; i < box.low.size(); ++i) {
    if (std::isnan(box.low[i]) || std::isnan(box.high[i]) || box.low[i] > box.high[i])
      fail(where, "low is above high at element " + std::to_string(i));
    // A space no value fits in would be sampled outside itself.
    if (is_int_type(box.dtype) && !integer_sample_range(box.low[i], box.high[i]))
      fail(where,
           "no signed 64-bit integer lies between low and high at element " + std::to_string(i));
  }
  return box;
}

template <typename Json>
Space parse(const Json& json, const std::string& where, int depth) {
  if (depth > kMaxDepth) fail(where, "nested too deeply");
  if (!json.is_object()) fail(where, "expected an object");
  const auto& type_field = field(json, "type", where);
  if (!type_field.is_string()) fail(where + ".type", "expected text");
  auto type = type_field.template get<std::string>();
  if (type == "Box") return Space{parse_box(json, where)};
  if (type == "Discrete") {
    Discrete discrete{read_int(field(json, "n", where), where + ".n", 1), 0};
    if (auto it = json.find("start"); it != json.end())
      discrete.start = read_int(*it, where + ".start", INT64_MIN);
    return Space{discrete};
  }
  if (type == "MultiDiscrete") {
    const auto& nvec = field(json, "nvec", where);
    if (!nvec.is_array() || nvec.empty()) fail(where + ".nvec", "expected a non-empty array");
    MultiDiscrete multi;
    for (const auto& n : nvec)
      multi.nvec.push_back(read_int(n, where + ".nvec", 1));
    return Space{multi};
  }
  if (type == "MultiBinary") {
    auto n = read_int(field(json, "n", where), where + ".n", 1);
    if (n > kMaxElements) fail(where + ".n", "too many elements");
    return Space{MultiBinary{n}};
  }
  if (type == "Dict") {
    const auto& spaces = field(json, "spaces", where);
    if (!spaces.is_object()) fail(where + ".spaces", "expected an object");
    Dict dict;
    for (auto it = spaces.begin(); it != spaces.end(); ++it)
      dict.spaces.push_back({it.key(), parse(it.value(), where + "." + it.key(), depth + 1)});
    return Space{std::move(dict)};
  }
  if (type == "Tuple") {
    const auto& spaces = field(json, "spaces", where);
    if (!spaces.is_array()) fail(where + ".spaces", "expected an array");
    Tuple tuple;
    for (std::size_t i = 0; i < spaces.size(); ++i)
      tuple.spaces.push_back(parse(spaces[i], where + "[" + std::to_string(i) + "]", depth + 1));
    return Space{std::move(tuple)};
  }
  fail(where + ".type", "unknown space type '" + type + "'");
}

// Python's repr of a float: shortest text that reads back, with ".0" on whole numbers.
std::string float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// Whether an integral box's bound is written as an integer: a whole number a 64-bit
// integer holds. Others (a fraction, 1e30) keep their exact value as a float.
bool writes_as_integer(double value) {
  return std::floor(value) == value && value >= -9223372036854775808.0 &&
         value < 9223372036854775808.0;
}

ordered_json bound_json(double value, bool integral) {
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (integral && writes_as_integer(value)) return static_cast<std::int64_t>(value);
  return value;
}

std::string bound_text(double value, const std::string& dtype) {
  if (!is_float_type(dtype) && writes_as_integer(value))
    return std::to_string(static_cast<std::int64_t>(value));
  return float_text(value);
}

// A nested bound in numpy's style: "[-4.8 -inf]", "[[0 1] [2 3]]".
void array_text(const std::vector<double>& values, const std::vector<std::int64_t>& shape,
                std::size_t dim, std::size_t& index, const std::string& dtype, std::string& out) {
  if (dim == shape.size()) {
    out += bound_text(values[index++], dtype);
    return;
  }
  out += '[';
  for (std::int64_t i = 0; i < shape[dim]; ++i) {
    if (i) out += ' ';
    array_text(values, shape, dim + 1, index, dtype, out);
  }
  out += ']';
}

std::string box_bound_text(const std::vector<double>& values, const Box& box) {
  bool uniform =
      std::all_of(values.begin(), values.end(), [&](double v) { return v == values.front(); });
  if (values.empty() || uniform)
    return bound_text(values.empty() ? 0.0 : values.front(), box.dtype);
  std::string out;
  std::size_t index = 0;
  array_text(values, box.shape, 0, index, box.dtype, out);
  return out;
}

std::string int_list(const std::vector<std::int64_t>& values, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += separator;
    out += std::to_string(values[i]);
  }
  return out;
}

// Bounds compare in the box's own precision, as the simulator stores them: a float32
// observation equal to the float32 bound 4.8 must count as inside.
bool within(double value, double low, double high, const std::string& dtype) {
  if (dtype == "float32" || dtype == "float16") {
    auto v = static_cast<float>(value);
    return v >= static_cast<float>(low) && v <= static_cast<float>(high);
  }
  return value >= low && value <= high;
}

bool box_element_ok(const json& value, double low, double high, const std::string& dtype) {
  if (dtype == "bool") {
    if (value.is_boolean()) return true;
    return value.is_number_integer() && (value == 0 || value == 1);
  }
  if (!value.is_number()) return false;
  auto number = value.get<double>();
  if (!is_float_type(dtype) && (!std::isfinite(number) || std::floor(number) != number))
    return false;
  return within(number, low, high, dtype);
}

bool box_contains(const Box& box, const json& value, std::size_t dim, std::size_t& index) {
  if (dim == box.shape.size()) {
    auto i = index++;
    return box_element_ok(value, box.low[i], box.high[i], box.dtype);
  }
  if (!value.is_array() || static_cast<std::int64_t>(value.size()) != box.shape[dim]) return false;
  for (const auto& item : value)
    if (!box_contains(box, item, dim + 1, index)) return false;
  return true;
}

bool is_integer(const json& value) {
  return value.is_number_integer();
}

std::int64_t as_int(const json& value) {
  if (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX) return INT64_MAX;
  return value.get<std::int64_t>();
}

double sample_float(double low, double high, const std::string& dtype, std::mt19937_64& random) {
  double value;
  if (low == high) {
    value = low;  // also a bound pinned at an infinity
  } else if (std::isinf(low) && std::isinf(high)) {
    value = std::normal_distribution<double>(0.0, 1.0)(random);
  } else if (std::isinf(low)) {
    value = high - std::exponential_distribution<double>(1.0)(random);
  } else if (std::isinf(high)) {
    value = low + std::exponential_distribution<double>(1.0)(random);
  } else {
    value = std::uniform_real_distribution<double>(low, high)(random);
  }
  if (dtype == "float32" || dtype == "float16") {
    // Round into the box's precision without leaving it.
    float v = static_cast<float>(value);
    v = std::clamp(v, static_cast<float>(low), static_cast<float>(high));
    return static_cast<double>(v);
  }
  return value;
}

json box_sample(const Box& box, std::size_t dim, std::size_t& index, std::mt19937_64& random) {
  if (dim == box.shape.size()) {
    auto i = index++;
    if (box.dtype == "bool") return std::uniform_int_distribution<int>(0, 1)(random);
    if (is_float_type(box.dtype)) return sample_float(box.low[i], box.high[i], box.dtype, random);
    // Parsing refused integral elements without a range.
    const auto [lo, hi] = integer_sample_range(box.low[i], box.high[i]).value();
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(random);
  }
  json out = json::array();
  for (std::int64_t i = 0; i < box.shape[dim]; ++i)
    out.push_back(box_sample(box, dim + 1, index, random));
  return out;
}

std::string child_name(const std::string& parent, const std::string& item) {
  return parent.empty() ? item : parent + "." + item;
}

ordered_json descriptor(const std::string& name, const char* type, const std::string& dtype,
                        double low, double high) {
  bool integral = !is_float_type(dtype);
  return ordered_json{{"name", name},
                      {"type", type},
                      {"dtype", dtype},
                      {"low", bound_json(low, integral)},
                      {"high", bound_json(high, integral)}};
}

// Element names of an array of `shape` below `base`: "base[0][1]"...
std::vector<std::string> element_names(const std::string& base,
                                       const std::vector<std::int64_t>& shape) {
  std::vector<std::string> names{base};
  for (auto size : shape) {
    std::vector<std::string> next;
    next.reserve(names.size() * static_cast<std::size_t>(size));
    for (const auto& name : names)
      for (std::int64_t i = 0; i < size; ++i)
        next.push_back(name + "[" + std::to_string(i) + "]");
    names = std::move(next);
  }
  return names;
}

void describe(const Space& space, const std::string& path, ordered_json& out) {
  const std::string base = path.empty() ? "value" : path;
  std::visit(
      [&](const auto& s) {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Box>) {
          const char* type = is_float_type(s.dtype) ? "continuous"
                             : s.dtype == "bool"    ? "binary"
                                                    : "discrete";
          auto names = element_names(base, s.shape);
          for (std::size_t i = 0; i < names.size(); ++i)
            out.push_back(descriptor(names[i], type, s.dtype, s.low[i], s.high[i]));
        } else if constexpr (std::is_same_v<T, Discrete>) {
          out.push_back(descriptor(base, "discrete", "int64", static_cast<double>(s.start),
                                   static_cast<double>(s.start + s.n - 1)));
        } else if constexpr (std::is_same_v<T, MultiDiscrete>) {
          auto names = element_names(base, {static_cast<std::int64_t>(s.nvec.size())});
          for (std::size_t i = 0; i < names.size(); ++i)
            out.push_back(
                descriptor(names[i], "discrete", "int64", 0, static_cast<double>(s.nvec[i] - 1)));
        } else if constexpr (std::is_same_v<T, MultiBinary>) {
          for (const auto& name : element_names(base, {s.n}))
            out.push_back(descriptor(name, "binary", "int8", 0, 1));
        } else if constexpr (std::is_same_v<T, Dict>) {
          for (const auto& entry : s.spaces)
            describe(entry.space, child_name(path, entry.key), out);
        } else {
          for (std::size_t i = 0; i < s.spaces.size(); ++i)
            describe(s.spaces[i], child_name(path, std::to_string(i)), out);
        }
      },
      space.kind);
}

}  // namespace

Space parse_space(const ordered_json& json) {
  return parse(json, "space", 0);
}

ordered_json to_json(const Space& space) {
  return std::visit(
      [](const auto& s) -> ordered_json {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Box>) {
          bool integral = !is_float_type(s.dtype);
          auto bound = [&](const std::vector<double>& values) -> ordered_json {
            bool uniform = std::all_of(values.begin(), values.end(),
                                       [&](double v) { return v == values.front(); });
            if (values.empty()) return 0;
            if (uniform) return bound_json(values.front(), integral);
            // Nested arrays of the box's shape, filled in row-major order.
            std::size_t index = 0;
            auto build = [&](auto& self, std::size_t dim) -> ordered_json {
              if (dim == s.shape.size()) return bound_json(values[index++], integral);
              ordered_json out = ordered_json::array();
              for (std::int64_t i = 0; i < s.shape[dim]; ++i)
                out.push_back(self(self, dim + 1));
              return out;
            };
            return build(build, 0);
          };
          return {{"type", "Box"},
                  {"low", bound(s.low)},
                  {"high", bound(s.high)},
                  {"shape", s.shape},
                  {"dtype", s.dtype}};
        } else if constexpr (std::is_same_v<T, Discrete>) {
          return {{"type", "Discrete"}, {"n", s.n}, {"start", s.start}};
        } else if constexpr (std::is_same_v<T, MultiDiscrete>) {
          return {{"type", "MultiDiscrete"}, {"nvec", s.nvec}};
        } else if constexpr (std::is_same_v<T, MultiBinary>) {
          return {{"type", "MultiBinary"}, {"n", s.n}};
        } else if constexpr (std::is_same_v<T, Dict>) {
          ordered_json spaces = ordered_json::object();
          for (const auto& entry : s.spaces)
            spaces[entry.key] = to_json(entry.space);
          return {{"type", "Dict"}, {"spaces", spaces}};
        } else {
          ordered_json spaces = ordered_json::array();
          for (const auto& item : s.spaces)
            spaces.push_back(to_json(item));
          return {{"type", "Tuple"}, {"spaces", spaces}};
        }
      },
      space.kind);
}

std::string to_string(const Space& space) {
  return std::visit(
      [](const auto& s) -> std::string {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Box>) {
          std::string shape = "(" + int_list(s.shape, ", ") + (s.shape.size() == 1 ? ",)" : ")");
          return "Box(" + box_bound_text(s.low, s) + ", " + box_bound_text(s.high, s) + ", " +
                 shape + ", " + s.dtype + ")";
        } else if constexpr (std::is_same_v<T, Discrete>) {
          if (s.start == 0) return "Discrete(" + std::to_string(s.n) + ")";
          return "Discrete(" + std::to_string(s.n) + ", start=" + std::to_string(s.start) + ")";
        } else if constexpr (std::is_same_v<T, MultiDiscrete>) {
          return "MultiDiscrete([" + int_list(s.nvec, " ") + "])";
        } else if constexpr (std::is_same_v<T, MultiBinary>) {
          return "MultiBinary(" + std::to_string(s.n) + ")";
        } else if constexpr (std::is_same_v<T, Dict>) {
          std::string out = "Dict(";
          for (std::size_t i = 0; i < s.spaces.size(); ++i) {
            if (i) out += ", ";
            out += core::python_repr(s.spaces[i].key) + ": " + to_string(s.spaces[i].space);
          }
          return out + ")";
        } else {
          std::string out = "Tuple(";
          for (std::size_t i = 0; i < s.spaces.size(); ++i) {
            if (i) out += ", ";
            out += to_string(s.spaces[i]);
          }
          return out + ")";
        }
      },
      space.kind);
}

bool contains(const Space& space, const json& value) {
  return std::visit(
      [&](const auto& s) -> bool {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Box>) {
          std::size_t index = 0;
          return box_contains(s, value, 0, index);
        } else if constexpr (std::is_same_v<T, Discrete>) {
          if (!is_integer(value)) return false;
          auto v = as_int(value);
          return v >= s.start && v - s.start < s.n;
        } else if constexpr (std::is_same_v<T, MultiDiscrete>) {
          if (!value.is_array() || value.size() != s.nvec.size()) return false;
          for (std::size_t i = 0; i < s.nvec.size(); ++i) {
            if (!is_integer(value[i])) return false;
            auto v = as_int(value[i]);
            if (v < 0 || v >= s.nvec[i]) return false;
          }
          return true;
        } else if constexpr (std::is_same_v<T, MultiBinary>) {
          if (!value.is_array() || static_cast<std::int64_t>(value.size()) != s.n) return false;
          return std::all_of(value.begin(), value.end(), [](const json& v) {
            return v.is_boolean() || (is_integer(v) && (v == 0 || v == 1));
          });
        } else if constexpr (std::is_same_v<T, Dict>) {
          if (!value.is_object() || value.size() != s.spaces.size()) return false;
          for (const auto& entry : s.spaces) {
            auto it = value.find(entry.key);
            if (it == value.end() || !contains(entry.space, *it)) return false;
          }
          return true;
        } else {
          if (!value.is_array() || value.size() != s.spaces.size()) return false;
          for (std::size_t i = 0; i < s.spaces.size(); ++i)
            if (!contains(s.spaces[i], value[i])) return false;
          return true;
        }
      },
      space.kind);
}

json sample(const Space& space, std::mt19937_64& random) {
  return std::visit(
      [&](const auto& s) -> json {
        using T = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<T, Box>) {
          std::size_t index = 0;
          return box_sample(s, 0, index, random);
        } else if constexpr (std::is_same_v<T, Discrete>) {
          return s.start + std::uniform_int_distribution<std::int64_t>(0, s.n - 1)(random);
        } else if constexpr (std::is_same_v<T, MultiDiscrete>) {
          json out = json::array();
          for (auto n : s.nvec)
            out.push_back(std::uniform_int_distribution<std::int64_t>(0, n - 1)(random));
          return out;
        } else if constexpr (std::is_same_v<T, MultiBinary>) {
          json out = json::array();
          for (std::int64_t i = 0; i < s.n; ++i)
            out.push_back(std::uniform_int_distribution<int>(0, 1)(random));
          return out;
        } else if constexpr (std::is_same_v<T, Dict>) {
          json out = json::object();
          for (const auto& entry : s.spaces)
            out[entry.key] = sample(entry.space, random);
          return out;
        } else {
          json out = json::array();
          for (const auto& item : s.spaces)
            out.push_back(sample(item, random));
          return out;
        }
      },
      space.kind);
}

ordered_json convert_space_to_json(const Space& space) {
  ordered_json out = ordered_json::array();
  describe(space, "", out);
  return out;
}

}  // namespace tarvo::sim
