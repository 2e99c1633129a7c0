#include "term/text.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

namespace tarvo::term {
namespace {

using Range = std::pair<char32_t, char32_t>;

// Marks that combine with the character before them (a compact subset of Unicode's
// Mn/Me/Cf classes: the ones met in practice).
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F},   {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED},   {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D},   {0x0951, 0x0957},
    {0x0E31, 0x0E31},   {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1160, 0x11FF},   {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF},   {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064},   {0x20D0, 0x20FF},
    {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0x1F3FB, 0x1F3FF}, {0xE0000, 0xE007F},
    {0xE0100, 0xE01EF},
};

// East Asian wide and full-width characters and emoji shown in emoji presentation.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F265}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool in_ranges(const Range (&ranges)[N], char32_t c) {
  return std::any_of(std::begin(ranges), std::end(ranges),
                     [c](const Range& r) { return c >= r.first && c <= r.second; });
}

constexpr char32_t kInvalid = 0xFFFD;
constexpr char32_t kJoiner = 0x200D;

}  // namespace

std::pair<char32_t, std::size_t> decode_utf8(std::string_view text) {
  const auto lead = static_cast<std::uint8_t>(text[0]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t c = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    c = lead & 0x07;
  } else {
    return {kInvalid, 1};
  }
  if (text.size() < length) return {kInvalid, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if ((byte & 0xC0) != 0x80) return {kInvalid, 1};
    c = (c << 6) | (byte & 0x3F);
  }
  constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {kInvalid, 1};
  return {c, length};
}

namespace {

int char_width(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;  // control characters
  if (c < 0x300) return 1;
  if (in_ranges(kZeroWidth, c)) return 0;
  return in_ranges(kWide, c) ? 2 : 1;
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
  bool join_next = false;  // after a zero width joiner the next character fuses
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t n = sgr_length(text.substr(i))) {
      glyphs.push_back({text.substr(i, n), 0, true});
      i += n;
      continue;
    }
    const auto [c, n] = decode_utf8(text.substr(i));
    const int width = char_width(c);
    const bool combines =
        (width == 0 || join_next) && c >= 0x20 && !glyphs.empty() && !glyphs.back().escape;
    if (combines) {
      Glyph& base = glyphs.back();
      base.bytes = std::string_view(base.bytes.data(), base.bytes.size() + n);
    } else {
      glyphs.push_back({text.substr(i, n), width, false});
    }
    join_next = c == kJoiner;
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
