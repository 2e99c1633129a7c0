// The container commands when the engine fails them: they end with one clear line
// and the right exit status. A scripted fake engine on loopback plays the engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../fakes/fake_engine.hpp"
#include "harness.hpp"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class SimContainersTest : public ::testing::Test {
 protected:
  void SetUp() override { session_.env()["DOCKER_HOST"] = fake_.docker_host(); }
  FakeEngine fake_;
  Session session_;
};

TEST_F(SimContainersTest, StatusReportsAnEngineFailureAsOneLogLineAndFails) {
  fake_.on("/containers/json", http_reply(500, R"({"message":"engine is [shutting] down"})"));
  const auto result = session_.run({"sim", "status"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  // The line's markup is rendered as the console renders it: in a pipe, no tags.
  EXPECT_THAT(result.err,
              MatchesRegex(".* INFO tarvo_cli\\.cli\\.envdesk: Error \\(EngineError\\): "
                           "engine is \\[shutting\\] down\n"));
  const auto json = session_.run({"sim", "status", "--json"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_EQ(json.out, "");

  // With a name the failure is the command's.
  const auto one = session_.run({"sim", "status", "--sim-name", "my-sim", "--moniker"});
  EXPECT_EQ(one.exit_code, 1);
  EXPECT_THAT(one.err, HasSubstr("Error: no simulator container named 'my-sim'"));
}

TEST_F(SimContainersTest, EveryCommandNamesTheEngineItCannotReach) {
  std::string host;
  {
    FakeEngine closed;
    host = closed.docker_host();
  }
  session_.env()["DOCKER_HOST"] = host;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"sim", "start", "my-sim"},
                                             {"sim", "logs", "my-sim", "--stream"},
                                             {"sim", "stop"},
                                             {"sim", "stop", "--sim-id", "my-sim"},
                                             {"sim", "info", "--name", "my-sim"},
                                             {"sim", "list", "--local", "--json"},
                                             {"sim", "status"}}) {
    const auto result = session_.run(args);
    EXPECT_EQ(result.exit_code, 1) << args[1];
    EXPECT_THAT(result.err,
                HasSubstr("cannot reach the Docker engine at " + host + " (from DOCKER_HOST): "))
        << args[1];
    EXPECT_THAT(result.err, HasSubstr(". Is the docker daemon running?")) << args[1];
  }
  // The container that cannot start is reported, the empty result printed, and the
  // command fails.
  const auto mapped = session_.run({"sim", "mappings", "--image", "tarvo/my-sim"});
  EXPECT_EQ(mapped.exit_code, 1);
  EXPECT_EQ(mapped.out, "Error: Could not start the container 'tarvo/my-sim'\nnull\n");

  // A socket is named as the path it is, not as libcurl's "localhost port 80".
  ScratchDir nowhere;
  session_.env()["DOCKER_HOST"] = "unix://" + (nowhere.path() / "docker.sock").string();
  const auto socket = session_.run({"sim", "stop"});
  EXPECT_EQ(socket.exit_code, 1);
  EXPECT_THAT(socket.err,
              HasSubstr("there is no socket at " + (nowhere.path() / "docker.sock").string() +
                        ". Is the docker daemon running?"));
  EXPECT_THAT(socket.err, ::testing::Not(HasSubstr("port 80")));
}

TEST_F(SimContainersTest, BadSettingsAndInputsAreOneLineErrors) {
  session_.env()["DOCKER_HOST"] = "ssh://me@example.org";
  const auto ssh = session_.run({"sim", "stop"});
  EXPECT_EQ(ssh.exit_code, 1);
  EXPECT_EQ(ssh.err,
            "Error: DOCKER_HOST 'ssh://me@example.org' is not supported: use unix:///path or "
            "tcp://host:port\n");

  session_.env()["DOCKER_HOST"] = fake_.docker_host();
  session_.env()["TARVO_DOCKER_NETWORK"] = "overlay";
  fake_.on("/images/tarvo%2Fmy-sim/json", http_reply(200, "{}"));
  const auto network = session_.run({"sim", "start", "my-sim"});
  EXPECT_EQ(network.exit_code, 1);
  EXPECT_EQ(network.err, "Error: TARVO_DOCKER_NETWORK must be 'bridge' or 'host', not 'overlay'\n");

  const auto name = session_.run({"sim", "start", "My Sim"});
  EXPECT_EQ(name.exit_code, 1);
  EXPECT_THAT(name.err, HasSubstr("Error: 'My Sim' is not a simulator name"));
}

TEST_F(SimContainersTest, InfoAndMappingsNeedAnAddressOrASimulator) {
  const auto info = session_.run({"sim", "info"});
  EXPECT_EQ(info.exit_code, 1);
  EXPECT_EQ(info.err, "Error: Either address or sim must be provided\n");
  const auto mapped = session_.run({"sim", "mappings"});
  EXPECT_EQ(mapped.exit_code, 1);
  EXPECT_EQ(mapped.err, "Error: Either image or address must be provided\n");
  // Nothing was asked of the engine.
  EXPECT_TRUE(fake_.requests().empty());
}

}  // namespace
}  // namespace tarvo::test
