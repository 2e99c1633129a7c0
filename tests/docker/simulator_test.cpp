// info and mappings given a simulator image: they start a container of the
// reference simulator (tarvo/cartpole, served by `tarvo sim run` inside it), query
// it, and stop it again.
#include <gmock/gmock.h>

#include "e2e/sim_run_available.hpp"
#include "engine_test.hpp"

namespace tarvo::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST_F(EngineTest, InfoByNameReportsTheSimulatorAndStopsItsContainer) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  const auto info =
      tarvo({"sim", "info", "--name", "cartpole", "--env-id", "CartPole-v1", "--address", "x:1"});
  ASSERT_EQ(info.exit_code, 0) << info.err;
  EXPECT_THAT(info.out, StartsWith("\n"
                                   "    Simulator Info\n"
                                   "    - Address:  localhost:1337\n"
                                   "    - Env ID:  CartPole-v1\n"
                                   "    - Is Port Opened?  True\n"
                                   "    - Is Channel Available?  True\n"
                                   "\n"
                                   "    Space Info\n"
                                   "    - Sensor Space:  Box("));
  EXPECT_THAT(info.out, EndsWith("    - Action Space:  Discrete(2)\n"
                                 "\n"
                                 "    Sensors\n"
                                 "    \tSensor(\"value[0]\", \"\")\n"
                                 "\tSensor(\"value[1]\", \"\")\n"
                                 "\tSensor(\"value[2]\", \"\")\n"
                                 "\tSensor(\"value[3]\", \"\")\n"
                                 "\n"));
  EXPECT_TRUE(our_containers().empty());
}

TEST_F(EngineTest, MappingsOfAnImageQueryItsContainerAndStopIt) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  const auto mapped =
      tarvo({"sim", "mappings", "--image", "tarvo/cartpole", "--address", "localhost:9"});
  ASSERT_EQ(mapped.exit_code, 0) << mapped.err;
  const auto result = nlohmann::ordered_json::parse(mapped.out);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.begin().key(), "action_space");
  EXPECT_EQ(result["action_space"]["space"], "Discrete(2)");
  EXPECT_EQ(result["action_space"]["mappings"].size(), 1u);
  EXPECT_THAT(result["sensor_space"]["space"].get<std::string>(), StartsWith("Box("));
  EXPECT_EQ(result["sensor_space"]["mappings"][3]["name"], "value[3]");
  EXPECT_TRUE(our_containers().empty());
}

}  // namespace
}  // namespace tarvo::test
