// `tarvo sim run`: what it refuses before starting, what it serves, and Ctrl-C.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/client.hpp"
#include "sim_support.hpp"

using testing::EndsWith;
using testing::HasSubstr;
using testing::Not;

namespace tarvo::test::sim {
namespace {

constexpr const char* kInterruptLine = "KeyboardInterrupt, Gracefully stopping the server";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// A private copy of the example simulator, so that its processes are ours alone.
fs::path copy_example(const ScratchDir& work) {
  const auto dir = work.path() / "cartpole";
  fs::copy(example("python-sim"), dir, fs::copy_options::recursive);
  return dir;
}

TEST(SimRun, BadPortOrEnvInitFailsBeforeAnythingStarts) {
  Session session;
  // The path does not exist: had anything been built, the error would be about it.
  for (std::string port : {"abc", "12x", "1337.0", "99999999999"}) {
    auto result = session.run({"sim", "run", "missing", "--port", port});
    EXPECT_EQ(result.exit_code, 1) << port;
    EXPECT_EQ(result.err, "Error: invalid port '" + port + "': not a decimal integer\n");
  }
  for (std::string port : {"65536", "-1"}) {
    auto result = session.run({"sim", "run", "missing", "--port", port});
    EXPECT_EQ(result.exit_code, 1) << port;
    EXPECT_EQ(result.err, "Error: port " + port + " is outside 0 to 65535\n");
  }
  const std::pair<std::string, std::string> env_inits[] = {
      {"[1, 2]", "expected a mapping such as {'key': 'value'}, found a list"},
      {"42", "expected a mapping such as {'key': 'value'}, found a number"},
      {"{'a': ", "expected a value, found the end of the text at column 7"},
      {"{'a': 1} {}", "unexpected '{' after the value at column 10"},
      {"{'cmd': __import__('os').system('touch pwned')}",
       "unknown name '__import__' (only True, False, None, true, false and null are allowed) at "
       "column 9"},
      {std::string(5000, '{'), "nesting deeper than 100 levels at column 101"},
      {std::string(5000, '['), "nesting deeper than 100 levels at column 101"},
  };
  for (const auto& [text, message] : env_inits) {
    auto result = session.run({"sim", "run", "missing", "-e", text});
    EXPECT_EQ(result.exit_code, 1) << text;
    EXPECT_EQ(result.err, "Error: invalid --env-init: " + message + "\n") << text;
  }
}

TEST(SimRun, ServesThePathOptionWithTheEnvInitMapping) {
  Session session;
  ScratchDir work;
  const int port = free_port();
  // --path wins over the positional path; -e sets every session's env_init.
  Background server(
      session, work.path(),
      {"sim", "run", "no-such-dir", "--path", example("python-sim").string(), "--host", "127.0.0.1",
       "--port", std::to_string(port), "-e", "{'max_steps': 3, 'gravity': 9.8,}"});
  ASSERT_TRUE(server.wait_for_port(port)) << server.err();

  auto client = tarvo::sim::create_client("grpc", "cartpole", "127.0.0.1", port);
  client->init();
  EXPECT_EQ(tarvo::sim::to_string(client->action_space()), "Discrete(2)");
  client->reset(7);
  EXPECT_EQ(client->step(1).truncated, false);
  EXPECT_EQ(client->step(0).truncated, false);
  EXPECT_EQ(client->step(1).truncated, true);  // max_steps reached the simulator
  client->close();

  // The simulator refuses settings it does not know, and says which.
  auto typo = tarvo::sim::create_client("grpc", "cartpole", "127.0.0.1", port, {{"gravty", 1}});
  try {
    typo->init();
    ADD_FAILURE() << "an unknown env_init key was accepted";
  } catch (const tarvo::sim::SimulatorError& e) {
    EXPECT_THAT(e.what(), HasSubstr("unknown env_init keys: gravty"));
  }
  typo.reset();

  // An empty positional path falls through to the address.
  auto validated =
      session.run({"sim", "validate", "", "--address", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;

  server.interrupt();
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_EQ(count(server.err(), kInterruptLine), 1u) << server.err();
}

TEST(SimRun, ServesOverHttp) {
  Session session;
  ScratchDir work;
  const int port = free_port();
  const std::string address = "127.0.0.1:" + std::to_string(port);
  Background server(session, work.path(),
                    {"sim", "run", example("python-sim").string(), "-h", "127.0.0.1", "--port",
                     std::to_string(port), "-p", "http"});
  ASSERT_TRUE(server.wait_for_port(port)) << server.err();

  auto validated = session.run({"sim", "validate", "--address", address, "-p", "http"});
  EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;
  auto measured = session.run({"sim", "benchmark", "-a", "http://" + address, "-s", "50"});
  EXPECT_EQ(measured.exit_code, 0) << measured.err;
  EXPECT_THAT(measured.out, testing::MatchesRegex("Samples per second: [0-9.e+]+\n"));

  server.interrupt();
  EXPECT_EQ(server.wait(), 0) << server.err();
}

TEST(SimRun, CtrlCStopsTheServerAndEverySimulatorOnce) {
  Session session;
  ScratchDir work;
  const auto dir = copy_example(work);
  const int port = free_port();
  Background server(
      session, work.path(),
      {"sim", "run", dir.string(), "--host", "127.0.0.1", "--port", std::to_string(port)});
  ASSERT_TRUE(server.wait_for_port(port)) << server.err();

  // A session in the middle of an episode: its simulator process is running.
  auto client = tarvo::sim::create_client("grpc", "cartpole", "127.0.0.1", port);
  client->init();
  client->reset(1);
  client->step(1);
  EXPECT_FALSE(processes_in(dir).empty());

  server.interrupt();
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_EQ(count(server.err(), kInterruptLine), 1u) << server.err();
  EXPECT_THAT(server.err(), Not(HasSubstr("Unknown error")));
  EXPECT_THAT(server.err(), Not(HasSubstr("Aborted")));
  EXPECT_TRUE(processes_in(dir).empty());
  EXPECT_FALSE(accepts_connections(port));
}

TEST(SimRun, MaxSessionsCapsTheSessionsServedAtOnce) {
  Session session;
  ScratchDir work;
  auto refused = session.run({"sim", "run", "missing", "--max-sessions", "0"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "Error: invalid --max-sessions 0: at least one session must be allowed\n");

  const int port = free_port();
  Background server(session, work.path(),
                    {"sim", "run", example("python-sim").string(), "--host", "127.0.0.1", "--port",
                     std::to_string(port), "-p", "http", "--max-sessions", "1"});
  ASSERT_TRUE(server.wait_for_port(port)) << server.err();
  auto first = tarvo::sim::create_client("http", "a", "127.0.0.1", port);
  first->init();
  auto second = tarvo::sim::create_client("http", "b", "127.0.0.1", port);
  EXPECT_THROW(second->init(), tarvo::sim::SessionError);
  first->close();
  auto third = tarvo::sim::create_client("http", "c", "127.0.0.1", port);
  EXPECT_NO_THROW(third->init());
  server.interrupt();
  EXPECT_EQ(server.wait(), 0) << server.err();
}

TEST(SimRun, WhatCannotBeServedIsAnError) {
  Session session;
  ScratchDir work;
  auto missing = session.run({"sim", "run", (work.path() / "nothing").string(), "--host",
                              "127.0.0.1", "--port", std::to_string(free_port())});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_THAT(missing.err, testing::StartsWith("Error: "));

  // A port in use: binding fails, which is the user's error, not a serving failure.
  core::Fd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken.get(), 1), 0);
  ::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&address), &length);
  const auto port = std::to_string(ntohs(address.sin_port));
  for (const char* protocol : {"grpc", "http"}) {
    auto in_use = session.run({"sim", "run", example("python-sim").string(), "--host", "127.0.0.1",
                               "--port", port, "--protocol", protocol});
    EXPECT_EQ(in_use.exit_code, 1) << protocol << in_use.err;
    EXPECT_THAT(in_use.err, HasSubstr("Error: ")) << protocol;
    EXPECT_THAT(in_use.err, Not(HasSubstr("Unknown error"))) << protocol;
  }
}

TEST(SimRun, DefaultsServeTheCurrentFolderOnAllAddressesPort1337OverGrpc) {
  std::string reason;
  auto network = PrivateNetwork::enter(reason);
  if (!network) GTEST_SKIP() << reason;
  Session session;
  ScratchDir work;
  const auto dir = copy_example(work);
  Background server(session, dir, {"sim", "run"});
  ASSERT_TRUE(server.wait_for_port(1337)) << server.err();

  // 127.0.0.2 is only reachable when the server listens on every address.
  auto validated = session.run({"sim", "validate", "--address", "127.0.0.2:1337"});
  EXPECT_EQ(validated.exit_code, 0) << validated.out << validated.err;

  server.interrupt();
  EXPECT_EQ(server.wait(), 0) << server.err();
  EXPECT_THAT(server.err(), HasSubstr(kInterruptLine));
}

}  // namespace
}  // namespace tarvo::test::sim
