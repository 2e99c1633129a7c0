#include "sim/json_parse.hpp"

#include <charconv>
#include <optional>

#include "core/json_limits.hpp"
#include "core/utf8.hpp"
#include "sim/json_scan.hpp"

namespace tarvo::sim {

namespace {

using nlohmann::ordered_json;

// Deeper nesting goes to the general parser (up to the nesting limit).
constexpr int kMaxDepth = 64;

using json_scan::kPlainInString;

// Builds the value or gives up (returns false) on anything it does not take on;
// giving up is never wrong, only slower.
class DirectParser {
 public:
  explicit DirectParser(std::string_view text) : text_(text) {}

  std::optional<ordered_json> document() {
    ordered_json value;
    skip_space();
    if (!parse(value, 0)) return std::nullopt;
    skip_space();
    if (at_ != text_.size()) return std::nullopt;
    return value;
  }

  // A reply object's shape and its result's episode flags, with nothing built.
  bool step_reply(StepReplyFlags& out) {
    skip_space();
    if (at_ >= text_.size() || text_[at_] != '{') return false;
    bool members_ok = members(1, [&](std::string_view key) {
      if (key == "result") {
        // A repeated "result" replaces the earlier one, flags and all.
        out.has_result = true;
        out.terminated = out.truncated = false;
        if (text_[at_] == '{') return result_members(out);
        return skip(1);
      }
      if (key == "error") out.has_error = true;
      return skip(1);
    });
    if (!members_ok) return false;
    skip_space();
    out.object = at_ == text_.size();
    return out.object;
  }

 private:
  // The members of the object starting at at_ ('{'): each name is handed to `value`,
  // which reads the value from at_ (the name may live in key_, which that overwrites).
  template <typename OnValue>
  bool members(int depth, OnValue value) {
    if (depth > kMaxDepth) return false;
    ++at_;  // {
    skip_space();
    if (at_ < text_.size() && text_[at_] == '}') {
      ++at_;
      return true;
    }
    for (;;) {
      skip_space();
      std::string_view name;
      if (at_ >= text_.size() || text_[at_] != '"' || !member_name(name)) return false;
      skip_space();
      if (at_ >= text_.size() || text_[at_] != ':') return false;
      ++at_;
      skip_space();
      if (at_ >= text_.size() || !value(name)) return false;
      skip_space();
      if (at_ >= text_.size()) return false;
      char c = text_[at_++];
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  // The elements of the array starting at at_ ('['), each read by `value` from at_.
  template <typename OnValue>
  bool elements(int depth, OnValue value) {
    if (depth > kMaxDepth) return false;
    ++at_;  // [
    skip_space();
    if (at_ < text_.size() && text_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      skip_space();
      if (at_ >= text_.size() || !value()) return false;
      skip_space();
      if (at_ >= text_.size()) return false;
      char c = text_[at_++];
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }

  bool result_members(StepReplyFlags& out) {
    return members(2, [&](std::string_view key) {
      bool* flag = key == "terminated"  ? &out.terminated
                   : key == "truncated" ? &out.truncated
                                        : nullptr;
      if (!flag) return skip(2);
      *flag = text_.substr(at_, 4) == "true";
      return skip(2);
    });
  }

  // Checks one value as parse() would read it, without building it.
  bool skip(int depth) {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return members(depth + 1, [&](std::string_view) { return skip(depth + 1); });
      case '[':
        return elements(depth + 1, [&] { return skip(depth + 1); });
      case '"':
        return string(nullptr);
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return skip_number();
    }
  }

  // A number checked by its grammar, nothing converted: any that might not fit a
  // double is left to the general parser (giving up is never wrong).
  bool skip_number() {
    const char* p = text_.data() + at_;
    bool integer;
    auto verdict = json_scan::scan_number(p, text_.data() + text_.size(), integer);
    at_ = static_cast<std::size_t>(p - text_.data());
    return verdict == json_scan::Number::valid;
  }

  void skip_space() {
    // Replies as programs write them have no space between tokens: one comparison
    // tells.
    while (at_ < text_.size() && static_cast<unsigned char>(text_[at_]) <= ' ') {
      char c = text_[at_];
      if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
      ++at_;
    }
  }

  // A member name from its opening quote: a view of the text itself when it has only
  // plain characters (as names do), else decoded into key_.
  bool member_name(std::string_view& name) {
    const std::size_t start = at_ + 1;
    std::size_t end = start;
    while (end < text_.size() && kPlainInString[static_cast<unsigned char>(text_[end])])
      ++end;
    if (end < text_.size() && text_[end] == '"') {
      name = text_.substr(start, end - start);
      at_ = end + 1;
      return true;
    }
    if (!string(&key_)) return false;
    name = key_;
    return true;
  }

  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool parse(ordered_json& out, int depth) {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return object(out, depth + 1);
      case '[':
        return array(out, depth + 1);
      case '"': {
        std::string text;
        if (!string(&text)) return false;
        out = std::move(text);
        return true;
      }
      case 't':
        out = true;
        return literal("true");
      case 'f':
        out = false;
        return literal("false");
      case 'n':
        out = nullptr;
        return literal("null");
      default:
        return number(out);
    }
  }

  bool object(ordered_json& out, int depth) {
    out = ordered_json::object();
    // A repeated key keeps its first place and takes the last value, as in the
    // general parser.
    return members(depth,
                   [&](std::string_view name) { return parse(out[std::string(name)], depth); });
  }

  bool array(ordered_json& out, int depth) {
    out = ordered_json::array();
    return elements(depth, [&] {
      out.push_back(nullptr);
      return parse(out.back(), depth);
    });
  }

  // A string from its opening quote to just past its closing one, read into `out`
  // (or only checked, when it is null): the short escapes here, \u to the general
  // parser.
  bool string(std::string* out) {
    ++at_;  // opening quote
    if (out) out->clear();
    for (;;) {
      std::size_t start = at_;
      while (at_ < text_.size() && kPlainInString[static_cast<unsigned char>(text_[at_])])
        ++at_;
      if (out) out->append(text_, start, at_ - start);
      if (at_ >= text_.size()) return false;
      auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        std::size_t length = core::utf8_length(text_, at_);
        if (length == 0) return false;
        if (out) out->append(text_, at_, length);
        at_ += length;
        continue;
      }
      if (at_ + 1 >= text_.size()) return false;
      char decoded = short_escape(text_[at_ + 1]);
      if (!decoded) return false;
      if (out) *out += decoded;
      at_ += 2;
    }
  }

