// The literal reader behind `--env-init`: what it accepts and how it refuses.
#include "core/literal.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using nlohmann::ordered_json;
using tarvo::core::LiteralError;
using tarvo::core::parse_literal;
using tarvo::core::parse_mapping_literal;
using testing::HasSubstr;

namespace {

// The error text of parsing `text`, or "" when it parses.
std::string error_of(const std::string& text) {
  try {
    parse_literal(text);
  } catch (const LiteralError& e) {
    return e.what();
  }
  return "";
}

TEST(Literal, PythonAndJsonScalars) {
  EXPECT_EQ(parse_literal("'it'"), "it");
  EXPECT_EQ(parse_literal(R"('a"b')"), "a\"b");
  EXPECT_EQ(parse_literal(R"("a'b")"), "a'b");
  EXPECT_EQ(parse_literal(R"('\n\t\\\'\x41\101\u00e9\U0001F600')"), "\n\t\\'AA\u00e9\U0001F600");
  EXPECT_EQ(parse_literal(R"("\ud83d\ude00 \/")"), "\U0001F600 /");
  EXPECT_EQ(parse_literal("'\xc3\xa9t\xc3\xa9'"), "\u00e9t\u00e9");
  EXPECT_EQ(parse_literal("'a\\\nb\\0'"), std::string("ab\0", 3));  // continuation, NUL

  EXPECT_EQ(parse_literal("42"), 42);
  EXPECT_EQ(parse_literal("-7"), -7);
  EXPECT_EQ(parse_literal("+7"), 7);
  EXPECT_EQ(parse_literal("1_000"), 1000);
  EXPECT_EQ(parse_literal("0x1F"), 31);
  EXPECT_EQ(parse_literal("0o17"), 15);
  EXPECT_EQ(parse_literal("-0b101"), -5);
  EXPECT_EQ(parse_literal("00"), 0);
  EXPECT_EQ(parse_literal("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(parse_literal("18446744073709551615").get<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());

  EXPECT_TRUE(parse_literal("1.5").is_number_float());
  EXPECT_DOUBLE_EQ(parse_literal("1.5").get<double>(), 1.5);
  EXPECT_DOUBLE_EQ(parse_literal("-2.5e-3").get<double>(), -0.0025);
  EXPECT_DOUBLE_EQ(parse_literal("1E3").get<double>(), 1000.0);
  EXPECT_DOUBLE_EQ(parse_literal(".5").get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(parse_literal("1.").get<double>(), 1.0);
  EXPECT_TRUE(parse_literal("1e3").is_number_float());
  EXPECT_EQ(parse_literal("1e-400").get<double>(), 0.0);  // underflow is zero

  for (auto [text, value] :
       {std::pair{"True", true}, {"true", true}, {"False", false}, {"false", false}}) {
    EXPECT_EQ(parse_literal(text), value) << text;
  }
  EXPECT_TRUE(parse_literal("None").is_null());
  EXPECT_TRUE(parse_literal("null").is_null());
}

TEST(Literal, ContainersNestAndKeepOrder) {
  EXPECT_EQ(parse_literal("{}"), ordered_json::object());
  EXPECT_EQ(parse_literal("[]"), ordered_json::array());
  EXPECT_EQ(parse_literal("()"), ordered_json::array());
  EXPECT_EQ(parse_literal("(1,)"), ordered_json::array({1}));
  EXPECT_EQ(parse_literal("(1)"), 1);  // parentheses alone make no tuple
  EXPECT_EQ(parse_literal("[1, 'a', None,]"), ordered_json::parse(R"([1, "a", null])"));

  const auto mapping = parse_literal(R"({'z': 1, "a": [1, (2, 3), {'k': {'deep': True}}],})");
  EXPECT_EQ(mapping.dump(), R"({"z":1,"a":[1,[2,3],{"k":{"deep":true}}]})");

  // JSON text reads as it is.
  const std::string json = R"({"b": [1.5, true, null, {"c": "d"}], "a": -3})";
  EXPECT_EQ(parse_literal(json), ordered_json::parse(json));

  // Keys become text the way a JSON writer writes them; a repeated key keeps its
  // first place and takes the last value.
  EXPECT_EQ(parse_literal("{1: 'a', True: 'b', None: 'c', 2.5: 'd'}").dump(),
            R"({"1":"a","true":"b","null":"c","2.5":"d"})");
  EXPECT_EQ(parse_literal("{'a': 1, 'b': 2, 'a': 3}").dump(), R"({"a":3,"b":2})");

  // Whitespace, newlines and comments between tokens.
  EXPECT_EQ(parse_literal("{\n  'a': 1,  # the first\n  'b' : [ 2 ]\n}\n").dump(),
            R"({"a":1,"b":[2]})");
}

TEST(Literal, MalformedTextIsRefusedWithItsColumn) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "expected a value, found the end of the text at column 1"},
      {"   ", "expected a value, found the end of the text at column 4"},
      {"{'a': 1", "expected ',' or '}', found the end of the text at column 8"},
      {"{'a' 1}", "expected ':' after a mapping key, found '1' at column 6"},
      {"{'a': }", "expected a value, found '}' at column 7"},
      {"[1 2]", "expected ',' or ']', found '2' at column 4"},
      {"[,]", "expected a value, found ',' at column 2"},
      {"[1,,]", "expected a value, found ',' at column 4"},
      {"{,}", "expected a value, found ',' at column 2"},
      {"(1 2)", "expected ',' or ')', found '2' at column 4"},
      {"'abc", "unterminated string at column 1"},
      {"'ab\ncd'", "unterminated string at column 1"},
      {"'ab\\", "unterminated string at column 4"},
      {R"('\q')", R"(unknown escape '\q' in a string at column 2)"},
      {R"('\x4')", "malformed escape in a string at column 2"},
      {R"("\ud83d")", "unpaired surrogate in a string at column 2"},
      {R"("\ude00")", "unpaired surrogate in a string at column 2"},
      {R"('\U00110000')", "escape outside the Unicode range in a string at column 2"},
      {"{} x", "unexpected 'x' after the value at column 4"},
      {"{}}", "unexpected '}' after the value at column 3"},
      {"{'a': 1}\x01", "unexpected U+0001 after the value at column 9"},
      {"012", "leading zeros are not allowed in an integer at column 1"},
      {"1e", "malformed number at column 1"},
      {"1.2.3", "malformed number at column 1"},
      {"1j", "malformed number at column 1"},
      {"1__0", "malformed number at column 1"},
      {"-", "malformed number at column 1"},
      {".", "malformed number at column 1"},
      {"0x", "malformed number at column 1"},
      {"{[1]: 2}", "a mapping key must be text, a number, a boolean or None at column 2"},
      {"{1, 2}", "expected ':' after a mapping key, found ',' at column 3"},
      {"'\xff'", "invalid UTF-8 at column 2"},
      {"'\xc0\xaf'", "invalid UTF-8 at column 2"},
  };
  for (const auto& [text, message] : cases)
    EXPECT_EQ(error_of(text), message) << text;
}

TEST(Literal, NothingIsEvaluated) {
  for (const char* text : {"__import__('os').system('true')", "open('/etc/passwd')", "inf", "nan",
                           "Infinity", "{'a': x}", "[i for i in range(3)]", "{1: 2}.keys()",
                           "1 + 2", "-True", "lambda: 0", "...", "`id`", "{**{}}", "{1, 2}"}) {
    EXPECT_NE(error_of(text), "") << text;
  }
  EXPECT_EQ(error_of("__import__('os')"),
            "unknown name '__import__' (only True, False, None, true, false and null are "
            "allowed) at column 1");
}

TEST(Literal, HostileInputIsBounded) {
  // Deep nesting stops at the limit instead of exhausting the stack.
  const int limit = tarvo::core::kMaxLiteralDepth;
  const std::string ok = std::string(limit, '[') + std::string(limit, ']');
  EXPECT_EQ(error_of(ok), "");
  for (const char* open : {"[", "(", "{'k': "}) {
    std::string deep;
    for (int i = 0; i < 100'000; ++i)
      deep += open;
    EXPECT_THAT(error_of(deep), HasSubstr("nesting deeper than 100 levels")) << open;
  }

  // Numbers that no 64-bit integer or double holds.
  EXPECT_EQ(error_of("18446744073709551616"),
            "integer out of range (more than 64 bits) at column 1");
  EXPECT_EQ(error_of("-9223372036854775809"),
            "integer out of range (more than 64 bits) at column 1");
  EXPECT_EQ(error_of(std::string(100'000, '9')),
            "integer out of range (more than 64 bits) at column 1");
  EXPECT_EQ(error_of("[1e999]"), "number out of range at column 2");
  EXPECT_EQ(error_of("1e99999999999999999999999"), "number out of range at column 1");
  EXPECT_EQ(parse_literal("1e-99999999999999999999999").get<double>(), 0.0);

  // A long name is shortened in the message; a long unterminated string is reported
  // where it starts.
  const std::string name(10'000, 'a');
  EXPECT_LT(error_of(name).size(), 200u);
  EXPECT_EQ(error_of("{'k': '" + std::string(100'000, 'x')), "unterminated string at column 7");
  EXPECT_EQ(std::string(error_of(std::string("{'a':\0 1}", 9))).find('\n'), std::string::npos);
}

TEST(Literal, MappingRequired) {
  EXPECT_EQ(parse_mapping_literal("{'gravity': 9.81}").dump(), R"({"gravity":9.81})");
  for (auto [text, kind] : {std::pair{"[1, 2]", "a list"},
                            {"(1,)", "a list"},
                            {"3", "a number"},
                            {"'x'", "text"},
                            {"None", "None"},
                            {"True", "a boolean"}}) {
    try {
      parse_mapping_literal(text);
      ADD_FAILURE() << text;
    } catch (const LiteralError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("expected a mapping such as {'key': 'value'}, found ") + kind);
    }
  }
}

}  // namespace
