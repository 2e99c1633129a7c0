// The server's quick JSON check must reach the full parser's verdict on every text:
// what it lets through reaches clients, and what it turns away ends a session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/json_limits.hpp"
#include "json_mutations.hpp"
#include "sim/json_scan.hpp"
#include "sim/json_shape.hpp"

namespace {

using tarvo::sim::json_shape;

struct Expected {
  bool valid, object, has_reply_key;
};

Expected full_parser(const std::string& text) {
  // The full parser stops at a NUL byte as at the end of the text; JSON has no place
  // for one, and the check turns such text away.
  if (text.find('\0') != std::string::npos) return {false, false, false};
  auto value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return {false, false, false};
  bool object = value.is_object();
  return {true, object, object && (value.contains("result") || value.contains("error"))};
}

void expect_agreement(const std::string& text) {
  auto shape = json_shape(text);
  auto expected = full_parser(text);
  ASSERT_EQ(shape.valid, expected.valid) << text;
  if (!expected.valid) return;
  ASSERT_EQ(shape.object, expected.object) << text;
  ASSERT_EQ(shape.has_reply_key, expected.has_reply_key) << text;
}

const std::vector<std::string> kSeeds = {
    R"({"result":{"observation":[0.0123,-0.5,1e-05,3.4E+2],"reward":1.0,"terminated":false,)"
    R"("truncated":false,"info":{}}})",
    R"({"error": "action must be 0 or 1"})",
    R"( {"result" : null} )",
    R"({"r\u0065sult": 1, "x": "caf\u00e9 \ud834\udd1e \"q\" \\ \/ \b\f\n\r\t"})",
    "{\"result\": \"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e\"}",
    R"([1, 2, {"result": 3}])",
    R"({"result": [true, false, null, -0, 0.5, 12345678901234567890123]})",
    R"({"result": 1e400})",
    "\xef\xbb\xbf{\"result\": 1}",
    R"({"nested": {"result": 1}, "error": {}})",
    R"("just a string")",
    "-12.5e-3",
};

TEST(JsonShape, AgreesWithTheFullParserOnTextsAndTheirMutations) {
  tarvo::test::for_each_mutation(kSeeds, 200000, expect_agreement);
}

TEST(JsonShape, NestingPastTheLimitIsRefusedWhetherWholeOrBroken) {
  // Up to the nesting limit the verdicts are the full parser's; past it every text is
  // refused as too deep, however it goes on.
  for (int depth = 95; depth <= 105; ++depth) {
    const std::string open = std::string(static_cast<std::size_t>(depth), '[');
    const std::string close = std::string(static_cast<std::size_t>(depth), ']');
    for (const std::string& text :
         {"{\"result\":" + open + close + "}", "{\"result\":" + open + "1" + close + "}",
          "{\"result\":" + open + close, "{\"result\":" + open + "{}," + close + "}",
          "{\"r\\u0065sult\":" + open + close + "}",
          "{\"error\":" + open + "{\"a\":" + open + close + "}" + close + "}"}) {
      if (tarvo::core::json_too_deep_at(text) == std::string::npos) {
        expect_agreement(text);
      } else {
        auto shape = json_shape(text);
        EXPECT_TRUE(shape.too_deep && !shape.valid && !shape.object) << text;
      }
    }
  }
}

TEST(JsonShape, DeepNestingIsRefusedWithoutADeepStack) {
  std::string deep = "{\"result\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_TRUE(json_shape(deep).too_deep);
  EXPECT_FALSE(json_shape(deep).valid);
  deep.pop_back();
  EXPECT_FALSE(json_shape(deep).valid);
}

TEST(JsonScan, DigitRunsEndAtTheFirstOtherByteWhereverItFalls) {
  // Runs are read eight bytes at a time: the end at every place within a word and
  // after it, made by the bytes around the digits and by the end of the text.
  for (int length = 0; length <= 20; ++length) {
    const std::string digits(static_cast<std::size_t>(length), '7');
    for (int other :
         {0x00, int{'/'}, int{':'}, int{'.'}, int{'e'}, int{'-'}, 0x7f, 0x80, 0xb9, 0xff}) {
      const std::string text = digits + static_cast<char>(other) + "12345678";
      const char* end = tarvo::sim::json_scan::skip_digits(text.data(), text.data() + text.size());
      EXPECT_EQ(end - text.data(), length) << length << " digits, then byte " << other;
    }
    EXPECT_EQ(tarvo::sim::json_scan::skip_digits(digits.data(), digits.data() + length),
              digits.data() + length);
  }
}

}  // namespace
