// info and mappings given an address: against the reference simulator served by
// `tarvo sim run` on a free loopback port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/fd.hpp"
#include "harness.hpp"
#include "sim/serializer_json.hpp"
#include "sim_run_available.hpp"

extern char** environ;

namespace tarvo::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

int free_port() {
  core::Fd socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
  core::Fd socket(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// `tarvo sim run` in the background for the life of the object; Ctrl-C ends it.
class ServedSimulator {
 public:
  explicit ServedSimulator(const std::string& protocol = "grpc") : port_(free_port()) {
    const std::string tarvo = tarvo_binary().string();
    const std::string path = std::string(TARVO_BUILD_DIR) + "/examples/cpp-sim";
    const std::string port = std::to_string(port_);
    std::vector<std::string> args = {tarvo,       "sim",    "run", path,         "--host",
                                     "127.0.0.1", "--port", port,  "--protocol", protocol};
    std::vector<char*> argv;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int failed = posix_spawn(&pid_, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (failed) throw std::runtime_error("cannot start tarvo sim run");
    for (int attempt = 0; attempt < 200 && !accepts_connections(port_); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ~ServedSimulator() {
    ::kill(pid_, SIGINT);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ServedSimulator(const ServedSimulator&) = delete;
  ServedSimulator& operator=(const ServedSimulator&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  pid_t pid_ = -1;
};

TEST(SimQuery, InfoReportsTheSpacesOfTheSimulatorAtAnAddress) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  const ServedSimulator simulator;
  const Session session;
  const auto info = session.run({"sim", "info", "--address", simulator.address()});
  ASSERT_EQ(info.exit_code, 0) << info.err;
  EXPECT_THAT(info.out, StartsWith("\n"
                                   "    Simulator Info\n"
                                   "    - Address:  " +
                                   simulator.address() +
                                   "\n"
                                   "    - Env ID:  \n"
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
}

TEST(SimQuery, MappingsPrintTheJsonAsItIs) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  const ServedSimulator simulator;
  const Session session;
  const auto mapped = session.run({"sim", "mappings", "--address", simulator.address()});
  ASSERT_EQ(mapped.exit_code, 0) << mapped.err;
  const auto result = nlohmann::ordered_json::parse(mapped.out);
  EXPECT_EQ(result["action_space"]["space"], "Discrete(2)");
  EXPECT_EQ(result["sensor_space"]["mappings"].size(), 4u);
  // Square brackets in names and bounds are text, not console markup.
  EXPECT_THAT(mapped.out, HasSubstr("\"value[0]\""));
  EXPECT_EQ(mapped.out, tarvo::sim::serialize(result) + "\n");
}

TEST(SimQuery, EveryCommandReadsTheSameAddressForms) {
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  const ServedSimulator http("http");
  const ServedSimulator grpc("grpc");
  const Session session;
  for (const auto& address : {"http://" + http.address(), "grpc://" + grpc.address()}) {
    SCOPED_TRACE(address);
    const auto info = session.run({"sim", "info", "--address", address});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_THAT(info.out, HasSubstr("- Address:  " + address + "\n"));
    EXPECT_THAT(info.out, HasSubstr("- Is Channel Available?  True\n"));
    EXPECT_THAT(info.out, HasSubstr("- Action Space:  Discrete(2)\n"));
    const auto mapped = session.run({"sim", "mappings", "--address", address});
    ASSERT_EQ(mapped.exit_code, 0) << mapped.err;
    EXPECT_EQ(nlohmann::ordered_json::parse(mapped.out)["action_space"]["space"], "Discrete(2)");
    const auto validated = session.run({"sim", "validate", "--address", address});
    EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;
    const auto measured = session.run({"sim", "benchmark", "-a", address, "-s", "20"});
    EXPECT_EQ(measured.exit_code, 0) << measured.err;
    EXPECT_THAT(measured.out, StartsWith("Samples per second: "));
    EXPECT_EQ(measured.err, "");  // no progress bar outside a terminal
  }
  // A plain host:port takes validate's --protocol.
  const auto plain = session.run({"sim", "validate", "-a", http.address(), "-p", "http"});
  EXPECT_EQ(plain.exit_code, 0) << plain.out << plain.err;
}

TEST(SimQuery, AnAddressOutsideTheFormsIsAnErrorNamingThem) {
  const Session session;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"sim", "mappings", "--address", "localhost"},
                                             {"sim", "info", "--address", "https://localhost:1337"},
                                             {"sim", "validate", "-a", "ftp://localhost:1337"},
                                             {"sim", "benchmark", "-a", "http://localhost"}}) {
    const auto result = session.run(args);
    EXPECT_EQ(result.exit_code, 1) << args[1];
    EXPECT_THAT(result.err, HasSubstr("host:port, grpc://host:port or http://host:port"))
        << args[1];
  }
}

}  // namespace
}  // namespace tarvo::test
