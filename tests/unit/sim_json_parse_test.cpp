// The client's reply parser must build exactly what the general parser builds, down
// to the kind of each number: callers tell integers from floats by it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "json_mutations.hpp"
#include "sim/json_parse.hpp"

namespace {

using nlohmann::ordered_json;
using tarvo::sim::parse_json;
using tarvo::sim::step_reply_flags;

// Same type everywhere (unsigned, signed and float included), same order, same values.
bool same(const ordered_json& a, const ordered_json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_discarded()) return true;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
      if (x.key() != y.key() || !same(x.value(), y.value())) return false;
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!same(a[i], b[i])) return false;
    return true;
  }
  if (a.is_number_float()) {
    double x = a.get<double>(), y = b.get<double>();
    return std::memcmp(&x, &y, sizeof x) == 0;  // tells -0.0 from 0.0
  }
  return a == b;
}

void expect_same_as_general_parser(const std::string& text) {
  // The general parser takes a NUL byte for the end of the text ("1\0x" reads as 1);
  // JSON has no place for one, and parse_json refuses such text.
  auto expected = text.find('\0') != std::string::npos
                      ? ordered_json(ordered_json::value_t::discarded)
                      : ordered_json::parse(text.begin(), text.end(), nullptr, false);
  auto got = parse_json(text);
  ASSERT_TRUE(same(got, expected))
      << text << "\n got " << got.dump() << "\n expected " << expected.dump();
}

const std::vector<std::string> kSeeds = {
    R"({"result":{"observation":[0.0123,-0.5,1e-05,3.4E+2],"reward":1.0,"terminated":false,)"
    R"("truncated":false,"info":{}}})",
    R"({"result":{"observation":[-0.04456399,0.04653909,0.01326909,-0.02099827],"info":{}}})",
    R"({"error": "action must be 0 or 1"})",
    R"( {"result" : null} )",
    R"({"a": 1, "b": 2, "a": [3]})",
    R"({"r\u0065sult": 1, "x": "caf\u00e9 \ud834\udd1e \"q\" \\ \/ \b\f\n\r\t"})",
    "{\"result\": \"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e\"}",
    R"([1, 2, {"result": 3}])",
    R"({"result": [true, false, null, -0, -0.0, 0.5, 18446744073709551615, -9223372036854775808]})",
    R"({"result": [12345678901234567890123, -9223372036854775809, 1e-400, 4.9e-324]})",
    R"({"result": 1e400})",
    R"([0.1234567890123456789012345678901234567890, 1.7976931348623157e308, 2.2250738585072011e-308,
        123456789012345678.5e-3, 0e0, -0E-0, 1.0])",
    "\xef\xbb\xbf{\"result\": 1}",
    R"({"nested": {"result": 1}, "error": {}})",
    R"("just a string")",
    "-12.5e-3",
};

TEST(JsonParse, BuildsWhatTheGeneralParserBuildsOnTextsAndTheirMutations) {
  tarvo::test::for_each_mutation(kSeeds, 100000, expect_same_as_general_parser);
}

bool flag(const ordered_json& result, const char* name) {
  auto it = result.find(name);
  return it != result.end() && it->is_boolean() && it->get<bool>();
}

TEST(JsonParse, EpisodeFlagsReadWithoutBuildingAgreeWithTheFullParse) {
  const std::vector<std::string> seeds = {
      R"({"result":{"observation":[0.01,-0.5],"reward":1.0,"terminated":false,)"
      R"("truncated":true,"info":{"terminated":true}}})",
      R"({"result":{"observation":[[1,2],[3,4]],"terminated":true,"truncated":false}})",
      R"({"result":{"terminated":true,"terminated":"yes"},"extra":[{"a":null}]})",
      R"({"result":{"terminated":true},"result":{"truncated":true}})",
      R"({"result":[true],"error":"it broke"})",
      R"({"error":{"code":1},"result":{"terminated":true}})",
      R"( {"result" : { "truncated" : true , "x" : "café 
" } } )",
      R"({"note":"no result"})",
      R"([{"result":{"terminated":true}}])",
  };
  int decided = 0;
  tarvo::test::for_each_mutation(seeds, 100000, [&](const std::string& text) {
    auto flags = step_reply_flags(text);
    if (!flags.decided) return;
    ++decided;
    auto value = ordered_json::parse(text.begin(), text.end(), nullptr, false);
    ASSERT_TRUE(value.is_object()) << text;
    ASSERT_EQ(flags.has_result, value.contains("result")) << text;
    ASSERT_EQ(flags.has_error, value.contains("error")) << text;
    ordered_json result = value.value("result", ordered_json());
    ASSERT_EQ(flags.terminated, flag(result, "terminated")) << text;
    ASSERT_EQ(flags.truncated, flag(result, "truncated")) << text;
  });
  EXPECT_GT(decided, 1000);  // the quick read is what was tested
}

TEST(JsonParse, DeepNestingAndEmptyInput) {
  // Nesting past the limit is refused, not recursed through.
  std::string deep = "{\"result\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_TRUE(parse_json(deep).is_discarded());
  EXPECT_TRUE(
      parse_json("{\"result\":" + std::string(99, '[') + std::string(99, ']') + "}").is_object());
  deep.pop_back();
  EXPECT_TRUE(parse_json(deep).is_discarded());
  EXPECT_TRUE(parse_json("").is_discarded());
  EXPECT_TRUE(parse_json("   ").is_discarded());
}

}  // namespace
