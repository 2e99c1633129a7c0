// JSON from outside: the nesting limit (the literal reader's) and one-line errors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/json_limits.hpp"

using testing::HasSubstr;

namespace tarvo::core {
namespace {

std::string nested(int depth, char open = '[', char close = ']') {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonLimits, NestingUpToTheLiteralReadersLimitIsAccepted) {
  EXPECT_EQ(kMaxJsonDepth, kMaxLiteralDepth);
  EXPECT_NO_THROW(parse_outside_json(nested(kMaxJsonDepth)));
  EXPECT_THAT([] { parse_outside_json(nested(kMaxJsonDepth + 1)); },
              testing::ThrowsMessage<JsonError>("nesting deeper than 100 levels"));
  // Objects count as arrays do, mixed too.
  std::string objects;
  for (int i = 0; i <= kMaxJsonDepth; ++i)
    objects += i % 2 ? "[" : "{\"k\":";
  EXPECT_THROW(check_json_depth(objects), JsonError);
  // Far too deep is refused at once, without recursion.
  EXPECT_THROW(parse_outside_json(nested(1000000)), JsonError);
}

TEST(JsonLimits, BracketsInsideStringsDoNotCount) {
  const std::string text = "{\"a\": \"" + nested(500) + "\\\"[[[\", \"b\": [\"]]]\"]}";
  const auto value = parse_outside_json(text);
  EXPECT_EQ(value["a"], nested(500) + "\"[[[");
  EXPECT_NO_THROW(check_json_depth("[\"\\\\\", [1]]", 2));
  EXPECT_THROW(check_json_depth("[\"\\\\\", [[1]]]", 2), JsonError);
}

TEST(JsonLimits, MalformedTextIsOneLineWithoutTheText) {
  for (const char* text : {"", "{\"id\": ", "<html>\x1b[31m</html>", "[1,]"}) {
    SCOPED_TRACE(text);
    EXPECT_THAT([&] { parse_outside_json(text); },
                testing::ThrowsMessage<JsonError>(testing::AllOf(
                    testing::StartsWith("not valid JSON (at byte "), testing::Not(HasSubstr("\n")),
                    testing::Not(HasSubstr("\x1b")))));
  }
  // The other JSON flavour, as the settings use it.
  EXPECT_EQ(parse_outside_json<nlohmann::json>("{\"b\": 1, \"a\": 2}").begin().key(), "a");
}

}  // namespace
}  // namespace tarvo::core
