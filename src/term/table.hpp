#pragma once
// A box-drawn table: a header row and data rows; column widths follow the display
// width of UTF-8 text (wide CJK and emoji count two) and shrink to fit the terminal,
// folding over-long cells onto further lines.
#include <string>
#include <vector>

#include "term/text.hpp"

namespace tarvo::term {

class Table {
 public:
  explicit Table(std::string title = {}) : title_(std::move(title)) {}

  // Header cells and row cells are markup, like Console::print.
  void add_column(std::string header) { headers_.push_back(std::move(header)); }
  void add_row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }

  // The table as lines of plain or styled text, fitted to `width` columns: the widest
  // columns give up room first, and cells fold onto further lines. Only when `width`
  // cannot hold even one character per column is the table wider. A row with more
  // cells than there are headers gets columns with empty headers. With `terminal`,
  // control characters in cells show as visible escapes.
  std::vector<std::string> render(int width, bool styled, bool terminal = false) const;

  const std::string& title() const { return title_; }
  const std::vector<std::string>& headers() const { return headers_; }
  const std::vector<std::vector<std::string>>& rows() const { return rows_; }

 private:
  std::string title_;
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace tarvo::term
