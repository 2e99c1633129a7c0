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

  // The flush succeeds at its first try: the stand-in reads the Compose file as
  // Compose does, and the file needs nothing that `exec` is not given.
  EXPECT_THAT(
      docker_argvs(),
      ElementsAre(std::vector<std::string>{"docker", "info"},
                  std::vector<std::string>{"docker", "compose", "version"}, compose({"up", "-d"}),
                  compose({"exec", "-T", "redis", "redis-cli", "FLUSHALL"})));
  const auto up = calls("docker")[2]["env"];
  EXPECT_EQ(up["TARVO_PLATFORM_URL"], platform_url_);
  EXPECT_EQ(up["TARVO_CLUSTER_ID"], cluster_id);
  EXPECT_EQ(up["TARVO_ENV"], "staging");
  EXPECT_EQ(up["KEEP_ME"], "inherited");
  // The flush runs in the command's own environment.
  EXPECT_FALSE(calls("docker")[3]["env"].contains("TARVO_CLUSTER_ID"));
  // The stack is up, and its compute service got the cluster's identity.
  const auto service = stack_environment();
  EXPECT_EQ(service["TARVO_PLATFORM_URL"], platform_url_);
  EXPECT_EQ(service["TARVO_CLUSTER_ID"], cluster_id);
  EXPECT_EQ(service["TARVO_ENV"], "staging");

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

TEST_F(ConnectTest, StaleNodeIsLeftForDisconnectToRemove) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  ASSERT_EQ(session_.run({"compute", "connect"}).exit_code, 0);
  const auto first = state();
  std::filesystem::remove(fakes_ / "compose-stacks.json");  // the stack is gone, the node not

  // Replacing the record would leave its cluster registered with nothing to remove it.
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Previous state exists for cluster cluster-1 but no compute service is running. Run "
            "`tarvo compute disconnect` to deregister it and clear the state, then connect "
            "again.\n");
  EXPECT_EQ(state(), first);
  EXPECT_EQ(clusters().size(), 1u);

  ASSERT_EQ(session_.run({"compute", "disconnect"}).exit_code, 0);
  EXPECT_TRUE(clusters().empty());
  result = session_.run({"compute", "connect"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  ASSERT_EQ(clusters().size(), 1u);
  EXPECT_EQ(state()["cluster_id"], clusters()[0]["id"]);
}

TEST_F(ConnectTest, StaleRecordWithoutAClusterIsReplaced) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  write_state(Json{{"organization_id", "org-1"}});
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
  for (const auto& argv : docker_argvs())  // the checks only
    EXPECT_TRUE(argv == std::vector<std::string>({"docker", "info"}) ||
                argv == std::vector<std::string>({"docker", "compose", "version"}));
}

