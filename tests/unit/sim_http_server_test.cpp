// The HTTP front end as a raw socket sees it: keep-alive and pipelining, closing,
// refusals, 100-continue, the connection limits, and stop() with connections open.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/fd.hpp"
#include "core/tcp.hpp"
#include "sim/http_message.hpp"
#include "sim/http_server.hpp"
#include "sim_raw_http.hpp"

namespace {

namespace http1 = tarvo::sim::http1;
namespace tcp = tarvo::core::tcp;
using namespace std::chrono_literals;
using tarvo::core::Fd;
using tarvo::test::open_session;
using tarvo::test::post;
using tarvo::test::Raw;
using tarvo::test::Reply;
using Served = tarvo::test::RawServed;

TEST(SimHttpServer, KeepsAliveAndAnswersPipelinedRequestsInOrder) {
  Served served;
  Raw raw(served.port());
  auto session = open_session(raw);
  // Three requests in one packet.
  ASSERT_TRUE(raw.send(post(session + "/make", R"({"env_id": "", "env_init": {}})") +
                       post(session + "/reset", R"({"seed": 1})") +
                       post(session + "/action_space", "{}")));
  auto make = raw.reply();
  auto reset = raw.reply();
  auto space = raw.reply();
  EXPECT_NE(make.body.find("result"), std::string::npos) << make.body;
  EXPECT_NE(reset.body.find("observation"), std::string::npos) << reset.body;
  EXPECT_EQ(nlohmann::json::parse(space.body),
            nlohmann::json::parse(R"({"result":{"type":"Discrete","n":2}})"));
  EXPECT_TRUE(space.keep_alive);
  // A chunked body is read whole.
  ASSERT_TRUE(raw.send("POST " + session + "/step HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                       "5\r\n{\"act\r\n8\r\nion\": 1}\r\n0\r\n\r\n"));
  EXPECT_NE(raw.reply().body.find("reward"), std::string::npos);
  ASSERT_TRUE(raw.send("DELETE " + session + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(raw.reply().status, 204);
  ASSERT_TRUE(raw.send(post(session + "/step", R"({"action": 1})")));
  EXPECT_EQ(raw.reply().status, 404);
}

TEST(SimHttpServer, ClosesTheConnectionWhenTheClientAsks) {
  Served served;
  {
    Raw raw(served.port());
    ASSERT_TRUE(raw.send(post("/sessions", "{}", "Connection: close\r\n")));
    auto reply = raw.reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_FALSE(reply.keep_alive);
    EXPECT_TRUE(raw.closed());
  }
  {
    Raw raw(served.port());
    ASSERT_TRUE(raw.send("DELETE /sessions/0123 HTTP/1.0\r\n\r\n"));
    EXPECT_FALSE(raw.reply().keep_alive);
    EXPECT_TRUE(raw.closed());
  }
  // An HTTP/1.0 client that asks to keep the connection is told so, and can go on.
  Raw raw(served.port());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(raw.send("DELETE /sessions/0123 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
    auto reply = raw.reply();
    EXPECT_EQ(reply.status, 204);
    EXPECT_TRUE(reply.keep_alive);
  }
}

TEST(SimHttpServer, RefusesUnknownRoutesMethodsAndBadRequests) {
  Served served;
  Raw raw(served.port());
  auto session = open_session(raw);
  struct Refused {
    std::string request;
    int status;
    bool keep_alive;  // a refused request's body is not read: its connection closes
  };
  const Refused refused[] = {
      {"GET /sessions HTTP/1.1\r\n\r\n", 405, true},
      {"GET /metrics HTTP/1.1\r\n\r\n", 404, true},
      {"GET / HTTP/1.1\r\n\r\n", 404, true},
      {"PUT " + session + " HTTP/1.1\r\n\r\n", 405, true},
      {"GET " + session + "/step HTTP/1.1\r\n\r\n", 405, true},
      {post("/sessions/XYZ/step", "{}"), 404, false},
      {post("/sessions/0123abcd/step", "{}"), 404, false},
      {post(session + "/", "{}"), 404, false},
      {post(session + "/a/b", "{}"), 404, false},
      {post(session + "/st%zzep", "{}"), 400, true},
  };
  for (const auto& [request, status, keep_alive] : refused) {
    Raw each(served.port());
    ASSERT_TRUE(each.send(request));
    auto reply = each.reply();
    EXPECT_EQ(reply.status, status) << request;
    EXPECT_EQ(reply.keep_alive, keep_alive) << request;
    if (!keep_alive) {
      EXPECT_TRUE(each.closed()) << request;
    }
    EXPECT_TRUE(nlohmann::json::parse(reply.body).contains("error")) << reply.body;
  }
  // A reply to HEAD is a head alone: the next reply is not mistaken for its body.
  Raw head_only(served.port());
  ASSERT_TRUE(head_only.send("HEAD /sessions HTTP/1.1\r\n\r\nGET /sessions HTTP/1.1\r\n\r\n"));
  std::string bytes;
  char chunk[512];
  for (ssize_t got; bytes.find("}") == std::string::npos &&
                    (got = ::recv(head_only.fd(), chunk, sizeof chunk, 0)) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(got));
  EXPECT_TRUE(bytes.starts_with("HTTP/1.1 405 ")) << bytes;
  EXPECT_NE(bytes.find("\r\n\r\nHTTP/1.1 405 "), std::string::npos) << bytes;
  // The session took no harm; an escaped method name arrives whole.
  ASSERT_TRUE(raw.send(post(session + "/%72%65set", "{}")));
  EXPECT_NE(raw.reply().body.find("observation"), std::string::npos);

  // A request that breaks the framing rules is answered, then the connection closes.
  for (const auto& [request, status] :
       {std::pair<std::string, int>{post(session + "/step", "", "Content-Length: x\r\n"), 400},
        {"POST " + session + "/step HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
        {"POST /sessions HTTP/3\r\n\r\n", 505}}) {
    Raw bad(served.port());
    ASSERT_TRUE(bad.send(request));
    auto reply = bad.reply();
    EXPECT_EQ(reply.status, status) << request;
    EXPECT_FALSE(reply.keep_alive);
    EXPECT_TRUE(bad.closed());
  }
}

TEST(SimHttpServer, AnswersExpectContinueBeforeTheBodyIsSent) {
  Served served;
  Raw raw(served.port());
  ASSERT_TRUE(
      raw.send("POST /sessions HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n"));
  EXPECT_EQ(raw.reply().status, 100);
  ASSERT_TRUE(raw.send("{}"));
  EXPECT_EQ(raw.reply().status, 200);
  // Too large to be taken: refused at once, without inviting the body.
  ASSERT_TRUE(raw.send(
      "POST /sessions HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 100000000\r\n\r\n"));
  auto reply = raw.reply();
  EXPECT_EQ(reply.status, 413);
  EXPECT_TRUE(raw.closed());
}

TEST(SimHttpServer, StopEndsIdleAndHalfSentConnectionsAtOnce) {
  // Connections left open would hold stop() for ten minutes if it waited for them.
  tarvo::sim::HttpLimits limits;
  limits.idle = 10min;
  limits.head = 10min;
  auto served = std::make_unique<Served>(limits);
  Raw idle(served->port());
  open_session(idle);
  Raw half(served->port());
  ASSERT_TRUE(half.send("POST /sessions HTTP/1.1\r\nContent-"));
  const int port = served->port();
  served->stop();
  EXPECT_TRUE(idle.closed());
  EXPECT_TRUE(half.closed());
  EXPECT_THROW(Raw late(port), std::runtime_error);
  served.reset();
}

TEST(SimHttpServer, ClosesSilentAndTricklingConnections) {
  tarvo::sim::HttpLimits limits;
  limits.idle = 300ms;
  limits.head = 300ms;
  Served served(limits);
  Raw silent(served.port());
  open_session(silent);
  EXPECT_TRUE(silent.closed());

  // One byte at a time, each well within the time-out: the head as a whole is too slow.
  Raw trickle(served.port());
  const std::string head = "POST /sessions HTTP/1.1\r\nX-Filler: " + std::string(1000, 'x');
  bool closed = false;
  for (char c : head) {
    std::this_thread::sleep_for(20ms);
    pollfd fd{trickle.fd(), POLLIN, 0};
    if (!trickle.send(std::string_view(&c, 1)) || ::poll(&fd, 1, 0) == 1) {
      closed = true;
      break;
    }
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(trickle.closed());
}

TEST(SimHttpServer, ConnectionsBeyondTheLimitAreTurnedAway) {
  tarvo::sim::HttpLimits limits;
  limits.max_connections = 2;
  Served served(limits);
  auto first = std::make_unique<Raw>(served.port());
  Raw second(served.port());
  open_session(*first);
  open_session(second);
  Raw third(served.port());
  EXPECT_EQ(third.reply().status, 503);
  // A place comes free once a connection ends.
  first.reset();
  int status = 503;
  for (int attempt = 0; attempt < 200 && status == 503; ++attempt) {
    std::this_thread::sleep_for(10ms);
    Raw next(served.port());
    try {
      if (next.send(post("/sessions", "{}"))) status = next.reply().status;
    } catch (const http1::ConnectionLost&) {
      // Turned away before the request was read.
    }
  }
  EXPECT_EQ(status, 200);
}

}  // namespace
