// What keeps one client from exhausting the host a simulator server runs on: the cap
// on sessions (each a process), bodies refused before they are read, a ceiling on the
// bodies held at once, and a simulator's standard error logged within bounds.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/simulator.grpc.pb.h"
#include "sim/stderr_lines.hpp"
#include "sim_raw_http.hpp"

namespace {

using nlohmann::ordered_json;
using tarvo::sim::SessionError;
using tarvo::test::post;
using tarvo::test::Raw;
using tarvo::test::RawServed;
using tarvo::test::ScratchSim;
using tarvo::test::ServedSimulator;

// A simulator answering every line with null, in a scratch folder of its own so that
// its processes can be counted.
class CountedSim {
 public:
  CountedSim()
      : sim_(R"({"name": "counted", "description": "", "kind": "sim", "version": "1",
                 "command": ["sh", "sim.sh"]})") {
    sim_.write("sim.sh", "while read -r line; do echo '{\"result\": null}'; done\n");
  }
  std::string path() const { return sim_.path(); }
  std::size_t processes() const { return tarvo::test::processes_in(path()); }
  tarvo::sim::SessionSetup setup(std::size_t max_sessions) const {
    auto setup = RawServed::reference();
    setup.dir = path();
    setup.command = {"sh", "sim.sh"};
    setup.slots = std::make_shared<tarvo::sim::SessionSlots>(max_sessions);
    return setup;
  }

 private:
  ScratchSim sim_;
};

class SimExhaustion : public testing::TestWithParam<std::string> {};

