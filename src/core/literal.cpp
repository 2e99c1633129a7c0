#include "core/literal.hpp"

#include "core/utf8.hpp"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace tarvo::core {
namespace {

using Json = nlohmann::ordered_json;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_octal(char c) {
  return c >= '0' && c <= '7';
}
bool is_binary(char c) {
  return c == '0' || c == '1';
}
bool is_name_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Json parse() {
    check_utf8();
    Json value = parse_value(0);
    skip_space();
    if (!at_end()) fail("unexpected " + describe() + " after the value");
    return value;
  }

 private:
  [[noreturn]] void fail_at(size_t pos, const std::string& what) const {
    throw LiteralError(what + " at column " + std::to_string(pos + 1));
  }
  [[noreturn]] void fail(const std::string& what) const { fail_at(pos_, what); }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  // The character at the current position, quoted, for error messages.
  std::string describe() const {
    if (at_end()) return "the end of the text";
    const auto c = static_cast<unsigned char>(text_[pos_]);
    if (c < 0x20 || c == 0x7F) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", c);
      return code;
    }
    return "'" + std::string(text_.substr(pos_, utf8_length(text_, pos_))) + "'";
  }

  void check_utf8() const {
    for (size_t pos = 0; pos < text_.size();) {
      const size_t length = utf8_length(text_, pos);
      if (length == 0) fail_at(pos, "invalid UTF-8");
      pos += length;
    }
  }

  void skip_space() {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
        ++pos_;
      } else if (c == '#') {  // a comment runs to the end of the line
        while (!at_end() && peek() != '\n')
          ++pos_;
      } else {
        return;
      }
    }
  }

  void expect_room(int depth) const {
    if (depth >= kMaxLiteralDepth)
      fail("nesting deeper than " + std::to_string(kMaxLiteralDepth) + " levels");
  }

  Json parse_value(int depth) {
    skip_space();
    const char c = peek();
    if (at_end()) fail("expected a value, found the end of the text");
    if (c == '"' || c == '\'') return parse_string();
    if (c == '[') return parse_list(depth);
    if (c == '(') return parse_parenthesised(depth);
    if (c == '{') return parse_mapping(depth);
    if (is_digit(c) || c == '.' || c == '-' || c == '+') return parse_number();
    if (is_name_char(c)) return parse_name();
    fail("expected a value, found " + describe());
  }

  // Items up to `close`, after the opening bracket and any first item; a trailing
  // comma before `close` is allowed.
  void parse_items(Json& items, char close, int depth, bool have_first) {
    for (;;) {
      skip_space();
      if (have_first) {
        if (peek() == close) break;
        if (peek() != ',')
          fail(std::string("expected ',' or '") + close + "', found " + describe());
        ++pos_;
        skip_space();
        if (peek() == close) break;
      } else if (peek() == close) {
        break;
      }
      items.push_back(parse_value(depth + 1));
      have_first = true;
    }
    ++pos_;
  }

  Json parse_list(int depth) {
    expect_room(depth);
    ++pos_;
    Json items = Json::array();
    parse_items(items, ']', depth, false);
    return items;
  }

  // "(1, 2)" and "(1,)" are tuples, "()" the empty one, "(1)" is just 1.
  Json parse_parenthesised(int depth) {
    expect_room(depth);
    ++pos_;
    skip_space();
    if (peek() == ')') {
      ++pos_;
      return Json::array();
    }
    Json first = parse_value(depth + 1);
    skip_space();
    if (peek() == ')') {
      ++pos_;
      return first;
    }
    if (peek() != ',') fail("expected ',' or ')', found " + describe());
    Json items = Json::array();
    items.push_back(std::move(first));
    parse_items(items, ')', depth, true);
    return items;
  }

  Json parse_mapping(int depth) {
    expect_room(depth);
    ++pos_;
    Json mapping = Json::object();
    for (bool first = true;; first = false) {
      skip_space();
      if (!first) {
        if (peek() == '}') break;
        if (peek() != ',') fail("expected ',' or '}', found " + describe());
        ++pos_;
        skip_space();
      }
      if (peek() == '}') break;
      const size_t key_pos = pos_;
      std::string key = key_text(parse_value(depth + 1), key_pos);
      skip_space();
      if (peek() != ':') fail("expected ':' after a mapping key, found " + describe());
      ++pos_;
      // A repeated key keeps its first place and takes the last value.
      mapping[std::move(key)] = parse_value(depth + 1);
    }
    ++pos_;
    return mapping;
  }

  // Keys become text as a JSON writer would write them.
  std::string key_text(const Json& key, size_t pos) const {
    if (key.is_string()) return key.get<std::string>();
    if (key.is_array() || key.is_object())
      fail_at(pos, "a mapping key must be text, a number, a boolean or None");
    return key.dump();
  }

  Json parse_name() {
    const size_t start = pos_;
    while (is_name_char(peek()))
      ++pos_;
    const std::string_view name = text_.substr(start, pos_ - start);
    if (name == "True" || name == "true") return true;
    if (name == "False" || name == "false") return false;
    if (name == "None" || name == "null") return nullptr;
    std::string shown(name.substr(0, 40));
    if (name.size() > 40) shown += "...";
    fail_at(start, "unknown name '" + shown +
                       "' (only True, False, None, true, false and null are allowed)");
  }

  // Digits accepted by `accept`, with single underscores between them.
  template <typename Accept>
  std::string take_digits(Accept accept) {
    std::string digits;
    for (;;) {
      if (accept(peek())) {
        digits += peek();
        ++pos_;
      } else if (peek() == '_' && !digits.empty() && accept(peek(1))) {
        ++pos_;
      } else {
        return digits;
      }
    }
  }

  Json parse_number() {
    const size_t start = pos_;
    bool negative = false;
    if (peek() == '-' || peek() == '+') {
      negative = peek() == '-';
      ++pos_;
    }
    Json value;
    if (peek() == '0' && std::string_view("xXoObB").find(peek(1)) != std::string_view::npos) {
      value = parse_radix_integer(start, negative);
    } else {
      value = parse_decimal(start, negative);
    }
    if (is_name_char(peek()) || peek() == '.') fail_at(start, "malformed number");
    return value;
  }

  Json parse_radix_integer(size_t start, bool negative) {
    const char kind = static_cast<char>(peek(1) | 0x20);
    pos_ += 2;
    std::string digits;
    int base;
    if (kind == 'x') {
      base = 16;
      digits = take_digits(is_hex);
    } else if (kind == 'o') {
      base = 8;
      digits = take_digits(is_octal);
    } else {
      base = 2;
      digits = take_digits(is_binary);
    }
    if (digits.empty()) fail_at(start, "malformed number");
    return integer(digits, base, negative, start);
  }

  Json parse_decimal(size_t start, bool negative) {
    const std::string whole = take_digits(is_digit);
    std::string fraction;
    std::string exponent;
    bool is_float = false;
    bool exponent_negative = false;
    if (peek() == '.') {
      is_float = true;
      ++pos_;
      fraction = take_digits(is_digit);
    }
    if (whole.empty() && fraction.empty()) fail_at(start, "malformed number");
    if (peek() == 'e' || peek() == 'E') {
      is_float = true;
      ++pos_;
      if (peek() == '-' || peek() == '+') {
        exponent_negative = peek() == '-';
        ++pos_;
      }
      exponent = take_digits(is_digit);
      if (exponent.empty()) fail_at(start, "malformed number");
    }
    if (!is_float) {
      if (whole.size() > 1 && whole[0] == '0' && whole.find_first_not_of('0') != std::string::npos)
        fail_at(start, "leading zeros are not allowed in an integer");
      return integer(whole, 10, negative, start);
    }
    return floating(whole, fraction, exponent, exponent_negative, negative, start);
  }

  Json integer(const std::string& digits, int base, bool negative, size_t start) const {
    std::uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (error != std::errc() || end != digits.data() + digits.size())
      fail_at(start, "integer out of range (more than 64 bits)");
    constexpr auto max_signed =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
      if (magnitude > max_signed + 1) fail_at(start, "integer out of range (more than 64 bits)");
      if (magnitude == max_signed + 1) return std::numeric_limits<std::int64_t>::min();
      return -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude <= max_signed) return static_cast<std::int64_t>(magnitude);
    return magnitude;
  }

  Json floating(const std::string& whole, const std::string& fraction, const std::string& exponent,
                bool exponent_negative, bool negative, size_t start) const {
    std::string text = negative ? "-" : "";
    text += whole.empty() ? "0" : whole;
    text += "." + (fraction.empty() ? std::string("0") : fraction);
    if (!exponent.empty()) text += (exponent_negative ? "e-" : "e") + exponent;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
      // Too small to represent is zero, as in Python; too large is an error.
      if (decimal_order(whole, fraction, exponent, exponent_negative) < 0)
        return negative ? -0.0 : 0.0;
      fail_at(start, "number out of range");
    }
    if (error != std::errc() || end != text.data() + text.size())
      fail_at(start, "malformed number");
    return value;
  }

  // The power of ten of the leading significant digit (the value is not zero).
  static long long decimal_order(const std::string& whole, const std::string& fraction,
                                 const std::string& exponent, bool exponent_negative) {
    long long shift = 0;
    const auto [end, error] =
        std::from_chars(exponent.data(), exponent.data() + exponent.size(), shift);
    if (error != std::errc() || shift > 1'000'000'000) shift = 1'000'000'000;
    if (exponent_negative) shift = -shift;
    const size_t significant = whole.find_first_not_of('0');
    if (significant != std::string::npos)
      return static_cast<long long>(whole.size() - significant) - 1 + shift;
    const size_t first = fraction.find_first_not_of('0');
    return -static_cast<long long>(first == std::string::npos ? 0 : first + 1) + shift;
  }

  Json parse_string() {
    const size_t start = pos_;
    const char quote = peek();
    ++pos_;
    std::string out;
    for (;;) {
      if (at_end() || peek() == '\n' || peek() == '\r') fail_at(start, "unterminated string");
      const char c = peek();
      if (c == quote) {
        ++pos_;
        return out;
      }
      if (c == '\\') {
        parse_escape(out);
      } else {
        out += c;
        ++pos_;
      }
    }
  }

  char32_t hex_value(size_t count, size_t escape_pos) {
    char32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      const char c = peek();
      if (!is_hex(c)) fail_at(escape_pos, "malformed escape in a string");
      value = value * 16 + static_cast<char32_t>(is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
      ++pos_;
    }
    return value;
  }

  void parse_escape(std::string& out) {
    const size_t escape_pos = pos_;
    ++pos_;
    if (at_end()) fail_at(escape_pos, "unterminated string");
    const char c = peek();
    ++pos_;
    // Pairs of escape letter and the character it stands for.
    constexpr std::string_view simple = "n\nt\tr\rb\bf\fv\va\a\\\\''\"\"//";
    for (size_t i = 0; i < simple.size(); i += 2) {
      if (simple[i] == c) {
        out += simple[i + 1];
        return;
      }
    }
    switch (c) {
      case '\n':
        return;  // a line continuation
      case 'x':
        append_utf8(out, hex_value(2, escape_pos));
        return;
      case 'U': {
        const char32_t cp = hex_value(8, escape_pos);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
          fail_at(escape_pos, "escape outside the Unicode range in a string");
        append_utf8(out, cp);
        return;
      }
      case 'u': {
        char32_t cp = hex_value(4, escape_pos);
        if (cp >= 0xDC00 && cp <= 0xDFFF) fail_at(escape_pos, "unpaired surrogate in a string");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // JSON writes characters past U+FFFF as a pair of \u escapes.
          if (peek() != '\\' || peek(1) != 'u')
            fail_at(escape_pos, "unpaired surrogate in a string");
          pos_ += 2;
          const char32_t low = hex_value(4, escape_pos);
          if (low < 0xDC00 || low > 0xDFFF) fail_at(escape_pos, "unpaired surrogate in a string");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(out, cp);
        return;
      }
      default:
        break;
    }
    if (is_octal(c)) {
      char32_t cp = static_cast<char32_t>(c - '0');
      for (int i = 0; i < 2 && is_octal(peek()); ++i, ++pos_)
        cp = cp * 8 + static_cast<char32_t>(peek() - '0');
      append_utf8(out, cp);
      return;
    }
    const bool printable = c > 0x20 && c < 0x7F;
    fail_at(escape_pos, printable ? std::string("unknown escape '\\") + c + "' in a string"
                                  : std::string("unknown escape in a string"));
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::string kind_of(const Json& value) {
  if (value.is_array()) return "a list";
  if (value.is_string()) return "text";
  if (value.is_boolean()) return "a boolean";
  if (value.is_null()) return "None";
  return "a number";
}

}  // namespace

nlohmann::ordered_json parse_literal(std::string_view text) {
  return Parser(text).parse();
}

nlohmann::ordered_json parse_mapping_literal(std::string_view text) {
  auto value = parse_literal(text);
  if (!value.is_object())
    throw LiteralError("expected a mapping such as {'key': 'value'}, found " + kind_of(value));
  return value;
}

}  // namespace tarvo::core
