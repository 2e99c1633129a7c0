#pragma once
// The terminal kit's console: prints markup ("[red]...[/red]", "[green]", "[yellow]",
// "[bold]") as ANSI styles on a terminal and as plain text elsewhere.
//
// Markup rules: only the exact tags above (and their closing forms) are styles;
// any other bracketed text prints as it stands. A backslash before "[" or "\" makes
// that character literal. Text from outside (reply bodies, stderr of a child, error
// texts) goes through escape() so that it always prints literally.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvo::term {

class Table;
class Status;
class LiveLine;

// Makes outside text print literally inside markup.
std::string escape(std::string_view text);

// Renders markup; with `styled` false the tags are simply dropped.
std::string render(std::string_view markup, bool styled);

// Whether output to `stream` gets colour: FORCE_COLOR wins, then NO_COLOR and
// TERM=dumb switch it off, else only a terminal gets it.
bool use_color(std::FILE* stream);

// The terminal's width in columns: the terminal's own, else COLUMNS, else 80.
int terminal_width(std::FILE* stream);

class Console {
 public:
  explicit Console(std::FILE* stream = stdout);

  // One line of markup (a newline is added).
  void print(std::string_view markup) const;
  // One line written exactly as given, no markup.
  void print_plain(std::string_view text) const;
  // A time-stamped progress line: "[HH:MM:SS] message"; further lines of the message
  // are indented to start under its first.
  void log(std::string_view markup) const;
  // A JSON value in Python's literal form, wrapped to the width like a pretty printer.
  void print_pretty(const nlohmann::ordered_json& value) const;
  void print_table(const Table& table) const;

  // A transient busy line shown until the returned object is destroyed (animated
  // on a terminal only; always removed, also when the block throws). Lines printed
  // through this console meanwhile appear above it.
  [[nodiscard]] std::unique_ptr<Status> status(std::string_view text) const;

  bool is_terminal() const { return terminal_; }
  bool styled() const { return styled_; }
  int width() const;
  std::FILE* stream() const { return stream_; }

 private:
  void write(std::string_view text) const;

  std::FILE* stream_;
  std::shared_ptr<LiveLine> live_;  // shared with this console's spinners
  bool terminal_;
  bool styled_;
};

}  // namespace tarvo::term
