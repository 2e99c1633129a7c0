#include "sim/json_shape.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <string>

#include "core/json_limits.hpp"
#include "core/utf8.hpp"
#include "sim/json_scan.hpp"

namespace tarvo::sim {

namespace {

// The full parser's view, for the forms the scanner below leaves to it.
class ShapeSax : public nlohmann::json_sax<nlohmann::json> {
 public:
  JsonShape shape;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    if (depth_ == 0) shape.object = true;
    return enter();
  }
  bool key(string_t& key) override {
    if (depth_ == 1 && (key == "result" || key == "error")) shape.has_reply_key = true;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool enter() {
    if (++depth_ <= core::kMaxJsonDepth) return true;
    shape.too_deep = true;
    return false;
  }
  int depth_ = 0;
};

JsonShape full_parse(std::string_view text) {
  // The parser takes a NUL byte for the end of the text; JSON has no place for one.
  if (text.find('\0') != std::string_view::npos) return {};
  ShapeSax sax;
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &sax,
                                 nlohmann::json::input_format_t::json, true))
    return {.too_deep = sax.shape.too_deep};
  sax.shape.valid = true;
  return sax.shape;
}

enum class Verdict { valid, invalid, too_deep, unsure };

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A single pass over the text with a stack of open containers of its own, as deep
// as the nesting limit.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  Verdict run(JsonShape& shape) {
    // A byte-order mark is the full parser's business.
    if (end_ - p_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF) return Verdict::unsure;
    skip_space();
    if (p_ != end_ && *p_ == '{') shape.object = true;
    for (;;) {
      // A value is due.
      skip_space();
      if (p_ == end_) return Verdict::invalid;
      if (const char c = *p_; c == '{' || c == '[') {
        if (depth_ == kMaxDepth) return Verdict::too_deep;
        open_[depth_++] = c;
        ++p_;
        skip_space();
        if (p_ != end_ && *p_ == closer(c)) {
          ++p_;
          --depth_;
        } else if (c == '[') {
          continue;
        } else if (Verdict v = member_name(shape); v != Verdict::valid) {
          return v;
        } else {
          continue;
        }
      } else if (Verdict v = scalar(); v != Verdict::valid) {
        return v;
      }
      // A value ended: commas and the ends of containers.
      for (;;) {
        skip_space();
        if (depth_ == 0) return p_ == end_ ? Verdict::valid : Verdict::invalid;
        if (p_ == end_) return Verdict::invalid;
        const char open = open_[depth_ - 1];
        if (*p_ == ',') {
          ++p_;
          if (open == '{')
            if (Verdict v = member_name(shape); v != Verdict::valid) return v;
          break;
        }
        if (*p_ != closer(open)) return Verdict::invalid;
        ++p_;
        --depth_;
      }
    }
  }

 private:
  static constexpr int kMaxDepth = core::kMaxJsonDepth;

  static char closer(char open) { return open == '{' ? '}' : ']'; }

  // A member's name and its colon, from the opening quote on.
  Verdict member_name(JsonShape& shape) {
    skip_space();
    if (p_ == end_ || *p_ != '"') return Verdict::invalid;
    const char* start = p_ + 1;
    bool escaped = false;
    if (!string(escaped)) return Verdict::invalid;
    if (depth_ == 1) {
      if (escaped) return Verdict::unsure;
      std::string_view name(start, static_cast<std::size_t>(p_ - 1 - start));
      if (name == "result" || name == "error") shape.has_reply_key = true;
    }
    skip_space();
    if (p_ == end_ || *p_ != ':') return Verdict::invalid;
    ++p_;
    return Verdict::valid;
  }

  void skip_space() {
    // Replies as programs write them have no space between tokens.
    while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }

  Verdict scalar() {
    switch (*p_) {
      case '"': {
        bool escaped = false;
        return string(escaped) ? Verdict::valid : Verdict::invalid;
      }
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }

  Verdict word(std::string_view text) {
    if (static_cast<std::size_t>(end_ - p_) < text.size() ||
        std::string_view(p_, text.size()) != text)
      return Verdict::invalid;
    p_ += text.size();
    return Verdict::valid;
  }

  // Numbers that could overflow a double are left to the full parser, which turns
  // them down; everything else is judged by its grammar alone.
  Verdict number() {
    bool integer;
    switch (json_scan::scan_number(p_, end_, integer)) {
      case json_scan::Number::valid:
        return Verdict::valid;
      case json_scan::Number::invalid:
        return Verdict::invalid;
      case json_scan::Number::maybe_too_large:
        break;
    }
    return Verdict::unsure;
  }

  // A string from its opening quote to just past its closing one: escapes checked
  // (surrogates in pairs), raw bytes checked as UTF-8.
  bool string(bool& escaped) {
    ++p_;
    for (;;) {
      while (p_ != end_ && json_scan::kPlainInString[static_cast<unsigned char>(*p_)])
        ++p_;
      if (p_ == end_) return false;
      auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        escaped = true;
        if (!escape()) return false;
        continue;
      }
      if (!utf8_sequence()) return false;
    }
  }

  bool escape() {
    ++p_;  // the backslash
    if (p_ == end_) return false;
    switch (*p_) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        ++p_;
        return true;
      case 'u': {
        int unit = code_unit();
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
        if (unit < 0xD800 || unit > 0xDBFF) return true;
        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
        ++p_;
        int low = code_unit();
        return low >= 0xDC00 && low <= 0xDFFF;
      }
      default:
        return false;
    }
  }

  // Four hex digits after a 'u'; -1 when they are not.
  int code_unit() {
    ++p_;  // the 'u'
    if (end_ - p_ < 4) return -1;
    int unit = 0;
    for (int i = 0; i < 4; ++i) {
      int digit = hex_value(*p_++);
      if (digit < 0) return -1;
      unit = unit * 16 + digit;
    }
    return unit;
  }

  // One multi-byte UTF-8 character, well-formed.
  bool utf8_sequence() {
    std::size_t length =
        core::utf8_length(std::string_view(p_, static_cast<std::size_t>(end_ - p_)), 0);
    p_ += length;
    return length > 0;
  }

  const char* p_;
  const char* end_;
  std::array<char, kMaxDepth> open_;  // '{' and '[' of the containers not yet closed
  int depth_ = 0;
};

}  // namespace

JsonShape json_shape(std::string_view text) {
  JsonShape shape;
  switch (Scanner(text).run(shape)) {
    case Verdict::valid:
      shape.valid = true;
      return shape;
    case Verdict::invalid:
      return {};
    case Verdict::too_deep:
      return {.too_deep = true};
    case Verdict::unsure:
      break;
  }
  return full_parse(text);
}

}  // namespace tarvo::sim
