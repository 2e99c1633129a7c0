#pragma once
// A single-choice menu. On a terminal (input and output both): arrow keys or j/k
// move, Home/End jump, Enter chooses, Esc or q cancels; the menu is drawn in place and
// erased when it closes. Without a terminal: the title and the entries numbered from 1
// are printed and a number is read from the input; an empty line or end of input
// cancels, and any other answer that is not a number from 1 to N prints a one-line
// hint and asks again. A menu without entries is cancelled at once.
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
