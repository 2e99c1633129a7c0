// `tarvo compute disconnect`: job shutdown, stack stop, deregistration and the node
// state, with a fake compute service on port 8000 and a fake docker.
#include <gmock/gmock.h>

#include "compute_support.hpp"

using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;

namespace tarvo::test {
namespace {

constexpr const char* kDeregistered = "Compute node stopped and deregistered.\n";
constexpr const char* kNotDeregistered =
    "Compute node stopped. Platform deregistration failed — the cluster may still appear "
    "online.\n";

Json deregistrations(const Json& responses) {
  return Json::array(
      {Json{{"method", "DELETE"}, {"path", "/v1/clusters/cluster-7"}, {"responses", responses}}});
}

Json shutdown(int status, const std::string& body = "") {
  return Json::array(
      {Json{{"method", "POST"},
            {"path", "/jobs/shutdown"},
            {"responses", Json::array({Json{{"status", status}, {"body", body}}})}}});
}

using DisconnectTest = ComputeTest;

TEST_F(DisconnectTest, WithoutANodeNothingIsTouched) {
  start_scripted_platform(Json::array());
  auto result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "No compute node is connected. Nothing to disconnect.\n");
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(requests("platform").empty());
}

// A stored record without a cluster id names no node: no request for cluster "None".
TEST_F(DisconnectTest, ARecordWithoutAClusterIdIsNoNode) {
  start_scripted_platform(Json::array());
  for (const auto& record : {Json::object(), Json{{"organization_id", "o-1"}},
                             Json{{"cluster_id", nullptr}}, Json{{"cluster_id", ""}}}) {
    write_state(record);
    auto result = session_.run({"compute", "disconnect"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "No compute node is connected. Nothing to disconnect.\n");
  }
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(requests("platform").empty());
}

TEST_F(DisconnectTest, ConnectThenDisconnectAgainstTheEmulator) {
  start_platform(nullptr, {"--token", "k3y"});
  session_.env()["TARVO_API_KEY"] = "k3y";
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  auto result = session_.run({"compute", "connect"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_EQ(clusters().size(), 1u);
  ASSERT_EQ(stacks().size(), 1u);

  auto service = scripted_server(shutdown(200), 8000, "compute");
  result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, kDeregistered);
  EXPECT_TRUE(clusters().empty());
  EXPECT_FALSE(std::filesystem::exists(state_file()));
  const auto jobs = requests("compute");
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0]["method"], "POST");
  EXPECT_EQ(jobs[0]["body"], "");
  EXPECT_EQ(docker_argvs().back(), compose({"down"}));
  EXPECT_TRUE(stacks().empty());  // the stand-in read the file for `down` and stopped the stack
  // The stop runs in the command's own environment.
  EXPECT_FALSE(calls("docker").back()["env"].contains("TARVO_CLUSTER_ID"));
}

TEST_F(DisconnectTest, RefusedShutdownWarnsAndGoesOn) {
  start_scripted_platform(deregistrations(Json::array({Json{{"status", 204}}})));
  for (auto [status, body, line] : std::vector<std::tuple<int, std::string, std::string>>{
           {500, "busy", "Failed to shut down active jobs cleanly (500): busy\n"},
           {204, "", "Failed to shut down active jobs cleanly (204): \n"}}) {
    write_state(connected_state());
    auto service =
        scripted_server(shutdown(status, body), 8000, "compute-" + std::to_string(status));
    auto result = session_.run({"compute", "disconnect"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, line + kDeregistered);
  }
}

TEST_F(DisconnectTest, UnreachableComputeServiceIsSilent) {
  start_scripted_platform(deregistrations(Json::array({Json{{"status", 200}}})));
  write_state(connected_state());
  auto result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, kDeregistered);
  EXPECT_EQ(requests("platform").size(), 1u);
}

TEST_F(DisconnectTest, FailedStackStopKeepsTheNodeAndTheRegistration) {
  start_scripted_platform(deregistrations(Json::array({Json{{"status", 200}}})));
  write_state(connected_state());
  const auto before = read_file(state_file());
  script_fake("docker", Json::parse(R"([{"when": ["down"], "results": [
      {"exit": 1, "stderr": "Cannot connect to the Docker daemon"}]}])"));
  auto result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "Failed to stop compute stack:\nCannot connect to the Docker daemon\n");
  EXPECT_EQ(read_file(state_file()), before);
  EXPECT_TRUE(requests("platform").empty());
}

TEST_F(DisconnectTest, WithoutTheComposePluginSaysWhatToInstall) {
  start_scripted_platform(deregistrations(Json::array({Json{{"status", 200}}})));
  write_state(connected_state());
  remove_compose_plugin();
  auto result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, testing::StartsWith("Failed to stop compute stack:\nunknown shorthand"));
  EXPECT_THAT(result.out, EndsWith("Install the Docker Compose v2 plugin (package "
                                   "docker-compose-plugin or docker-compose-v2) and try again.\n"));
  EXPECT_TRUE(std::filesystem::exists(state_file()));
  EXPECT_TRUE(requests("platform").empty());
}

TEST_F(DisconnectTest, DeregistrationOutcomes) {
  start_scripted_platform(deregistrations(Json::parse(R"([
      {"status": 200}, {"status": 204}, {"status": 201, "body": "created?"},
      {"status": 500, "body": ""}, {"status": 404, "body": "[red]not found"}])")));
  const std::vector<std::string> expected = {
      kDeregistered,
      kDeregistered,
      std::string("Deregistration failed (201): created?\n") + kNotDeregistered,
      std::string("Deregistration failed (500): \n") + kNotDeregistered,
      std::string("Deregistration failed (404): [red]not found\n") + kNotDeregistered,
  };
  for (const auto& output : expected) {
    write_state(connected_state());
    auto result = session_.run({"compute", "disconnect"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, output);
    // The node is forgotten whether or not the platform agreed.
    EXPECT_FALSE(std::filesystem::exists(state_file()));
  }
  for (const auto& request : requests("platform"))
    EXPECT_EQ(request["body"], "");
}

TEST_F(DisconnectTest, UnreachablePlatformStillForgetsTheNode) {
  write_state(connected_state());
  auto result = session_.run({"compute", "disconnect"});  // nothing listens on port 9
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out, testing::StartsWith("Could not reach TARVO platform to deregister: "));
  EXPECT_THAT(result.out, EndsWith(kNotDeregistered));
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(DisconnectTest, MissingDockerIsAnErrorNamingIt) {
  write_state(connected_state());
  session_.env()["PATH"] = (session_.home() / "empty").string();
  auto result = session_.run({"compute", "disconnect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Error: cannot run docker: program not found\n");
  EXPECT_TRUE(std::filesystem::exists(state_file()));
}

TEST_F(DisconnectTest, TakesNoArguments) {
  auto result = session_.run({"compute", "disconnect", "now"});
  EXPECT_EQ(result.exit_code, 2);
}

}  // namespace
}  // namespace tarvo::test
