#pragma once
// The terminal kit's console: prints markup ("[red]...[/red]", "[green]", "[yellow]",
// "[bold]") as ANSI styles on a terminal and as plain text elsewhere.
//
// Markup rules: only the exact tags above (and their closing forms) are styles;
// any other bracketed text prints as it stands. A backslash before "[" or "\" makes
// that character literal. Text from outside (reply bodies, stderr of a child, error
// texts) goes through escape() so that it always prints literally.
//
// On a terminal, control characters (C0 but tab and newline, DEL, C1, ESC) print as
// visible escapes ("\x1b"), so that text from a remote party can never move the
// cursor, clear the screen or retitle the window; a pipe or a file gets them as
// they are.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/utf8.hpp"

namespace tarvo::term {

class Table;
class Status;
class LiveLine;

// Makes outside text print literally inside markup.
std::string escape(std::string_view text);

// Renders markup; with `styled` false the tags are simply dropped. With `terminal`
// the control characters in it become visible escapes.
std::string render(std::string_view markup, bool styled, bool terminal = false);

// Control characters as visible escapes (see core/utf8.hpp).
using core::visible_controls;

// Outside text ready for `stream`: visible_controls() on a terminal, unchanged else.
std::string for_stream(std::string_view text, std::FILE* stream);

// Whether output to `stream` gets colour: FORCE_COLOR wins, then NO_COLOR and
// TERM=dumb switch it off, else only a terminal gets it.
bool use_color(std::FILE* stream);

// The terminal's width in columns: the terminal's own, else COLUMNS, else 80.
int terminal_width(std::FILE* stream);

// Writes one line of the core logger to standard error, its message's markup rendered
// as Console::print renders it (the sink the CLI installs in the logger).
void write_log_line(std::string_view prefix, std::string_view message);

class Console {
 public:
  explicit Console(std::FILE* stream = stdout);

  // One line of markup (a newline is added).
  void print(std::string_view markup) const;
  // One line written exactly as given, no markup.
  void print_plain(std::string_view text) const;
  // A JSON document: as given, but with visible escapes on a terminal.
  void print_json_text(std::string_view text) const;
  // A JSON value as a document indented by two spaces (invalid UTF-8 replaced).
  void print_json(const nlohmann::ordered_json& value) const;
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