  // The character a backslash and `c` stand for, or 0 for anything but the short
  // escapes.
  static char short_escape(char c) {
    switch (c) {
      case '"':
      case '\\':
      case '/':
        return c;
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      default:
        return 0;
    }
  }

  // JSON's number grammar, then the general parser's choice of type: an integer
  // without sign is unsigned, one with a minus is signed, anything else a double.
  bool number(ordered_json& out) {
    const std::size_t start = at_;
    const bool negative = text_[at_] == '-';
    const char* p = text_.data() + at_;
    bool integer;
    if (json_scan::scan_number(p, text_.data() + text_.size(), integer) ==
        json_scan::Number::invalid)
      return false;
    at_ = static_cast<std::size_t>(p - text_.data());
    const char* first = text_.data() + start;
    const char* last = text_.data() + at_;
    if (integer && negative) {
      std::int64_t value = 0;
      auto [ptr, error] = std::from_chars(first, last, value);
      if (error != std::errc() || ptr != last) return false;
      out = value;
      return true;
    }
    if (integer) {
      std::uint64_t value = 0;
      auto [ptr, error] = std::from_chars(first, last, value);
      if (error != std::errc() || ptr != last) return false;
      out = value;
      return true;
    }
    double value = 0;
    auto [ptr, error] = std::from_chars(first, last, value);
    if (error != std::errc() || ptr != last) return false;
    out = value;
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string key_;  // the member name being read
};

}  // namespace

StepReplyFlags step_reply_flags(std::string_view line) {
  StepReplyFlags flags;
  if (!DirectParser(line).step_reply(flags)) return {};
  flags.decided = true;
  return flags;
}

ordered_json parse_json(std::string_view text) {
  if (auto value = DirectParser(text).document()) return std::move(*value);
  return core::parse_bounded_json(text);
}

}  // namespace tarvo::sim
