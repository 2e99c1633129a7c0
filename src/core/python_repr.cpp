#include "core/python_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/utf8.hpp"

namespace tarvo::core {
namespace {

using Json = nlohmann::ordered_json;

// Characters Python's repr() writes as escapes beyond the C0/C1 controls: the
// separators and invisible format characters (a compact subset of its table).
bool python_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return false;
  if (c == 0x1680 || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F)) return false;
  if ((c >= 0x205F && c <= 0x2064) || c == 0x3000 || c == 0xFEFF) return false;
  if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
  return true;
}

void append_escape(std::string& out, char32_t c) {
  char buffer[16];
  if (c <= 0xFF)
    std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
  else if (c <= 0xFFFF)
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
  else
    std::snprintf(buffer, sizeof buffer, "\\U%08x", static_cast<unsigned>(c));
  out += buffer;
}

std::string string_repr(std::string_view text) {
  // Python picks double quotes only to avoid escaping a single quote.
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  while (!text.empty()) {
    const auto [c, n] = decode_utf8(text);
    const std::string_view one = text.substr(0, n);
    text.remove_prefix(n);
    if (c == '\\' || c == static_cast<char32_t>(quote)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (n == 1 && static_cast<std::uint8_t>(one[0]) >= 0x80) {
      append_escape(out, static_cast<std::uint8_t>(one[0]));  // a malformed byte
    } else if (!python_printable(c)) {
      append_escape(out, c);
    } else {
      out += one;
    }
  }
  out += quote;
  return out;
}

// Python's repr of a float: the shortest digits that read back the same value, in
// fixed notation from 1e-4 up to 1e16 and in exponent notation outside that.
std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, result.ptr - buffer);
  const auto e = text.find('e');
  std::string_view mantissa = text.substr(0, e);
  const int exponent = std::stoi(std::string(text.substr(e + 1)));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') {
    sign = "-";
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits += c;

  const int point = exponent + 1;  // digits before the decimal point
  if (point <= -4 || point > 16) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char exp[16];
    std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return out + exp;
  }
  if (point <= 0) return sign + "0." + std::string(-point, '0') + digits;
  if (point >= static_cast<int>(digits.size()))
    return sign + digits + std::string(point - digits.size(), '0') + ".0";
  return sign + digits.substr(0, point) + "." + digits.substr(point);
}

std::string key_repr(const std::string& key) {
  return string_repr(key) + ": ";
}

}  // namespace

std::string python_repr(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return "None";
    case Json::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Json::value_t::number_integer:
      return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return float_repr(value.get<double>());
    case Json::value_t::string:
      return string_repr(value.get_ref<const std::string&>());
    case Json::value_t::binary: {
      std::string out = "b'";
      for (auto byte : value.get_binary()) {
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '\'')
          out += static_cast<char>(byte);
        else
          append_escape(out, byte);
      }
      return out + "'";
    }
    case Json::value_t::array: {
      std::string out = "[";
      for (const auto& item : value) {
        if (out.size() > 1) out += ", ";
        out += python_repr(item);
      }
      return out + "]";
    }
    case Json::value_t::object: {
      std::string out = "{";
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (out.size() > 1) out += ", ";
        out += key_repr(it.key()) + python_repr(it.value());
      }
      return out + "}";
    }
  }
  return "None";
}

}  // namespace tarvo::core
