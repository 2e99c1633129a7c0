#include "term/table.hpp"

#include <algorithm>
#include <numeric>

#include "term/console.hpp"

namespace tarvo::term {
namespace {

using Cell = std::vector<std::string>;  // the lines of one cell

struct Box {
  std::string_view left, fill, join, right;
};
constexpr Box kTop{"┏", "━", "┳", "┓"};
constexpr Box kHeader{"┃", " ", "┃", "┃"};
constexpr Box kHeaderRule{"┡", "━", "╇", "┩"};
constexpr Box kBody{"│", " ", "│", "│"};
constexpr Box kBottom{"└", "─", "┴", "┘"};

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i)
    out += piece;
  return out;
}

std::string rule(const Box& box, const std::vector<int>& widths) {
  std::string line(box.left);
  for (std::size_t c = 0; c < widths.size(); ++c) {
    if (c > 0) line += box.join;
    line += repeat(box.fill, widths[c] + 2);
  }
  return line + std::string(box.right);
}

// Cell text as the terminal will show it; a tab would upset the column arithmetic.
std::string render_cell(std::string_view markup, bool bold, bool styled, bool terminal) {
  std::string text = bold ? render("[bold]" + std::string(markup) + "[/bold]", styled, terminal)
                          : render(markup, styled, terminal);
  std::replace(text.begin(), text.end(), '\t', ' ');
  return text;
}

struct Measure {
  int natural = 0;                 // widest line unwrapped
  WrapMinimums minimums{0, 0, 1};  // narrowest widths for each way of wrapping
};

void measure(std::string_view text, Measure& m) {
  int line = 0;
  for (const auto& glyph : split_glyphs(text)) {
    if (glyph.bytes == "\n") {
      line = 0;
      continue;
    }
    line += glyph.width;
    m.natural = std::max(m.natural, line);
  }
  const WrapMinimums cell = wrap_minimums(text);
  m.minimums.word = std::max(m.minimums.word, cell.word);
  m.minimums.piece = std::max(m.minimums.piece, cell.piece);
  m.minimums.unbreakable = std::max(m.minimums.unbreakable, cell.unbreakable);
}

// Each column's narrowest width: words kept whole where the room allows, else pieces
// of words, else only addresses and characters.
std::vector<int> minimum_widths(const std::vector<Measure>& columns, int room) {
  for (const auto stage : {&WrapMinimums::word, &WrapMinimums::piece}) {
    std::vector<int> minimums;
    int total = 0;
    for (const auto& m : columns) {
      minimums.push_back(std::min(m.natural, m.minimums.*stage));
      total += minimums.back();
    }
    if (total <= room) return minimums;
  }
  std::vector<int> minimums;
  for (const auto& m : columns)
    minimums.push_back(m.minimums.unbreakable);
  return minimums;
}

// Column widths that fit `room`: the widest columns are cut down to a common level
// first, so narrow columns keep their text whole as long as possible.
std::vector<int> fit_widths(const std::vector<Measure>& columns, int room) {
  const std::vector<int> minimums = minimum_widths(columns, room);
  std::vector<int> widths;
  auto total_at = [&](int level) {
    int total = 0;
    for (std::size_t c = 0; c < columns.size(); ++c)
      total += std::max(minimums[c], std::min(columns[c].natural, level));
    return total;
  };
  int widest = 0;
  for (const auto& m : columns)
    widest = std::max(widest, m.natural);
  int level = widest;
  if (total_at(widest) > room) {
    int low = 0, high = widest;  // total_at(low) may still exceed room: minimums win
    while (low < high) {
      const int mid = (low + high + 1) / 2;
      if (total_at(mid) <= room)
        low = mid;
      else
        high = mid - 1;
    }
    level = low;
  }
  for (std::size_t c = 0; c < columns.size(); ++c)
    widths.push_back(std::max(minimums[c], std::min(columns[c].natural, level)));
  // Hand out what the level left over, one column each, widest first.
  int spare = room - std::accumulate(widths.begin(), widths.end(), 0);
  std::vector<std::size_t> order(columns.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return columns[a].natural > columns[b].natural;
  });
  for (std::size_t c : order) {
    if (spare <= 0) break;
    if (columns[c].natural > widths[c]) {
      ++widths[c];
      --spare;
    }
  }
  return widths;
}

void add_lines(std::vector<std::string>& lines, const Box& box, const std::vector<Cell>& cells,
               const std::vector<int>& widths) {
  std::size_t height = 1;
  for (const auto& cell : cells)
    height = std::max(height, cell.size());
  for (std::size_t row = 0; row < height; ++row) {
    std::string line(box.left);
    for (std::size_t c = 0; c < widths.size(); ++c) {
      if (c > 0) line += box.join;
      const std::string_view text = row < cells[c].size() ? cells[c][row] : std::string_view();
      line += ' ';
      line += text;
      line += std::string(std::max(0, widths[c] - display_width(text)) + 1, ' ');
    }
    lines.push_back(line + std::string(box.right));
  }
}

}  // namespace

std::vector<std::string> Table::render(int width, bool styled, bool terminal) const {
  std::size_t count = headers_.size();
  for (const auto& row : rows_)
    count = std::max(count, row.size());
  if (count == 0) return {};

  auto render_row = [&](const std::vector<std::string>& markup, bool bold) {
    std::vector<std::string> texts(count);
    for (std::size_t c = 0; c < markup.size(); ++c)
      texts[c] = render_cell(markup[c], bold, styled, terminal);
    return texts;
  };
  const auto header = render_row(headers_, true);
  std::vector<std::vector<std::string>> body;
  for (const auto& row : rows_)
    body.push_back(render_row(row, false));

  std::vector<Measure> columns(count);
  for (std::size_t c = 0; c < count; ++c) {
    measure(header[c], columns[c]);
    for (const auto& row : body)
      measure(row[c], columns[c]);
  }
  // Each column takes its text, a space either side and one border.
  const int room = width - 3 * static_cast<int>(count) - 1;
  const auto widths = fit_widths(columns, room);

  auto wrap_row = [&](const std::vector<std::string>& texts) {
    std::vector<Cell> cells;
    for (std::size_t c = 0; c < count; ++c)
      cells.push_back(wrap(texts[c], widths[c]));
    return cells;
  };

  std::vector<std::string> lines;
  const int table_width =
      std::accumulate(widths.begin(), widths.end(), 0) + 3 * static_cast<int>(count) + 1;
  if (!title_.empty()) {
    for (const auto& line : wrap(term::render(title_, styled, terminal), table_width)) {
      const int left = (table_width - display_width(line)) / 2;
      const int right = std::max(0, table_width - display_width(line) - left);
      lines.push_back(std::string(left, ' ') + line + std::string(right, ' '));
    }
  }
  lines.push_back(rule(kTop, widths));
  add_lines(lines, kHeader, wrap_row(header), widths);
  lines.push_back(rule(kHeaderRule, widths));
  for (const auto& row : body)
    add_lines(lines, kBody, wrap_row(row), widths);
  lines.push_back(rule(kBottom, widths));
  return lines;
}

}  // namespace tarvo::term
