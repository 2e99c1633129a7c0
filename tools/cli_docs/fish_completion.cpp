// The fish completion script: a function that walks the words typed so far to find
// the command path (skipping options and their values), and one `complete` line per
// command and option, offered only at its command path.
#include <sstream>

#include "shell_quote.hpp"
#include "writers.hpp"

namespace tarvo::tools::cli_docs {
namespace {

constexpr const char* kPathFunction =
    R"(# The command path typed so far ("sim run"), skipping options and their values.
function __tarvo_command_path
    set -l path ''
    set -l skip 0
    for token in (commandline -opc)[2..-1]
        if test $skip -eq 1
            set skip 0
        else if string match -q -- '-*' $token
            if not string match -q -- '*=*' $token
                and contains -- "$path:$token" $__tarvo_value_options
                set skip 1
            end
        else if contains -- (string trim -- "$path $token") $__tarvo_commands
            set path (string trim -- "$path $token")
        end
    end
    echo $path
end

function __tarvo_at
    set -l path (__tarvo_command_path)
    test "$path" = "$argv[1]"
end

)";

std::string condition(const Command& command) {
  return fish_quoted("__tarvo_at " + fish_quoted(subpath(command.path)));
}

void write_option(std::ostream& out, const Command& command, const Option& option) {
  out << "complete -c tarvo -n " << condition(command);
  for (const auto& name : option.long_names)
    out << " -l " << name.substr(2);
  for (const auto& name : option.short_names)
    out << " -s " << name.substr(1);
  if (option.takes_value) {
    if (option.kind == ValueKind::choice)
      out << " -x -a " << fish_quoted(joined(option.choices));
    else if (option.kind == ValueKind::file)
      out << " -r -F";
    else
      out << " -x";
  }
  if (!option.help.empty()) out << " -d " << fish_quoted(option.help);
  out << "\n";
}

}  // namespace

std::string fish_completion(const Command& root) {
  const auto commands = all_commands(root);
  std::ostringstream out;
  out << script_header("fish");
  std::vector<std::string> paths, value_options;
  for (const auto* command : commands) {
    if (command != &root) paths.push_back(fish_quoted(subpath(command->path)));
    for (const auto& option : command->options)
      if (option.takes_value)
        for (const auto& name : option.names())
          value_options.push_back(fish_quoted(subpath(command->path) + ":" + name));
  }
  out << "set -g __tarvo_commands " << joined(paths) << "\n"
      << "set -g __tarvo_value_options " << joined(value_options) << "\n\n"
      << kPathFunction << "complete -c tarvo -f\n";
  for (const auto* command : commands) {
    out << "\n";
    for (const auto& sub : command->commands)
      out << "complete -c tarvo -n " << condition(*command) << " -a " << fish_quoted(sub.name())
          << " -d " << fish_quoted(sub.summary()) << "\n";
    if (!command->arguments.empty() && command->arguments.front().kind == ValueKind::file)
      out << "complete -c tarvo -n " << condition(*command) << " -F\n";
    for (const auto& option : command->options)
      write_option(out, *command, option);
  }
  return out.str();
}

}  // namespace tarvo::tools::cli_docs
