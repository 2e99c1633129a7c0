// `tarvo sim list --local` against the engine's real image list.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine_test.hpp"

namespace tarvo::test {
namespace {

using testing::ContainsRegex;
using testing::Not;

TEST_F(EngineTest, ListLocalShowsTheSimulatorImagesOnly) {
  session_.env()["NO_COLOR"] = "1";
  const auto result = session_.run({"sim", "list", "--local"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, ContainsRegex("Sim Name +┃ Docker URL +┃ Version"));
  // The test images: each shows its name, its reference and when it was built.
  for (const char* name : {"echo-sim", "other-sim", "cartpole"})
    EXPECT_THAT(result.out, ContainsRegex(std::string("│ ") + name + " +│ tarvo/" + name +
                                          " +│ [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} +│"));
  EXPECT_THAT(result.out, Not(ContainsRegex("│ tarvo/tarvo/")));
}

}  // namespace
}  // namespace tarvo::test