TEST_F(ConnectTest, MissingComposePluginOrFileStopsBeforeRegistering) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  remove_compose_plugin();  // Debian's docker.io as it comes
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Docker Compose is not available (`docker compose version` failed). Install the Docker "
            "Compose v2 plugin (package docker-compose-plugin or docker-compose-v2) and try "
            "again.\n");
  std::filesystem::remove(fakes_ / "docker.json");

  // The executable copied without its share folder.
  const auto prefix = session_.home() / "copied";
  std::filesystem::create_directories(prefix / "bin");
  std::filesystem::create_directories(prefix / "lib");
  std::filesystem::copy_file(tarvo_binary(), prefix / "bin" / "tarvo");
  std::filesystem::create_directory_symlink(
      tarvo_binary().parent_path().parent_path() / "lib" / "tarvo", prefix / "lib" / "tarvo");
  core::process::Options options;
  options.environment = session_.env();
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  result = core::process::run({(prefix / "bin" / "tarvo").string(), "compute", "connect"}, options);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "The compute stack's Compose file is missing: " +
                            (prefix / "share/tarvo/compute/docker-compose.yml").string() +
                            ". Reinstall tarvo with its share/tarvo folder.\n");
  EXPECT_TRUE(clusters().empty());
  EXPECT_TRUE(stacks().empty());
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
      // JSON-looking, but not said to be JSON.
      Json{{"status", 200}, {"body", "{\"id\": \"c-9\"}"}, {"content_type", "text/html"}},
      json(200, "{\"id\": "),
      json(201, std::string(1000, '[') + std::string(1000, ']')),
      json(201, std::string(100000, '[') + std::string(100000, ']')),
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
      "Could not reach TARVO platform: the reply is not JSON (content type \"text/html\")\n",
      "Could not understand the TARVO platform's reply: not valid JSON (at byte 8)\n",
      "Could not understand the TARVO platform's reply: nesting deeper than 100 levels\n",
      "Could not reach TARVO platform: reply larger than 65536 bytes\n",
  };
  for (const auto& line : expected) {
    auto result = session_.run({"compute", "connect"}, "1\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_THAT(result.out, EndsWith(line));
    EXPECT_EQ(result.err, "");
  }

  // Nothing was started, and no rollback was needed.
  for (const auto& argv : docker_argvs())
    EXPECT_NE(argv, compose({"up", "-d"}));
  for (const auto& request : requests("platform"))
    EXPECT_NE(request["method"], "DELETE");
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

TEST_F(ConnectTest, UnreachablePlatform) {
  session_.env()["TARVO_API_URL"] = "http://127.0.0.1:9";
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: "));
  EXPECT_EQ(docker_argvs().size(), 2u);  // the daemon and Compose checks
}

TEST_F(ConnectTest, FailedStackStartDeregistersAndStopsWhatItLeft) {
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  // Compose fails part-way: some containers were created and stay until `down`.
  script_fake("docker", Json::parse(R"([{"when": ["up"], "results": [
      {"exit": 1, "stderr": "pull access denied [registry]\n"}]}])"));
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "Failed to start compute stack:\npull access denied [registry]\n\n"
            "Error during setup — deregistering cluster and shutting down compute stack\n");
  EXPECT_TRUE(clusters().empty());  // registered, then deregistered
  EXPECT_THAT(docker_argvs(), ElementsAre(std::vector<std::string>{"docker", "info"},
                                          std::vector<std::string>{"docker", "compose", "version"},
                                          compose({"up", "-d"}), compose({"down"})));
  EXPECT_TRUE(stacks().empty());
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
  EXPECT_EQ(calls("docker")[2]["env"]["TARVO_CLUSTER_ID"], "42");
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
  ASSERT_EQ(argvs.size(), 5u);
  EXPECT_EQ(argvs[4], compose({"down"}));
  EXPECT_TRUE(stacks().empty());
  EXPECT_FALSE(std::filesystem::exists(state_file()));
}

// The platform refuses requests without the key; both cluster requests carry it.
TEST_F(ConnectTest, SendsTheApiKeyOnRegistrationAndRollback) {
  start_scripted_platform(Json::parse(R"([
      {"method": "GET", "path": "/v1/organizations", "responses": [{"status": 200,
        "body": "[{\"uuid\": \"o-1\", \"name\": \"One\"}]", "content_type": "application/json"}]},
      {"method": "POST", "path": "/v1/clusters/local", "responses": [{"status": 201,
        "body": "{\"id\": \"c-5\"}", "content_type": "application/json"}]},
      {"method": "DELETE", "path": "/v1/clusters/c-5", "responses": [{"status": 204}]}])"));
  script_fake("docker", Json::parse(R"([{"when": ["up"], "results": [{"exit": 1}]}])"));
  session_.env()["TARVO_API_KEY"] = "s3cret";
  auto result = session_.run({"compute", "connect"}, "1\n");
  EXPECT_EQ(result.exit_code, 1);
  std::vector<std::string> seen;
  for (const auto& request : requests("platform")) {
    seen.push_back(request["method"].get<std::string>() + " " + request["path"].get<std::string>());
    EXPECT_EQ(request["authorization"], "Bearer s3cret") << seen.back();
  }
  EXPECT_THAT(seen, ElementsAre("GET /v1/organizations", "POST /v1/clusters/local",
                                "DELETE /v1/clusters/c-5"));

  // Against the emulator that insists on the key, the whole connect works.
  start_platform(nullptr, {"--token", "s3cret"});
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  std::filesystem::remove(fakes_ / "docker.json");
  result = session_.run({"compute", "connect"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(clusters().size(), 1u);
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
  ASSERT_EQ(docker_argvs().size(), 5u);
  EXPECT_EQ(docker_argvs()[4], compose({"down"}));
  EXPECT_TRUE(stacks().empty());
}

TEST_F(ConnectTest, CorruptStateFileIsReportedAndLeftAlone) {
  start_platform();
  write_state(connected_state());
  write_file(state_file(), "{\"cluster_id\": ");
  auto result = session_.run({"compute", "connect"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr(state_file().string()));
  EXPECT_THAT(result.err, HasSubstr("repair or remove the file"));
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
  EXPECT_EQ(docker_argvs().size(), 2u);
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
