// start, logs, stop and status against a real engine, with the stand-in simulator
// images the fixture builds (tarvo/echo-sim serves until stopped, tarvo/short-sim
// ends at once, tarvo/broken-sim cannot start).
#include <gmock/gmock.h>

#include "engine_test.hpp"

namespace tarvo::test {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(EngineTest, StartedSimulatorIsReachableByItsNameUntilStopped) {
  const auto started = tarvo({"sim", "start", "echo-sim"});
  ASSERT_EQ(started.exit_code, 0) << started.err;
  EXPECT_THAT(started.out,
              AllOf(HasSubstr("Starting simulator echo-sim from tarvo/echo-sim (version 7), "
                              "historian on\n"),
                    HasSubstr("Simulator echo-sim is running at localhost:1337"),
                    EndsWith("\necho-sim\n")));

  auto connection = engine();
  const auto running = tarvo::docker::sim_list_running(connection);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0]["name"], "echo-sim");
  EXPECT_EQ(running[0]["version"], "7");
  EXPECT_EQ(running[0]["ports"], "host network");
  EXPECT_THAT(running[0]["env"].dump(), HasSubstr("\"IS_HISTORIAN_ENABLED=1\""));

  EXPECT_THAT(logs_holding("echo-sim", "historian=1"),
              HasSubstr("echo-sim started\nhistorian=1\n"));
  const auto logs = tarvo({"sim", "logs", "echo-sim"});
  EXPECT_THAT(logs.err, HasSubstr("echo-sim diagnostics on stderr"));
  EXPECT_THAT(logs.out, Not(HasSubstr("diagnostics")));

  const auto table = tarvo({"sim", "status"});
  EXPECT_EQ(table.exit_code, 0) << table.err;
  for (const char* cell : {"Name", "Historian Enabled", "echo-sim", "tarvo/echo-sim",
                           "localhost:1337", "host network", "True", "7"})
    EXPECT_THAT(table.out, HasSubstr(cell));

  // For scripts: the same rows as JSON, and nothing else on standard output.
  const auto json = tarvo({"sim", "status", "--json"});
  EXPECT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(nlohmann::ordered_json::parse(json.out),
            nlohmann::ordered_json::parse(R"([{"name": "echo-sim", "image": "tarvo/echo-sim",
              "address": "localhost:1337", "ports": "host network", "historian_enabled": true,
              "version": "7"}])"));
  EXPECT_EQ(tarvo({"sim", "status", "--sim-name", "echo-sim", "--moniker", "--json"}).out,
            "\"localhost:1337\"\n");
  EXPECT_EQ(nlohmann::ordered_json::parse(
                tarvo({"sim", "status", "--sim-name", "echo-sim", "--json"}).out)["state"],
            "running");

  const auto moniker = tarvo({"sim", "status", "--sim-name", "echo-sim", "--moniker"});
  EXPECT_EQ(moniker.out, "localhost:1337\n");
  const auto record = tarvo({"sim", "status", "--sim-name", "echo-sim"});
  EXPECT_THAT(record.out, AllOf(HasSubstr("echo-sim"), HasSubstr("tarvo/echo-sim"),
                                HasSubstr("running"), HasSubstr("localhost:1337")));

  const auto again = tarvo({"sim", "start", "echo-sim"});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.err, "Error: simulator 'echo-sim' is already running; stop it first\n");

  const auto stopped = tarvo({"sim", "stop", "--sim-id", "echo-sim"});
  EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
  EXPECT_EQ(stopped.out, "");
  EXPECT_TRUE(our_containers().empty());

  const auto gone = tarvo({"sim", "status", "--sim-name", "echo-sim"});
  EXPECT_EQ(gone.exit_code, 1);
  EXPECT_THAT(gone.err, HasSubstr("no simulator container named 'echo-sim'"));
  // The name is free again.
  EXPECT_EQ(tarvo({"sim", "start", "echo-sim", "--show-name"}).exit_code, 0);
}

TEST_F(EngineTest, ShowNamePrintsOnlyTheNameAndTheHistorianCanBeOff) {
  const auto started = tarvo({"sim", "start", "echo-sim", "--show-name", "--no-enable-historian"});
  ASSERT_EQ(started.exit_code, 0) << started.err;
  EXPECT_EQ(started.out, "echo-sim\n");

  auto connection = engine();
  const auto running = tarvo::docker::sim_list_running(connection);
  ASSERT_EQ(running.size(), 1u);
  EXPECT_THAT(running[0]["env"].dump(), HasSubstr("\"IS_HISTORIAN_ENABLED=0\""));
  EXPECT_THAT(logs_holding("echo-sim", "historian="), HasSubstr("historian=0"));
  const auto table = tarvo({"sim", "status"});
  EXPECT_THAT(table.out, AllOf(HasSubstr("False"), Not(HasSubstr("True"))));
}

