#pragma once
// The command line as data: every command with its options and arguments, read from
// the CLI11 tree that tarvo itself parses with, so that what is generated from it
// (completions, manual pages) cannot drift from what tarvo accepts.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tarvo::tools::cli_docs {

// What a value completes to: one of its fixed choices, a file name (for paths and
// locations), or whatever is typed.
enum class ValueKind { choice, file, text };

struct Option {
  std::vector<std::string> long_names;   // "--protocol"; a flag pair gives "--x", "--no-x"
  std::vector<std::string> short_names;  // "-p"
  bool takes_value = false;
  std::string value_name;            // "PROTOCOL" for --protocol
  std::vector<std::string> choices;  // the fixed values its help lists, "(grpc, http)"
  ValueKind kind = ValueKind::text;
  std::string help;           // one line
  std::string default_value;  // shown in help, "" when none

  std::vector<std::string> names() const;  // long names, then short ones
};

struct Argument {
  std::string name;  // "PATH"
  std::string help;
  bool required = false;
  ValueKind kind = ValueKind::text;
};

struct Command {
  std::vector<std::string> path;  // {"tarvo", "sim", "run"}
  std::string description;        // as given; may run over several lines
  std::vector<Option> options;
  std::vector<Argument> arguments;
  std::vector<Command> commands;

  const std::string& name() const { return path.back(); }
  std::string path_text() const;  // "tarvo sim run"
  std::string summary() const;    // the description's first line
};

// `app` and everything below it, hidden options and commands left out.
Command describe(const CLI::App& app);

// The values listed at the end of a help text, "Protocol to run the sim (grpc, http)":
// two or more plain words in parentheses. Empty when there is no such list.
std::vector<std::string> listed_choices(const std::string& help);

// Every command of the tree, depth first, `root` included.
std::vector<const Command*> all_commands(const Command& root);

}  // namespace tarvo::tools::cli_docs
