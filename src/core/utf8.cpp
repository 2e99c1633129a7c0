#include "core/utf8.hpp"

namespace tarvo::core {

std::size_t utf8_length(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  return length;
}

std::pair<char32_t, std::size_t> decode_utf8(std::string_view text) {
  const std::size_t length = utf8_length(text, 0);
  if (length == 0) return {kReplacementCharacter, 1};
  const auto lead = static_cast<unsigned char>(text[0]);
  if (length == 1) return {lead, 1};
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i)
    c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return {c, length};
}

namespace {

void append_escape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char escape[] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
  out.append(escape, sizeof escape);
}

}  // namespace

std::string visible_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F)
        append_escape(out, c);
      else
        out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t n = utf8_length(text, i);
    if (n == 0) {
      append_escape(out, c);
      ++i;
    } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      append_escape(out, static_cast<unsigned char>(text[i + 1]));  // U+0080..U+009F
      i += 2;
    } else {
      out += text.substr(i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace tarvo::core
