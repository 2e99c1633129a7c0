// The zsh completion function `_tarvo`: one function per command, each an
// `_arguments` call; a group offers its commands with their summaries and hands the
// rest of the line to the chosen command's function.
#include <cctype>
#include <sstream>

#include "shell_quote.hpp"
#include "writers.hpp"

namespace tarvo::tools::cli_docs {
namespace {

std::string function_name(const Command& command) {
  std::string name = "_" + joined(command.path, "_");
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// Text inside an _arguments description, where ] ends it and \ escapes.
std::string description(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string action(ValueKind kind, const std::vector<std::string>& choices) {
  if (kind == ValueKind::choice) return "(" + joined(choices) + ")";
  if (kind == ValueKind::file) return "_files";
  return " ";
}

// One _arguments entry per name, each excluding the option's other names (and itself).
void write_option(std::ostream& out, const Option& option) {
  const auto names = option.names();
  const std::string excluded = names.size() > 1 ? "(" + joined(names) + ")" : "";
  for (const auto& name : names) {
    std::string entry = excluded + name;
    if (option.takes_value) entry += name.rfind("--", 0) == 0 ? "=" : "+";
    entry += "[" + description(option.help.empty() ? name : option.help) + "]";
    if (option.takes_value)
      entry += ":" + option.value_name + ":" + action(option.kind, option.choices);
    out << " \\\n    " << single_quoted(entry);
  }
}

void write_command(std::ostream& out, const Command& command) {
  out << function_name(command) << "() {\n";
  if (command.commands.empty()) {
    out << "  _arguments -s -S";
    for (const auto& option : command.options)
      write_option(out, option);
    for (const auto& argument : command.arguments)
      out << " \\\n    "
          << single_quoted(std::string(argument.required ? ":" : "::") + argument.name + ":" +
                           action(argument.kind, {}));
    out << "\n}\n\n";
    return;
  }
  out << "  local curcontext=$curcontext state line\n  _arguments -C";
  for (const auto& option : command.options)
    write_option(out, option);
  out << " \\\n    '1:command:->command' \\\n    '*::argument:->argument'\n"
      << "  case $state in\n  command)\n    local -a commands=(\n";
  for (const auto& sub : command.commands)
    out << "      " << single_quoted(sub.name() + ":" + sub.summary()) << "\n";
  out << "    )\n    _describe -t commands " << single_quoted(command.path_text() + " command")
      << " commands\n    ;;\n  argument)\n    case $line[1] in\n";
  for (const auto& sub : command.commands)
    out << "    " << single_quoted(sub.name()) << ") " << function_name(sub) << " ;;\n";
  out << "    esac\n    ;;\n  esac\n}\n\n";
}

}  // namespace

std::string zsh_completion(const Command& root) {
  std::ostringstream out;
  out << "#compdef tarvo\n" << script_header("zsh");
  const auto commands = all_commands(root);
  for (auto it = commands.rbegin(); it != commands.rend(); ++it)
    write_command(out, **it);
  out << function_name(root) << " \"$@\"\n";
  return out.str();
}

}  // namespace tarvo::tools::cli_docs