TEST_F(EngineTest, StreamingFollowsTheLogsUntilTheContainerEnds) {
  const auto started = tarvo({"sim", "start", "short-sim", "--stream"});
  ASSERT_EQ(started.exit_code, 0) << started.err;
  EXPECT_THAT(started.out, AllOf(HasSubstr("Starting simulator short-sim"),
                                 HasSubstr("echo-sim started\nhistorian=1\necho-sim done\n"),
                                 Not(EndsWith("\nshort-sim\n"))));
  EXPECT_THAT(started.err, HasSubstr("echo-sim diagnostics on stderr"));

  // An ended simulator keeps its logs until it is stopped or started again.
  for (const bool stream : {false, true}) {
    std::vector<std::string> args = {"sim", "logs", "short-sim"};
    if (stream) args.push_back("--stream");
    const auto logs = tarvo(args);
    EXPECT_EQ(logs.exit_code, 0) << logs.err;
    EXPECT_EQ(logs.out, "echo-sim started\nhistorian=1\necho-sim done\n");
  }
  const auto restarted = tarvo({"sim", "start", "short-sim", "--show-name"});
  EXPECT_EQ(restarted.exit_code, 0) << restarted.err;
}

TEST_F(EngineTest, CtrlCEndsFollowingCleanlyAndLeavesTheSimulatorRunning) {
  ASSERT_EQ(tarvo({"sim", "start", "echo-sim"}).exit_code, 0);
  core::process::Options options;
  options.environment = session_.env();
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  const auto followed =
      core::process::run({"timeout", "--preserve-status", "-s", "INT", "3", tarvo_binary().string(),
                          "sim", "logs", "echo-sim", "--stream"},
                         options);
  EXPECT_EQ(followed.exit_code, 0) << followed.err;
  EXPECT_THAT(followed.out, HasSubstr("echo-sim started\n"));
  auto connection = engine();
  EXPECT_EQ(tarvo::docker::sim_list_running(connection).size(), 1u);
}

TEST_F(EngineTest, StopAllCountsTheSimulatorsItStops) {
  const auto none = tarvo({"sim", "stop"});
  EXPECT_EQ(none.exit_code, 0) << none.err;
  EXPECT_THAT(none.out, AllOf(HasSubstr("] Getting all sims to stop\n"),
                              HasSubstr("] Stopped all sims\n"), Not(HasSubstr("stopping"))));

  ASSERT_EQ(tarvo({"sim", "start", "other-sim"}).exit_code, 0);
  ASSERT_EQ(tarvo({"sim", "start", "echo-sim"}).exit_code, 0);
  // An ended simulator is not running, so it is not counted.
  ASSERT_EQ(tarvo({"sim", "start", "short-sim", "--stream"}).exit_code, 0);
  const auto all = tarvo({"sim", "stop"});
  EXPECT_EQ(all.exit_code, 0) << all.err;
  const auto first = all.out.find("] [1/2] stopping echo-sim\n");
  const auto second = all.out.find("] [2/2] stopping other-sim\n");
  EXPECT_NE(first, std::string::npos) << all.out;
  EXPECT_NE(second, std::string::npos) << all.out;
  EXPECT_LT(first, second);
  EXPECT_THAT(all.out, EndsWith("] Stopped all sims\n"));
  auto connection = engine();
  EXPECT_TRUE(tarvo::docker::sim_list_running(connection).empty());
}

TEST_F(EngineTest, ContainersTarvoDidNotStartAreLeftAlone) {
  auto connection = engine();
  const auto created =
      connection.post("/containers/create?name=foreign", {{"Image", "tarvo/echo-sim"}});
  const std::string id = created["Id"];
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"sim", "stop", "--sim-id", "foreign"}, {"sim", "logs", "foreign"}}) {
    const auto refused = tarvo(args);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_THAT(refused.err, HasSubstr("Error: no simulator container named 'foreign'"));
  }
  EXPECT_NO_THROW(connection.get("/containers/" + id + "/json"));
  connection.del("/containers/" + id + "?force=1");
}

TEST_F(EngineTest, ImagesThatAreMissingOrCannotStartLeaveNothingBehind) {
  const auto missing = tarvo({"sim", "start", "missing-sim"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_THAT(missing.err,
              HasSubstr("Error: no image 'tarvo/missing-sim' in the Docker engine at "));

  const auto broken = tarvo({"sim", "start", "broken-sim"});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_THAT(broken.err, HasSubstr("Error: cannot start 'tarvo/broken-sim': "));
  EXPECT_TRUE(our_containers().empty());

  // The failure is reported, the empty result printed, and the command fails.
  const auto mapped = tarvo({"sim", "mappings", "--image", "tarvo/broken-sim"});
  EXPECT_EQ(mapped.exit_code, 1) << mapped.err;
  EXPECT_EQ(mapped.out, "Error: Could not start the container 'tarvo/broken-sim'\nnull\n");
  EXPECT_TRUE(our_containers().empty());
}

TEST_F(EngineTest, InfoAndMappingsStopTheirContainerWhenTheSimulatorNeverServes) {
  const auto info = tarvo({"sim", "info", "--name", "short-sim"});
  EXPECT_EQ(info.exit_code, 1);
  EXPECT_THAT(info.err,
              HasSubstr("Error: the simulator container 'short-sim' stopped before it served"));
  EXPECT_TRUE(our_containers().empty());

  const auto mapped = tarvo({"sim", "mappings", "--image", "tarvo/short-sim"});
  EXPECT_EQ(mapped.exit_code, 1);
  EXPECT_THAT(mapped.err, HasSubstr("stopped before it served at localhost:1337"));
  EXPECT_TRUE(our_containers().empty());
}

}  // namespace
}  // namespace tarvo::test