TEST_P(SimExhaustion, SessionsBeyondTheCapAreRefusedAndNothingStarts) {
  CountedSim sim;
  tarvo::sim::ServerOptions options = ServedSimulator::options_with(std::chrono::seconds(5));
  options.max_sessions = 2;
  ServedSimulator served(sim.path(), GetParam(), options);
  auto first = served.client();
  auto second = served.client();
  first->call("make");
  second->call("make");
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto third = served.client();
    try {
      third->call("make");
      ADD_FAILURE() << "a session beyond the cap was served";
    } catch (const SessionError& error) {
      EXPECT_NE(std::string(error.what()).find("already runs 2 sessions"), std::string::npos)
          << error.what();
    }
  }
  EXPECT_EQ(sim.processes(), 2u);
  // Ending a session frees its place.
  first.reset();
  std::unique_ptr<tarvo::sim::Client> next;
  for (int attempt = 0; attempt < 500; ++attempt) {  // the stream's end reaches the server first
    next = served.client();
    try {
      next->call("make");
      break;
    } catch (const SessionError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_NO_THROW(next->call("other"));
  EXPECT_NO_THROW(second->call("other"));
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimExhaustion, testing::Values("grpc", "http"));

TEST(SimGrpcExhaustion, AStreamBeyondTheCapEndsWithResourceExhausted) {
  CountedSim sim;
  auto options = ServedSimulator::options_with(std::chrono::seconds(5));
  options.max_sessions = 1;
  ServedSimulator served(sim.path(), "grpc", options);
  auto held = served.client();
  held->call("make");
  auto stub = tarvo::sim::Simulator::NewStub(
      grpc::CreateChannel(served.address(), grpc::InsecureChannelCredentials()));
  grpc::ClientContext context;
  auto stream = stub->Session(&context);
  tarvo::sim::Call call;
  call.set_method("make");
  stream->Write(call);
  tarvo::sim::Reply reply;
  EXPECT_FALSE(stream->Read(&reply));
  auto status = stream->Finish();
  EXPECT_EQ(status.error_code(), grpc::StatusCode::RESOURCE_EXHAUSTED) << status.error_message();
  EXPECT_EQ(sim.processes(), 1u);
}

TEST(SimHttpExhaustion, TheCapAnswers503AndKeepsTheConnection) {
  CountedSim sim;
  RawServed served({}, sim.setup(3));
  Raw raw(served.port());
  std::vector<std::string> sessions;
  for (int i = 0; i < 3; ++i)
    sessions.push_back(tarvo::test::open_session(raw));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(raw.send(post("/sessions", "{}")));
    auto refused = raw.reply();
    EXPECT_EQ(refused.status, 503);
    EXPECT_TRUE(refused.keep_alive);
    EXPECT_TRUE(ordered_json::parse(refused.body)["error"].is_string()) << refused.body;
  }
  EXPECT_EQ(sim.processes(), 3u);
  ASSERT_TRUE(raw.send("DELETE " + sessions[0] + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(raw.reply().status, 204);
  tarvo::test::open_session(raw);
}

TEST(SimHttpExhaustion, ABodyNobodyWouldTakeIsNeverRead) {
  RawServed served;
  // Heads announcing 60 MiB, and not a byte of the bodies sent: the answers come from
  // the heads alone, and the connections close (their bodies unread).
  const std::string length = "Content-Length: " + std::to_string(60 << 20) + "\r\n";
  const std::pair<std::string, int> requests[] = {
      {"POST /sessions/0123abcd/step HTTP/1.1\r\n" + length + "\r\n", 404},
      {"POST /elsewhere HTTP/1.1\r\n" + length + "\r\n", 404},
      {"PUT /sessions HTTP/1.1\r\n" + length + "\r\n", 405},
      {"POST /sessions HTTP/1.1\r\n" + length + "\r\n", 413},
  };
  for (const auto& [request, status] : requests) {
    Raw raw(served.port());
    ASSERT_TRUE(raw.send(request));
    auto reply = raw.reply();
    EXPECT_EQ(reply.status, status) << request;
    EXPECT_FALSE(reply.keep_alive) << request;
    EXPECT_TRUE(raw.closed()) << request;
  }
}

TEST(SimHttpExhaustion, BodiesHeldAtOnceHaveACeiling) {
  tarvo::sim::HttpLimits limits;
  limits.max_buffered = 1 << 20;
  RawServed served(limits);
  Raw owner(served.port());
  const std::string session = tarvo::test::open_session(owner);
  ASSERT_TRUE(owner.send(post(session + "/make", "{}")));
  ASSERT_EQ(owner.reply().status, 200);

  // A step with a padded action: large, yet a valid call.
  const std::string body = R"({"action": 1, "pad": ")" + std::string(700 << 10, 'x') + "\"}";
  auto head = "POST " + session + "/step HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n";
  auto invited = [](Raw& raw) {
    char interim[32] = {};
    const std::string expected(tarvo::sim::http1::kContinue);
    return ::recv(raw.fd(), interim, expected.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(expected.size()) &&
           std::string(interim) == expected;
  };
  // The first body is invited: its room is taken before 100 Continue goes out.
  Raw first(served.port());
  ASSERT_TRUE(first.send(head));
  ASSERT_TRUE(invited(first));
  // No room for a second one: refused before it is sent, connection closed.
  Raw second(served.port());
  ASSERT_TRUE(second.send(head));
  auto refused = second.reply();
  EXPECT_EQ(refused.status, 503);
  EXPECT_TRUE(second.closed());
  // Chunks count as they come.
  Raw chunked(served.port());
  ASSERT_TRUE(chunked.send("POST " + session + "/step HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" +
                           "\r\n80000\r\n" + std::string(0x80000, ' ') + "\r\n"));
  EXPECT_EQ(chunked.reply().status, 503);

  // Once the first body is in and answered, its room is given back.
  ASSERT_TRUE(first.send(body));
  EXPECT_EQ(first.reply().status, 200);
  Raw third(served.port());
  ASSERT_TRUE(third.send(head));
  EXPECT_TRUE(invited(third));
  ASSERT_TRUE(third.send(body));
  EXPECT_EQ(third.reply().status, 200);
}

// StderrLines with a clock of the test's own.
class Logged {
 public:
  tarvo::sim::StderrLines lines{[this](std::string_view line) { logged.emplace_back(line); }};
  std::vector<std::string> logged;
  tarvo::sim::StderrLines::Clock::time_point at(double seconds) const {
    return start_ + std::chrono::duration_cast<tarvo::sim::StderrLines::Clock::duration>(
                        std::chrono::duration<double>(seconds));
  }

 private:
  tarvo::sim::StderrLines::Clock::time_point start_ = tarvo::sim::StderrLines::Clock::now();
};

TEST(SimStderr, LongLinesAreCutAndControlCharactersShown) {
  Logged log;
  log.lines.feed(std::string(10000, 'a'), log.at(0));
  log.lines.feed(std::string(10000, 'b') + "\nshort\r\n\x1b[31mred\x07 \xc2\x9b", log.at(0));
  log.lines.end(log.at(0));
  ASSERT_EQ(log.logged.size(), 3u);
  EXPECT_EQ(log.logged[0], std::string(4096, 'a') + " [line cut: 15904 more bytes not logged]");
  EXPECT_EQ(log.logged[1], "short");
  EXPECT_EQ(log.logged[2], "\\x1b[31mred\\x07 \\x9b");
  EXPECT_EQ(log.lines.last_line(), log.logged[2]);
}

TEST(SimStderr, EightBitControlsAloneAreShownToo) {
  // A lone 0x9b is CSI to a terminal that reads 8-bit controls; text stays as it is.
  Logged log;
  log.lines.feed(
      "\x9b"
      "2J caf\xc3\xa9\n",
      log.at(0));
  ASSERT_EQ(log.logged.size(), 1u);
  EXPECT_EQ(log.logged[0], "\\x9b2J caf\xc3\xa9");
}

TEST(SimStderr, AFloodIsLoggedAtAHundredLinesASecondAndTheRestCounted) {
  Logged log;
  std::string flood;
  for (int i = 0; i < 1000; ++i)
    flood += "line " + std::to_string(i) + "\n";
  log.lines.feed(flood, log.at(0));
  log.lines.feed(flood, log.at(0.5));
  EXPECT_EQ(log.logged.size(), 100u);
  EXPECT_EQ(log.lines.last_line(), "line 999");  // the last words are kept all the same
  EXPECT_TRUE(log.lines.tick(log.at(0.9)));      // the count waits for its second to end
  EXPECT_EQ(log.logged.size(), 100u);
  EXPECT_FALSE(log.lines.tick(log.at(1.0)));
  ASSERT_EQ(log.logged.size(), 101u);
  EXPECT_EQ(log.logged.back(),
            "[1900 lines of standard error not logged: more than 100 lines a second]");
  // The next second starts afresh; a count left at the end is logged there.
  log.lines.feed(flood, log.at(1.5));
  log.lines.end(log.at(1.6));
  EXPECT_EQ(log.logged.size(), 202u);
  EXPECT_EQ(log.logged.back(),
            "[900 lines of standard error not logged: more than 100 lines a second]");
}

}  // namespace
