// `tarvo compute connect` against the platform emulator (or a scripted platform),
// with a fake docker on PATH, in a private network namespace.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include <gmock/gmock.h>

#include "compute_support.hpp"

using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

namespace tarvo::test {
namespace {

constexpr const char* kSuccessLines =
    "Compute node connected and running in the background.\n"
    "  Compute service:  port 8000\n"
    "  SeaweedFS filer:  port 8888\n"
    "\n"
    "No project linked yet — run `tarvo compute project` before submitting a job with "
    "locally-specified components.\n"
    "Run tarvo compute disconnect to stop the node and deregister it.\n";

using ConnectTest = ComputeTest;

TEST_F(ConnectTest, RegistersStartsTheStackFlushesAndSavesTheNode) {
  start_platform();
  install_fake("nvidia-smi");
  script_fake("nvidia-smi", Json::parse(R"([{"when": [], "results": [
      {"exit": 0, "stdout": "\n  \nNVIDIA T4\nNVIDIA A100\n"}]}])"));
  session_.env()["TARVO_ENV"] = "staging";
  session_.env()["KEEP_ME"] = "inherited";

  // An empty --name counts as none; the organisation is chosen in the numbered menu.
  auto result = session_.run({"compute", "connect", "--name", ""}, "1\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Select an Organization:"));
  EXPECT_THAT(result.out, HasSubstr("Demo Robotics (uuid: 7c0e4a52-1f3b-4d8e-9a61-2b5f0c3d9e10)"));
  EXPECT_THAT(result.out, EndsWith(kSuccessLines));

  const auto registered = clusters();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0]["name"], "alice-local");
  const auto& info = registered[0]["info"]["cluster"];
  std::vector<std::string> keys;
  for (const auto& item : info.items())
    keys.push_back(item.key());
  EXPECT_THAT(keys, ElementsAre("cpu", "memory", "workers", "sims", "gpu"));
  EXPECT_EQ(info["cpu"], std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_TRUE(std::regex_match(info["memory"].get<std::string>(), std::regex("[0-9]+Gi")));
  EXPECT_EQ(info["workers"], Json::array());
  EXPECT_EQ(info["sims"], Json::array());
  EXPECT_EQ(info["gpu"], "NVIDIA T4");
  const std::string cluster_id = registered[0]["id"];

  EXPECT_THAT(docker_argvs(),
              ElementsAre(std::vector<std::string>{"docker", "info"}, compose({"up", "-d"}),
                          compose({"exec", "-T", "redis", "redis-cli", "FLUSHALL"})));
  const auto up = calls("docker")[1]["env"];
  EXPECT_EQ(up["TARVO_PLATFORM_URL"], platform_url_);
  EXPECT_EQ(up["TARVO_CLUSTER_ID"], cluster_id);
  EXPECT_EQ(up["TARVO_ENV"], "staging");
  EXPECT_EQ(up["KEEP_ME"], "inherited");
  // The flush runs in the command's own environment.
  EXPECT_FALSE(calls("docker")[2]["env"].contains("TARVO_CLUSTER_ID"));

  const auto saved = state();
  keys.clear();
  for (const auto& item : saved.items())
    keys.push_back(item.key());
  EXPECT_THAT(keys,
              ElementsAre("cluster_id", "organization_id", "project_id", "started_at", "ports"));
  EXPECT_EQ(saved["cluster_id"], cluster_id);
  EXPECT_EQ(saved["organization_id"], "7c0e4a52-1f3b-4d8e-9a61-2b5f0c3d9e10");
  EXPECT_TRUE(saved["project_id"].is_null());
  EXPECT_TRUE(std::regex_match(saved["started_at"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?\+00:00)")));
  EXPECT_EQ(saved["ports"].dump(), R"({"compute service":8000,"SeaweedFS filer":8888})");
  struct stat info_of_file {};
  ASSERT_EQ(stat(state_file().c_str(), &info_of_file), 0);
  EXPECT_EQ(info_of_file.st_mode & 0777, 0600u);
}

TEST_F(ConnectTest, NameOptionAndNoGpu) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  auto result = session_.run({"compute", "connect", "--name", "lab-1"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const auto registered = clusters();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0]["name"], "lab-1");
  EXPECT_FALSE(registered[0]["info"]["cluster"].contains("gpu"));
  EXPECT_THAT(result.out, Not(HasSubstr("Select an Organization:")));
}

TEST_F(ConnectTest, StaleStateWithNothingOnPort8000IsReplaced) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  auto old = connected_state();
  old["cluster_id"] = "old-cluster";
  write_state(old);
  auto result = session_.run({"compute", "connect"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, testing::StartsWith("Previous state exists but no compute service is "
                                              "running. Continuing.\n"));
  EXPECT_EQ(state()["cluster_id"], clusters()[0]["id"]);
}

TEST_F(ConnectTest, StaleStateWithPort8000InUseIsAlreadyConnected) {
  start_platform();
  write_state(connected_state());
  const auto before = read_file(state_file());
  auto service = scripted_server(Json::array(), 8000, "compute");
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "Already connected — compute node is already running\n");
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(read_file(state_file()), before);
}

