// The order of a simulator's versions: by number, newest first.
#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "cli/sim/catalog.hpp"
#include "core/python_repr.hpp"

namespace tarvo::cli::sim {
namespace {

[[noreturn]] void not_an_integer(const Json& value, const std::string& sim_name) {
  throw std::invalid_argument("Sim \"" + sim_name +
                              "\" has a version that is not an integer: " + value.dump());
}

// Integer text as the platform writes it: optional blanks around an optionally signed
// run of digits.
std::optional<long long> parse_integer(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\n\r");
  if (first == std::string::npos) return std::nullopt;
  const auto last = text.find_last_not_of(" \t\n\r");
  std::string digits = text.substr(first, last - first + 1);
  std::size_t start = digits[0] == '+' || digits[0] == '-' ? 1 : 0;
  if (start == digits.size() ||
      !std::all_of(digits.begin() + static_cast<long>(start), digits.end(),
                   [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  try {
    return std::stoll(digits);
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

}  // namespace

long long _version_number(const Json& version, const std::string& sim_name) {
  if (!version.is_object()) not_an_integer(version, sim_name);
  const auto found = version.find("version");
  if (found == version.end()) return 1;
  const Json& value = *found;
  if (value.is_number_integer()) return value.get<long long>();
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9e18)
      return static_cast<long long>(number);
  }
  if (value.is_string())
    if (const auto number = parse_integer(value.get<std::string>())) return *number;
  not_an_integer(value, sim_name);
}

std::vector<Json> _sorted_versions(const Json& versions, const std::string& sim_name) {
  if (versions.is_null()) return {};
  if (!versions.is_array())
    throw std::invalid_argument("Sim \"" + sim_name +
                                "\" has versions that are not a list: " + versions.dump());
  std::vector<std::pair<long long, Json>> numbered;
  for (const auto& version : versions)
    numbered.emplace_back(_version_number(version, sim_name), version);
  std::stable_sort(numbered.begin(), numbered.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Json> sorted;
  for (auto& [number, version] : numbered)
    sorted.push_back(std::move(version));
  return sorted;
}

std::string _text_of(const Json& value) {
  return value.is_string() ? value.get<std::string>() : core::python_repr(value);
}

}  // namespace tarvo::cli::sim
