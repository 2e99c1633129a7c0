#include "term/text.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/utf8.hpp"

namespace tarvo::term {
namespace {

// Columns one character takes: Unicode's East Asian width and emoji presentation,
// as utf8proc keeps them current; control characters take none.
int char_width(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  return utf8proc_charwidth(static_cast<utf8proc_int32_t>(c));
}

// Length of the SGR sequence ("\x1b[" digits and ';' "m") at the start of `text`, or 0.
std::size_t sgr_length(std::string_view text) {
  if (text.size() < 3 || text[0] != '\x1b' || text[1] != '[') return 0;
  for (std::size_t i = 2; i < text.size(); ++i) {
    if (text[i] == 'm') return i + 1;
    if (!(text[i] == ';' || (text[i] >= '0' && text[i] <= '9'))) return 0;
  }
  return 0;
}

constexpr std::string_view kReset = "\x1b[0m";

// Builds wrapped lines, carrying the styles in force across line breaks.
class LineBuilder {
 public:
  explicit LineBuilder(std::vector<std::string>& out) : out_(out) {}

  void put(const Glyph& glyph) {
    line_ += glyph.bytes;
    if (glyph.escape) {
      if (glyph.bytes == kReset)
        active_.clear();
      else
        active_ += glyph.bytes;
    } else {
      used_ += glyph.width;
      blank_ = false;
    }
  }
  void finish() {
    if (!active_.empty()) line_ += kReset;
    out_.push_back(std::move(line_));
    line_ = active_;
    used_ = 0;
    blank_ = true;
  }
  int used() const { return used_; }
  bool blank() const { return blank_; }

 private:
  std::vector<std::string>& out_;
  std::string active_;
  std::string line_;
  int used_ = 0;
  bool blank_ = true;
};

// Where a word may break besides its end: after ",", after "/" (but not inside "://"
// or "//"), after "-" (but "->" stays whole) and after "->".
bool soft_break_after(const std::vector<Glyph>& glyphs, std::size_t k, std::size_t end) {
  if (k + 1 >= end) return false;
  const std::string_view here = glyphs[k].bytes;
  const std::string_view next = glyphs[k + 1].bytes;
  const std::string_view before = k > 0 ? glyphs[k - 1].bytes : std::string_view();
  if (here == ",") return true;
  if (here == "/") return before != ":" && before != "/" && next != "/";
  if (here == "-") return next != ">";
  if (here == ">") return before == "-";
  return false;
}

// A piece that holds "host:port" is never broken: half an address reads as another.
bool holds_address(const std::vector<Glyph>& glyphs, std::size_t begin, std::size_t end) {
  for (std::size_t j = begin + 1; j + 1 < end; ++j) {
    const std::string_view next = glyphs[j + 1].bytes;
    if (glyphs[j].bytes == ":" && next.size() == 1 && next[0] >= '0' && next[0] <= '9') return true;
  }
  return false;
}

int width_of(const std::vector<Glyph>& glyphs, std::size_t begin, std::size_t end) {
  int width = 0;
  for (std::size_t k = begin; k < end; ++k)
    width += glyphs[k].width;
  return width;
}

// Calls `piece(begin, end)` for each piece of the word glyphs[begin, end).
template <typename Piece>
void for_each_piece(const std::vector<Glyph>& glyphs, std::size_t begin, std::size_t end,
                    Piece piece) {
  std::size_t start = begin;
  for (std::size_t k = begin; k < end; ++k) {
    if (soft_break_after(glyphs, k, end)) {
      piece(start, k + 1);
      start = k + 1;
    }
  }
  if (start < end) piece(start, end);
}

// Calls `word(begin, end)` for each run of glyphs between spaces.
template <typename Word>
void for_each_word(const std::vector<Glyph>& glyphs, Word word) {
  std::size_t i = 0;
  while (i < glyphs.size()) {
    std::size_t end = i;
    while (end < glyphs.size() && glyphs[end].bytes != " ")
      ++end;
    if (end > i) word(i, end);
    i = end + 1;
  }
}

void wrap_paragraph(std::string_view paragraph, int width, LineBuilder& line) {
  const auto glyphs = split_glyphs(paragraph);
  const Glyph space{" ", 1, false};
  std::size_t i = 0;
  while (i < glyphs.size()) {
    // One word: the glyphs up to the next space.
    std::size_t end = i;
    while (end < glyphs.size() && glyphs[end].bytes != " ")
      ++end;
    if (end == i) {  // a space: kept inside a line, dropped at a break
      if (!line.blank() && line.used() + 1 <= width) line.put(space);
      ++i;
      continue;
    }
    const int word_width = width_of(glyphs, i, end);
    if (!line.blank()) {
      if (line.used() + 1 + word_width <= width)
        line.put(space);
      else
        line.finish();
    }
    if (line.used() + word_width <= width) {
      for (std::size_t k = i; k < end; ++k)
        line.put(glyphs[k]);
    } else {
      // Too long for a line of its own: at its soft breaks, then inside pieces that
      // hold no address.
      for_each_piece(glyphs, i, end, [&](std::size_t begin, std::size_t piece_end) {
        const int piece_width = width_of(glyphs, begin, piece_end);
        if (!line.blank() && line.used() + piece_width > width) line.finish();
        const bool whole = piece_width <= width || holds_address(glyphs, begin, piece_end);
        for (std::size_t k = begin; k < piece_end; ++k) {
          const Glyph& g = glyphs[k];
          if (!whole && !g.escape && line.used() > 0 && line.used() + g.width > width)
            line.finish();
          line.put(g);
        }
      });
    }
    i = end + 1;
  }
}

}  // namespace

std::vector<Glyph> split_glyphs(std::string_view text) {
  std::vector<Glyph> glyphs;
  // Grapheme clusters: marks, emoji modifiers, joined emoji and the like stay with
  // the character they belong to and take its width.
  utf8proc_int32_t state = 0;
  char32_t previous = 0;
  bool after_character = false;
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = sgr_length(text.substr(i))) {
      glyphs.push_back({text.substr(i, n), 0, true});
      after_character = false;
      i += n;
      continue;
    }
    const auto [c, n] = core::decode_utf8(text.substr(i));
    const bool combines =
        after_character && c >= 0x20 &&
        !utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                          static_cast<utf8proc_int32_t>(c), &state);
    if (combines) {
      Glyph& base = glyphs.back();
      base.bytes = std::string_view(base.bytes.data(), base.bytes.size() + n);
    } else {
      state = 0;
      glyphs.push_back({text.substr(i, n), char_width(c), false});
    }
    previous = c;
    after_character = c >= 0x20;
    i += n;
  }
  return glyphs;
}