TEST_F(ConnectTest, DockerNotRunningOrMissing) {
  start_platform();
  script_fake("docker", Json::parse(R"([{"when": ["info"], "results": [{"exit": 1}]}])"));
  constexpr const char* kMessage =
      "Docker daemon is not running. Please start Docker and try again.\n";
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, kMessage);

  // No docker program at all reads the same.
  session_.env()["PATH"] = (session_.home() / "empty").string();
  result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, kMessage);
  EXPECT_TRUE(clusters().empty());
}

TEST_F(ConnectTest, PortConflictsAreReportedTogetherInPortOrder) {
  start_platform();
  auto filer = scripted_server(Json::array(), 8888, "filer");
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Port conflict — the following ports are already in use:\n"
            "  port 8888 (SeaweedFS filer)\n");

  // Without a stored node, port 8000 in use is a conflict, not "already connected".
  auto service = scripted_server(Json::array(), 8000, "compute");
  result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Port conflict — the following ports are already in use:\n"
            "  port 8000 (compute service)\n"
            "  port 8888 (SeaweedFS filer)\n");
  EXPECT_TRUE(clusters().empty());
  EXPECT_EQ(docker_argvs().size(), 2u);  // the two daemon checks only
}

TEST_F(ConnectTest, OrganisationChoiceFailuresRegisterNothing) {
  start_platform(Json::parse(R"({"organizations": [{"name": "No Id Inc"}]})"));
  // An organisation without "uuid".
  auto result = session_.run({"compute", "connect"}, "1\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Error: Organization ID not found\n");
  // A cancelled menu.
  result = session_.run({"compute", "connect"}, "\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, EndsWith("No organization selected.\n"));
  // An organisation setting naming none of them.
  session_.env()["TARVO_ORGANIZATION"] = "Elsewhere";
  result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Elsewhere"));
  EXPECT_THAT(result.err, HasSubstr("No Id Inc"));
  EXPECT_TRUE(clusters().empty());
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(ConnectTest, AccountWithoutOrganisations) {
  start_platform(Json::parse(R"({"organizations": []})"));
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, HasSubstr("No organizations found"));
}

TEST_F(ConnectTest, RegistrationRefusalsAndMalformedReplies) {
  const auto organizations = Json::parse(R"({"method": "GET", "path": "/v1/organizations",
      "responses": [{"status": 200, "body": "[{\"uuid\": \"o-1\", \"name\": \"One\"}]",
                     "content_type": "application/json"}]})");
  auto json = [](int status, const std::string& body) {
    return Json{{"status", status}, {"body", body}, {"content_type", "application/json"}};
  };
  Json registrations = Json::array({
      Json{{"status", 409}, {"body", "[bold]conflict"}},
      Json{{"status", 204}},
      json(202, "{}"),
      json(200, "[\"id\", 1]"),
      json(200, "{\"id\": null}"),
      json(201, "{\"name\": \"x\"}"),
      Json{{"status", 200}, {"body", "<html>oops</html>"}, {"content_type", "text/html"}},
  });
  start_scripted_platform(Json::array(
      {organizations,
       Json{{"method", "POST"}, {"path", "/v1/clusters/local"}, {"responses", registrations}}}));
  const std::vector<std::string> expected = {
      "Registration failed (409): [bold]conflict\n",
      "Registration failed (204): \n",
      "Registration failed (202): {}\n",
      "Response is missing cluster id\n",
      "Response is missing cluster id\n",
      "Response is missing cluster id\n",
  };
  for (const auto& line : expected) {
    auto result = session_.run({"compute", "connect"}, "1\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_THAT(result.out, EndsWith(line));
  }
  auto result = session_.run({"compute", "connect"}, "1\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, HasSubstr("Could not reach TARVO platform: "));

  // Nothing was started, and no rollback was needed.
  for (const auto& argv : docker_argvs())
    EXPECT_EQ(argv, std::vector<std::string>({"docker", "info"}));
  for (const auto& request : requests("platform"))
    EXPECT_NE(request["method"], "DELETE");
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(ConnectTest, UnreachablePlatform) {
  session_.env()["TARVO_API_URL"] = "http://127.0.0.1:9";
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: "));
  EXPECT_EQ(docker_argvs().size(), 1u);
}

TEST_F(ConnectTest, FailedStackStartDeregistersWithoutStopping) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  script_fake("docker", Json::parse(R"([{"when": ["up"], "results": [
      {"exit": 1, "stderr": "pull access denied [registry]\n"}]}])"));
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Failed to start compute stack:\npull access denied [registry]\n\n"
            "Error during setup — deregistering cluster and shutting down compute stack\n");
  EXPECT_TRUE(clusters().empty());  // registered, then deregistered
  EXPECT_THAT(docker_argvs(),
              ElementsAre(std::vector<std::string>{"docker", "info"}, compose({"up", "-d"})));
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(ConnectTest, RollbackReportsARefusedDeregistration) {
  start_scripted_platform(Json::parse(R"([
      {"method": "GET", "path": "/v1/organizations", "responses": [{"status": 200,
        "body": "[{\"uuid\": \"o-1\", \"name\": \"One\"}]", "content_type": "application/json"}]},
      {"method": "POST", "path": "/v1/clusters/local", "responses": [{"status": 201,
        "body": "{\"id\": 42}", "content_type": "application/json"}]},
      {"method": "DELETE", "path": "/v1/clusters/42", "responses": [{"status": 500,
        "body": "database down"}]}])"));
  script_fake("docker", Json::parse(R"([{"when": ["up"], "results": [{"exit": 1}]}])"));
  auto result = session_.run({"compute", "connect"}, "1\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, EndsWith("Error during setup — deregistering cluster and shutting down "
                                   "compute stack\nDeregistration failed (500): database down\n"));
  // A numeric id reaches Compose as its decimal text.
  EXPECT_EQ(calls("docker")[1]["env"]["TARVO_CLUSTER_ID"], "42");
}

