#include "host/suggest.hpp"

#include <algorithm>
#include <numeric>

namespace tarvo::host {
namespace {

std::size_t allowed_edits(std::size_t length) {
  if (length <= 5) return 1;
  if (length <= 8) return 2;
  return 3;
}

// A command's option names as they are typed: "--address", "-a", "--no-stream".
std::vector<std::string> option_names(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::Option* option : command.get_options()) {
    for (const auto& name : option->get_lnames())
      names.push_back("--" + name);
    for (const auto& name : option->get_snames())
      names.push_back("-" + name);
  }
  return names;
}

std::vector<std::string> subcommand_names(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::App* sub : command.get_subcommands([](const CLI::App*) { return true; }))
    names.push_back(sub->get_name());
  return names;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names)
    text += (text.empty() ? "'" : ", '") + name + "'";
  return text;
}

}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
  // Optimal string alignment: Levenshtein plus swaps of two neighbouring characters.
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  std::iota(d[0].begin(), d[0].end(), 0);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::vector<std::string> similar_names(std::string_view typed,
                                       const std::vector<std::string>& candidates) {
  std::string_view bare = typed;
  while (bare.starts_with('-'))
    bare.remove_prefix(1);
  std::size_t best = allowed_edits(bare.size());
  std::vector<std::string> closest;
  std::vector<std::string> extending;
  for (const auto& candidate : candidates) {
    if (candidate == typed) continue;
    if (bare.size() >= 3 && candidate.starts_with(typed)) extending.push_back(candidate);
    const std::size_t distance = edit_distance(typed, candidate);
    if (distance < best) {
      best = distance;
      closest.clear();
    }
    if (distance == best) closest.push_back(candidate);
  }
  for (auto& name : extending)
    if (std::find(closest.begin(), closest.end(), name) == closest.end())
      closest.push_back(std::move(name));
  return closest;
}

std::string did_you_mean(const CLI::App& command) {
  for (std::string word : command.remaining()) {
    const bool option = word.starts_with('-');
    if (option) word = word.substr(0, word.find('='));  // "--adress=x"
    auto names = similar_names(word, option ? option_names(command) : subcommand_names(command));
    if (names.empty()) continue;
    if (names.size() == 1) return "Did you mean '" + names.front() + "'?";
    return "Did you mean one of these? " + quoted_list(names);
  }
  return "";
}

}  // namespace tarvo::host
