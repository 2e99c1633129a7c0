#include "command_tree.hpp"

#include <algorithm>
#include <cctype>
#include <regex>

namespace tarvo::tools::cli_docs {
namespace {

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

std::string value_name_of(const std::string& long_name) {
  std::string name = long_name;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
    return c == '-' ? '_' : static_cast<char>(std::toupper(c));
  });
  return name;
}

ValueKind kind_of(const std::string& value_name, const std::vector<std::string>& choices) {
  if (!choices.empty()) return ValueKind::choice;
  for (const char* word : {"PATH", "LOCATION"})
    if (value_name.find(word) != std::string::npos) return ValueKind::file;
  return ValueKind::text;
}

Option describe_option(const CLI::Option& option) {
  Option described;
  for (const auto& name : option.get_lnames())
    described.long_names.push_back("--" + name);
  for (const auto& name : option.get_snames())
    described.short_names.push_back("-" + name);
  described.takes_value = option.get_items_expected_max() > 0;
  described.help = first_line(option.get_description());
  if (described.takes_value) {
    described.value_name = value_name_of(option.get_lnames().empty() ? option.get_snames().front()
                                                                     : option.get_lnames().front());
    described.choices = listed_choices(described.help);
    described.default_value = option.get_default_str();
    described.kind = kind_of(described.value_name, described.choices);
  }
  return described;
}

bool hidden(const std::string& group) {
  return group.empty();
}

}  // namespace

std::vector<std::string> Option::names() const {
  auto all = long_names;
  all.insert(all.end(), short_names.begin(), short_names.end());
  return all;
}

std::string Command::path_text() const {
  std::string text;
  for (const auto& word : path)
    text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string Command::summary() const {
  return first_line(description);
}

std::vector<std::string> listed_choices(const std::string& help) {
  static const std::regex list(R"(\(([a-z0-9][a-z0-9_-]*(?:, [a-z0-9][a-z0-9_-]*)+)\)\s*$)");
  std::smatch match;
  if (!std::regex_search(help, match, list)) return {};
  std::vector<std::string> choices;
  const std::string items = match[1];
  for (std::size_t start = 0;;) {
    const auto comma = items.find(", ", start);
    choices.push_back(items.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  return choices;
}

Command describe(const CLI::App& app) {
  Command command;
  for (const auto* at = &app; at; at = at->get_parent())
    command.path.insert(command.path.begin(), at->get_name());
  command.description = app.get_description();
  for (const auto* option : app.get_options()) {
    if (hidden(option->get_group())) continue;
    if (option->nonpositional())
      command.options.push_back(describe_option(*option));
    else
      command.arguments.push_back({option->get_name(), first_line(option->get_description()),
                                   option->get_required(), kind_of(option->get_name(), {})});
  }
  for (const auto* sub :
       app.get_subcommands([](const CLI::App* sub) { return !hidden(sub->get_group()); }))
    command.commands.push_back(describe(*sub));
  return command;
}

std::vector<const Command*> all_commands(const Command& root) {
  std::vector<const Command*> all{&root};
  for (const auto& command : root.commands) {
    const auto below = all_commands(command);
    all.insert(all.end(), below.begin(), below.end());
  }
  return all;
}

}  // namespace tarvo::tools::cli_docs
