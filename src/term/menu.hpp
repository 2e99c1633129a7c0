#pragma once
// A single-choice menu. On a terminal: arrow keys or j/k move, Enter chooses,
// Esc or q cancels. Without a terminal: the title and numbered entries are printed
// and a number is read from standard input; an empty line or end of input cancels,
// any other answer outside 1..N asks again.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::term {

class Menu {
 public:
  Menu(std::vector<std::string> entries, std::string title)
      : entries_(std::move(entries)), title_(std::move(title)) {}

  // The chosen entry's position, or nothing when cancelled. Throws core::Interrupted
  // on Ctrl-C.
  std::optional<std::size_t> show(std::FILE* in = stdin, std::FILE* out = stdout) const;

 private:
  std::optional<std::size_t> show_terminal(int in_fd, std::FILE* out) const;
  std::optional<std::size_t> show_numbered(std::FILE* in, std::FILE* out) const;

  std::vector<std::string> entries_;
  std::string title_;
};

}  // namespace tarvo::term
