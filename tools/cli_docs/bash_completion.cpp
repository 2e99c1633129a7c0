// The bash completion script. Tables of the tree (commands, options, the options that
// take a value and what that value completes to) as case statements keyed by the
// command path, and one function that walks the words typed so far to find that path.
// It needs nothing from the bash-completion package.
#include <sstream>

#include "shell_quote.hpp"
#include "writers.hpp"

namespace tarvo::tools::cli_docs {
namespace {

// The words of the command path typed so far, as the script keys them: "" or "sim run".
std::string key_of(const Command& command) {
  return single_quoted(subpath(command.path));
}

std::string option_key(const Command& command, const std::string& name) {
  return single_quoted(subpath(command.path) + ":" + name);
}

void write_commands(std::ostream& out, const std::vector<const Command*>& commands) {
  out << "# The commands below a command path (\"\" is tarvo itself).\n"
         "_tarvo_commands() {\n  case $1 in\n";
  for (const auto* command : commands) {
    if (command->commands.empty()) continue;
    std::vector<std::string> names;
    for (const auto& sub : command->commands)
      names.push_back(sub.name());
    out << "  " << key_of(*command) << ") REPLY=" << single_quoted(joined(names)) << " ;;\n";
  }
  out << "  *) REPLY='' ;;\n  esac\n}\n\n";
}

void write_options(std::ostream& out, const std::vector<const Command*>& commands) {
  out << "# The options of a command path.\n_tarvo_options() {\n  case $1 in\n";
  for (const auto* command : commands) {
    std::vector<std::string> names;
    for (const auto& option : command->options)
      for (const auto& name : option.names())
        names.push_back(name);
    out << "  " << key_of(*command) << ") REPLY=" << single_quoted(joined(names)) << " ;;\n";
  }
  out << "  *) REPLY='' ;;\n  esac\n}\n\n";
}

// For "path:option": fails when the option takes no value; else REPLY holds its fixed
// values, or "<file>" for a file name, or nothing for free text.
void write_values(std::ostream& out, const std::vector<const Command*>& commands) {
  out << "# What the value of an option completes to: its fixed values, <file> for a file\n"
         "# name, nothing for free text; fails when the option takes no value.\n"
         "_tarvo_option_value() {\n  case $1:$2 in\n";
  for (const auto* command : commands)
    for (const auto& option : command->options) {
      if (!option.takes_value) continue;
      std::vector<std::string> keys;
      for (const auto& name : option.names())
        keys.push_back(option_key(*command, name));
      std::string reply;
      if (option.kind == ValueKind::choice) reply = joined(option.choices);
      if (option.kind == ValueKind::file) reply = "<file>";
      out << "  " << joined(keys, " | ") << ") REPLY=" << single_quoted(reply) << " ;;\n";
    }
  out << "  *) return 1 ;;\n  esac\n}\n\n";
}

// What a command's arguments complete to, as for option values; fails when it has none.
// Where they are free text, the options are offered instead.
void write_arguments(std::ostream& out, const std::vector<const Command*>& commands) {
  out << "# What the arguments of a command path complete to, as for option values; fails\n"
         "# when it takes none.\n_tarvo_argument() {\n  case $1 in\n";
  for (const auto* command : commands) {
    if (command->arguments.empty()) continue;
    const bool files = command->arguments.front().kind == ValueKind::file;
    out << "  " << key_of(*command) << ") REPLY=" << (files ? "'<file>'" : "''") << " ;;\n";
  }
  out << "  *) return 1 ;;\n  esac\n}\n\n";
}

constexpr const char* kCompletion =
    R"(# Sets COMPREPLY to the words of $1 (or to file names for <file>) that start with $2.
_tarvo_reply() {
  if [[ $1 == '<file>' ]]; then
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$2")
  else
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
  fi
}

_tarvo() {
  local REPLY cur=${COMP_WORDS[COMP_CWORD]} path='' value_of='' word i
  COMPREPLY=()
  # The command path, skipping options and their values. bash splits "--opt=value"
  # into "--opt", "=", "value".
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $value_of ]]; then
      [[ $word == = ]] || value_of=''
      continue
    fi
    case $word in
    -*) _tarvo_option_value "$path" "$word" && value_of=$word ;;
    *)
      _tarvo_commands "$path"
      [[ " $REPLY " == *" $word "* ]] && path=${path:+$path }$word
      ;;
    esac
  done
  if [[ -n $value_of ]]; then
    [[ $cur == = ]] && cur=''
    _tarvo_option_value "$path" "$value_of"
    [[ -n $REPLY ]] && _tarvo_reply "$REPLY" "$cur"
    return 0
  fi
  if [[ $cur != -* ]]; then
    _tarvo_commands "$path"
    if [[ -n $REPLY ]]; then
      _tarvo_reply "$REPLY" "$cur"
      return 0
    fi
    if _tarvo_argument "$path" && [[ -n $REPLY ]]; then
      _tarvo_reply "$REPLY" "$cur"
      return 0
    fi
  fi
  _tarvo_options "$path"
  _tarvo_reply "$REPLY" "$cur"
  return 0
}

complete -F _tarvo tarvo
)";

}  // namespace

std::string bash_completion(const Command& root) {
  const auto commands = all_commands(root);
  std::ostringstream out;
  out << script_header("bash");
  write_commands(out, commands);
  write_options(out, commands);
  write_values(out, commands);
  write_arguments(out, commands);
  out << kCompletion;
  return out.str();
}

}  // namespace tarvo::tools::cli_docs