int display_width(std::string_view text) {
  int width = 0;
  for (const auto& glyph : split_glyphs(text))
    width += glyph.width;
  return width;
}

WrapMinimums wrap_minimums(std::string_view text) {
  WrapMinimums minimums;
  const auto glyphs = split_glyphs(text);
  for (const auto& glyph : glyphs)
    minimums.unbreakable = std::max(minimums.unbreakable, glyph.width);
  std::vector<Glyph> line;
  const auto measure_line = [&] {
    for_each_word(line, [&](std::size_t begin, std::size_t end) {
      minimums.word = std::max(minimums.word, width_of(line, begin, end));
      for_each_piece(line, begin, end, [&](std::size_t piece_begin, std::size_t piece_end) {
        const int piece_width = width_of(line, piece_begin, piece_end);
        minimums.piece = std::max(minimums.piece, piece_width);
        if (holds_address(line, piece_begin, piece_end))
          minimums.unbreakable = std::max(minimums.unbreakable, piece_width);
      });
    });
    line.clear();
  };
  for (const auto& glyph : glyphs) {
    if (glyph.bytes == "\n")
      measure_line();
    else
      line.push_back(glyph);
  }
  measure_line();
  minimums.piece = std::max(minimums.piece, minimums.unbreakable);
  minimums.word = std::max(minimums.word, minimums.piece);
  return minimums;
}

std::vector<std::string> wrap(std::string_view text, int width) {
  width = std::max(width, 1);
  std::vector<std::string> lines;
  LineBuilder line(lines);
  for (std::size_t start = 0;;) {
    const auto newline = text.find('\n', start);
    wrap_paragraph(
        text.substr(start, newline == std::string_view::npos ? newline : newline - start), width,
        line);
    line.finish();
    if (newline == std::string_view::npos) break;
    start = newline + 1;
  }
  return lines;
}

std::string truncate(std::string_view text, int width) {
  const auto glyphs = split_glyphs(text);
  if (display_width(text) <= width) return std::string(text);
  std::string out;
  int used = 0;
  bool cut = false;
  for (const auto& glyph : glyphs) {
    if (glyph.escape) {
      out += glyph.bytes;  // keeps the styles balanced
    } else if (!cut && used + glyph.width <= width - 1) {
      out += glyph.bytes;
      used += glyph.width;
    } else if (!cut) {
      cut = true;
      if (width > 0) out += "…";
    }
  }
  return out;
}

}  // namespace tarvo::term
