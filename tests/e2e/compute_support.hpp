#pragma once
// What the compute group's end-to-end tests share: a private network namespace
// (the stack's ports 8000 and 8888 are fixed), fake docker/nvidia-smi programs on
// PATH, the platform emulator and scripted loopback servers as background processes.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/fd.hpp"
#include "harness.hpp"
#include "private_network.hpp"

extern char** environ;

namespace tarvo::test {

using Json = nlohmann::ordered_json;

inline std::filesystem::path build_bin(const std::string& name) {
  return std::filesystem::path(TARVO_BUILD_DIR) / "bin" / name;
}

// A server started in the background; it prints "listening on ...:PORT" once ready,
// and is terminated and reaped with the object.
class BackgroundServer {
 public:
  explicit BackgroundServer(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    core::Fd read_end(fds[0]), write_end(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int error = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
    write_end.reset();
    std::string line;
    char c;
    while (::read(read_end.get(), &c, 1) == 1 && c != '\n')
      line += c;
    const auto colon = line.rfind(':');
    if (line.rfind("listening on", 0) != 0 || colon == std::string::npos)
      throw std::runtime_error(argv[0] + " did not start: " + line);
    port_ = std::stoi(line.substr(colon + 1));
  }
  ~BackgroundServer() {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
  BackgroundServer(const BackgroundServer&) = delete;
  BackgroundServer& operator=(const BackgroundServer&) = delete;
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<Json> read_json_lines(const std::filesystem::path& path) {
  std::vector<Json> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(Json::parse(line));
  return lines;
}

// The fixture: a scratch home, the fakes on PATH, a private network.
class ComputeTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    network_ = PrivateNetwork::enter(reason);
    if (!network_) GTEST_SKIP() << reason;
    fakes_ = session_.home() / "fakes";
    std::filesystem::create_directories(fakes_);
    install_fake("docker");
    session_.env()["PATH"] = fakes_.string() + ":" + session_.env()["PATH"];
    session_.env()["NO_COLOR"] = "1";
  }

  // Puts the fake program on PATH under `name`.
  void install_fake(const std::string& name) {
    std::filesystem::copy_file(build_bin("fake-program"), fakes_ / name,
                               std::filesystem::copy_options::overwrite_existing);
  }
  // Scripted answers of a fake program (see tests/fakes/fake_program.cpp).
  void script_fake(const std::string& name, const Json& rules) {
    write_file(fakes_ / (name + ".json"), Json{{"rules", rules}}.dump());
  }
  // The fake docker as Debian's docker.io is: without the Compose plugin.
  void remove_compose_plugin() {
    write_file(fakes_ / "docker.json", Json{{"compose_plugin", false}}.dump());
  }
  // The Compose stacks the fake docker has up, by project: {"file", "services"}.
  Json stacks() const {
    const auto path = fakes_ / "compose-stacks.json";
    return std::filesystem::exists(path) ? Json::parse(read_file(path)) : Json::object();
  }
  // The environment the running stack's compute service got.
  Json stack_environment() const {
    return stacks()["tarvo-compute"]["services"]["compute"]["environment"];
  }
  // The recorded calls of the fakes, in order; only those of `program` when given.
  std::vector<Json> calls(const std::string& program = {}) const {
    std::vector<Json> selected;
    for (auto& call : read_json_lines(fakes_ / "calls.jsonl"))
      if (program.empty() || call["program"] == program) selected.push_back(call);
    return selected;
  }
  std::vector<std::vector<std::string>> docker_argvs() const {
    std::vector<std::vector<std::string>> argvs;
    for (const auto& call : calls("docker"))
      argvs.push_back(call["argv"]);
    return argvs;
  }
  static std::vector<std::string> compose(std::initializer_list<std::string> rest) {
    std::vector<std::string> argv = {
        "docker", "compose", "-f",
        // The data file of the tarvo under test (build/'s, or build/posix/'s).
        (tarvo_binary().parent_path().parent_path() / "share/tarvo/compute/docker-compose.yml")
            .string()};
    argv.insert(argv.end(), rest);
    return argv;
  }

  // The platform emulator, seeded with `seed` (its default seed when null), with
  // further options of its own.
  void start_platform(const Json& seed = nullptr, const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {build_bin("tarvo-platform-emulator").string(), "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!seed.is_null()) {
      write_file(session_.home() / "seed.json", seed.dump());
      argv.insert(argv.end(), {"--data", (session_.home() / "seed.json").string()});
    }
    platform_ = std::make_unique<BackgroundServer>(argv);
    platform_url_ = "http://127.0.0.1:" + std::to_string(platform_->port());
    session_.env()["TARVO_API_URL"] = platform_url_;
  }
  // A scripted server as the platform; its requests are logged to platform.jsonl.
  void start_scripted_platform(const Json& routes) {
    platform_ = scripted_server(routes, 0, "platform");
    platform_url_ = "http://127.0.0.1:" + std::to_string(platform_->port());
    session_.env()["TARVO_API_URL"] = platform_url_;
  }
  std::unique_ptr<BackgroundServer> scripted_server(const Json& routes, int port,
                                                    const std::string& name) {
    write_file(session_.home() / (name + "-script.json"), Json{{"routes", routes}}.dump());
    return std::make_unique<BackgroundServer>(std::vector<std::string>{
        build_bin("fake-http-server").string(), "--port", std::to_string(port), "--script",
        (session_.home() / (name + "-script.json")).string(), "--log",
        (session_.home() / (name + ".jsonl")).string()});
  }
  std::vector<Json> requests(const std::string& name) const {
    return read_json_lines(session_.home() / (name + ".jsonl"));
  }
  // The clusters the emulator knows.
  Json clusters() {
    httplib::Client client("127.0.0.1", platform_->port());
    httplib::Headers headers;
    if (auto key = session_.env().find("TARVO_API_KEY"); key != session_.env().end())
      headers.emplace("Authorization", "Bearer " + key->second);
    auto reply = client.Get("/v1/clusters", headers);
    if (!reply) throw std::runtime_error("emulator not answering");
    return Json::parse(reply->body);
  }

  std::filesystem::path state_file() const {
    return session_.home() / "state" / "tarvo" / "compute.json";
  }
  void write_state(const Json& record) {
    std::filesystem::create_directories(state_file().parent_path());
    write_file(state_file(), record.dump(2));
  }
  Json state() const { return Json::parse(read_file(state_file())); }

  static Json connected_state() {
    return Json::parse(R"({"cluster_id": "cluster-7", "organization_id": "org-1",
      "project_id": null, "started_at": "2026-03-01T09:05:07.123456+00:00",
      "ports": {"compute service": 8000, "SeaweedFS filer": 8888}})");
  }

  Session session_;
  std::unique_ptr<PrivateNetwork> network_;
  std::filesystem::path fakes_;
  std::unique_ptr<BackgroundServer> platform_;
  std::string platform_url_;
};

}  // namespace tarvo::test
