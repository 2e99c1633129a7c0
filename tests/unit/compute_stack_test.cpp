// Stack control: the port probe, the daemon check, the stack environment and the
// flush's retries, against the fake docker.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../e2e/harness.hpp"
#include "cli/compute/compute.hpp"
#include "cli/exit.hpp"
#include "compute_test_support.hpp"
#include "core/fd.hpp"

namespace tarvo::cli::compute {
namespace {

// A listening socket on `address` (IPv4 or IPv6 text), on a free port.
core::Fd listen_on(const std::string& address, int& port) {
  const bool v6 = address.find(':') != std::string::npos;
  core::Fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage storage{};
  socklen_t length;
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    int only = 1;
    setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    length = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    length = sizeof *in4;
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
      ::listen(fd.get(), 4) != 0)
    return core::Fd();
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length);
  port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                  : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return fd;
}

TEST(PortProbe, OnlyIpv4LoopbackListenersCount) {
  int port = 0;
  {
    auto listener = listen_on("127.0.0.1", port);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(_is_port_in_use(port));
  }
  EXPECT_FALSE(_is_port_in_use(port));
  {
    auto listener = listen_on("0.0.0.0", port);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(_is_port_in_use(port));
  }
  auto v6 = listen_on("::1", port);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_FALSE(_is_port_in_use(port));
}

class StackControl : public testing::Test {
 protected:
  void SetUp() override {
    env_.set("PATH", bin().string());
    env_.set("NO_COLOR", "1");
  }
  std::filesystem::path bin() const { return dir_.path() / "bin"; }
  std::size_t docker_calls() const { return test::count_lines(bin() / "calls.jsonl"); }
  void start_stack() {
    core::Settings settings;
    settings.URL_API = "http://127.0.0.1:9";
    settings.TARVO_ENV = "test";
    _start_stack(_stack_environment("c-1", settings));
  }

  test::ScratchDir dir_;
  test::ScopedEnvironment env_;
};

TEST_F(StackControl, DaemonCheck) {
  EXPECT_FALSE(_check_docker_daemon());  // no docker program at all
  test::install_fake(bin(), "docker", nlohmann::json::parse(R"([{"when": ["info"], "results": [
                         {"exit": 0, "stdout": "lots of output"}, {"exit": 1}]}])"));
  EXPECT_TRUE(_check_docker_daemon());
  EXPECT_FALSE(_check_docker_daemon());
}

TEST_F(StackControl, FlushRetriesUntilRedisAnswers) {
  test::install_fake(bin(), "docker", nlohmann::json::parse(R"([{"when": ["FLUSHALL"],
      "results": [{"exit": 1}, {"exit": 1}, {"exit": 0}]}])"));
  start_stack();
  testing::internal::CaptureStdout();
  _flush_stale_session_cache(10, 0.01);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(docker_calls(), 1u + 3u);
}

TEST_F(StackControl, FlushGivesUpWithOneWarning) {
  constexpr const char* kWarning =
      "Warning: could not clear stale session cache in Redis — a previous session's job records "
      "may still be present.\n";
  // Redis never answers while the stack is down.
  test::install_fake(bin(), "docker");
  testing::internal::CaptureStdout();
  _flush_stale_session_cache(4, 0.01);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kWarning);
  EXPECT_EQ(docker_calls(), 4u);

  testing::internal::CaptureStdout();
  _flush_stale_session_cache(0, 0.01);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kWarning);
  EXPECT_EQ(docker_calls(), 4u);
}

// Before anything is registered: Compose must be there (Debian's docker.io has no
// plugin). A missing Compose file is tested end to end, with a copied executable.
TEST_F(StackControl, ComposeCheck) {
  test::install_fake(bin(), "docker");
  EXPECT_NO_THROW(_check_compose_available());
  std::ofstream(bin() / "docker.json") << R"({"compose_plugin": false})";
  testing::internal::CaptureStdout();
  EXPECT_THROW(_check_compose_available(), Exit);
  EXPECT_THAT(testing::internal::GetCapturedStdout(),
              testing::StartsWith("Docker Compose is not available"));
}

TEST_F(StackControl, StackEnvironmentOverridesTheThreeVariablesOnly) {
  env_.set("TARVO_ENV", "from-the-user");
  env_.set("TARVO_CLUSTER_ID", "stale");
  env_.set("SOMETHING_ELSE", "kept");
  core::Settings settings;
  settings.URL_API = "https://platform.example/api";
  settings.TARVO_ENV = "staging";
  const auto environment = _stack_environment("c-9", settings);
  EXPECT_EQ(environment.at("TARVO_PLATFORM_URL"), "https://platform.example/api");
  EXPECT_EQ(environment.at("TARVO_CLUSTER_ID"), "c-9");
  EXPECT_EQ(environment.at("TARVO_ENV"), "staging");
  EXPECT_EQ(environment.at("SOMETHING_ELSE"), "kept");
  EXPECT_EQ(environment.at("PATH"), bin().string());
}

TEST_F(StackControl, ComposeFileIsTheInstalledDataFile) {
  EXPECT_EQ(COMPOSE_FILE(),
            std::filesystem::path(TARVO_BUILD_DIR) / "share/tarvo/compute/docker-compose.yml");
  EXPECT_TRUE(std::filesystem::exists(COMPOSE_FILE()));
}

}  // namespace
}  // namespace tarvo::cli::compute