TEST_F(ConnectTest, InterruptDuringTheFlushRollsBackAndStopsTheStack) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  script_fake("docker", Json::parse(R"([{"when": ["FLUSHALL"], "results": [
      {"exit": 1, "interrupt_parent": true, "sleep": 5}]}])"));
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 130);
  EXPECT_THAT(result.err, HasSubstr("Aborted!"));
  EXPECT_THAT(result.out, EndsWith("Error during setup — deregistering cluster and shutting down "
                                   "compute stack\n"));
  EXPECT_TRUE(clusters().empty());
  const auto argvs = docker_argvs();
  ASSERT_EQ(argvs.size(), 4u);
  EXPECT_EQ(argvs[3], compose({"down"}));
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(ConnectTest, FailingStateSaveRollsBackAndStopsTheStack) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  // While the stack is flushed, a plain file takes the place of the state folder.
  script_fake("docker", Json{{{"when", {"FLUSHALL"}},
                              {"results", {{{"create_file", state_file().parent_path()}}}}}});
  std::filesystem::create_directories(state_file().parent_path().parent_path());
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: compute node state"));
  EXPECT_TRUE(clusters().empty());
  ASSERT_EQ(docker_argvs().size(), 4u);
  EXPECT_EQ(docker_argvs()[3], compose({"down"}));
}

TEST_F(ConnectTest, CorruptStateFileIsReportedAndLeftAlone) {
  start_platform();
  write_state(connected_state());
  write_file(state_file(), "{\"cluster_id\": ");
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr(state_file().string()));
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
  EXPECT_EQ(read_file(state_file()), "{\"cluster_id\": ");
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(clusters().empty());
}

TEST_F(ConnectTest, UnrunnableNvidiaSmiEndsTheCommandBeforeRegistering) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  write_file(fakes_ / "nvidia-smi", "#!/bin/sh\necho GPU\n");  // not executable
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "Error: cannot run nvidia-smi: permission denied\n");
  EXPECT_TRUE(clusters().empty());
  EXPECT_EQ(docker_argvs().size(), 1u);
}

TEST_F(ConnectTest, HelpShowsTheNameOption) {
  auto result = session_.run({"compute", "connect", "--help"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.out,
              HasSubstr("Start the local compute node and register it with the TARVO platform."));
  EXPECT_THAT(result.out, HasSubstr("--name"));
  EXPECT_THAT(result.out, HasSubstr("Cluster name (default: <os-user>-local)"));
}

}  // namespace
}  // namespace tarvo::test
