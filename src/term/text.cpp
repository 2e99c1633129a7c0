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

void wrap_paragraph(std::string_view paragraph, int width, LineBuilder& line) {
  const auto glyphs = split_glyphs(paragraph);
  const Glyph space{" ", 1, false};
  std::size_t i = 0;
  while (i < glyphs.size()) {
    // One word: the glyphs up to the next space.
    std::size_t end = i;
    int word_width = 0;
    while (end < glyphs.size() && glyphs[end].bytes != " ")
      word_width += glyphs[end++].width;
    if (end == i) {  // a space: kept inside a line, dropped at a break
      if (!line.blank() && line.used() + 1 <= width) line.put(space);
      ++i;
      continue;
    }
    if (!line.blank()) {
      if (line.used() + 1 + word_width <= width) {
        line.put(space);
        word_width = -1;  // placed below without further checks
      } else {
        line.finish();
      }
    }
    for (std::size_t k = i; k < end; ++k) {
      const Glyph& g = glyphs[k];
      if (word_width > width && !g.escape && line.used() > 0 && line.used() + g.width > width)
        line.finish();
      line.put(g);
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
