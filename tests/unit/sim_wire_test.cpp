// The servers' wire contracts as other clients see them: raw HTTP requests, and the
// refusals the relay answers itself without troubling the simulator; and the gRPC
// client against a server that ends a session its own way.
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <latch>

#include "core/http.hpp"
#include "proto/simulator.grpc.pb.h"
#include "sim_test_support.hpp"

namespace {

using nlohmann::ordered_json;
using tarvo::sim::SimulatorError;
using tarvo::test::example_dir;
using tarvo::test::ServedSimulator;

TEST(SimHttpWire, SessionsOverPlainRequests) {
  ServedSimulator served(example_dir("cpp-sim"), "http");
  const std::string base = "http://" + served.address();
  tarvo::core::http::Client http;
  auto opened = http.post_json(base + "/sessions", ordered_json::object());
  ASSERT_EQ(opened.status, 200);
  auto session = base + "/sessions/" + opened.json()["session"].get<std::string>();

  // The simulator's reply line comes back as the body, unchanged.
  auto reset = http.post_json(session + "/reset", ordered_json{{"seed", 1}});
  EXPECT_EQ(reset.status, 200);
  EXPECT_TRUE(reset.json()["result"].contains("observation")) << reset.body;
  auto empty = http.post_json(session + "/action_space", ordered_json::object());
  EXPECT_EQ(empty.json(), ordered_json::parse(R"({"result":{"type":"Discrete","n":2}})"));

  // Arguments that are not an object are refused by the relay; the session goes on.
  tarvo::core::http::Request bad;
  bad.method = "POST";
  bad.url = session + "/step";
  bad.body = "[1]";
  auto refused = http.send(bad);
  EXPECT_EQ(refused.status, 200);
  EXPECT_TRUE(refused.json().contains("error")) << refused.body;
  EXPECT_EQ(http.post_json(session + "/step", ordered_json{{"action", 1}}).status, 200);

  EXPECT_EQ(http.del(session).status, 204);
  EXPECT_EQ(http.post_json(session + "/step", ordered_json{{"action", 1}}).status, 404);
  EXPECT_EQ(http.post_json(base + "/sessions/0123abcd/step", ordered_json::object()).status, 404);
}

TEST(SimHttpWire, AFaultySessionAnswers502AndIsGone) {
  ServedSimulator served(example_dir("broken/crash"), "http");
  const std::string base = "http://" + served.address();
  tarvo::core::http::Client http;
  auto session = base + "/sessions/" +
                 http.post_json(base + "/sessions", ordered_json::object())
                     .json()["session"]
                     .get<std::string>();
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(http.post_json(session + "/step", ordered_json{{"action", 0}}).status, 200);
  auto crashed = http.post_json(session + "/step", ordered_json{{"action", 0}});
  EXPECT_EQ(crashed.status, 502);
  EXPECT_NE(crashed.json()["error"].get<std::string>().find("simulated crash"), std::string::npos);
  EXPECT_EQ(http.post_json(session + "/reset", ordered_json::object()).status, 404);
}

class SimRelay : public testing::TestWithParam<std::string> {};

TEST_P(SimRelay, RefusesMalformedCallsWithoutEndingTheSession) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto client = served.client();
  client->reset(1);
  // A method name that could smuggle text into the request line.
  EXPECT_THROW(client->call("step\",\"x\":\"1"), SimulatorError);
  EXPECT_THROW(client->call("step", "not json"), SimulatorError);
  EXPECT_THROW(client->call("step", "{\"action\": 1"), SimulatorError);
  // Line breaks inside the arguments are whitespace and must not split the request.
  EXPECT_NO_THROW(client->call("step", "{\n\"action\":\n1\n}"));
  EXPECT_NO_THROW(client->step(0));
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimRelay, testing::Values("grpc", "http"));

// Ends every session as soon as it opens, before reading a call, saying why.
class RefusingService final : public tarvo::sim::Simulator::Service {
 public:
  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<tarvo::sim::Reply, tarvo::sim::Call>* stream) override {
    tarvo::sim::Reply reply;
    reply.set_session_error("no simulator today");
    stream->Write(reply);
    ended.count_down();
    return grpc::Status::OK;
  }
  std::latch ended{1};
};

TEST(SimGrpcWire, ASessionEndedBeforeItsFirstCallStillSaysWhy) {
  RefusingService service;
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&service);
  auto server = builder.BuildAndStart();
  ASSERT_TRUE(server);
  auto client = tarvo::sim::create_client("grpc", "", "127.0.0.1", port);
  service.ended.wait();  // the first call goes out on a stream that is over
  try {
    client->call("make");
    ADD_FAILURE() << "the refusal went unnoticed";
  } catch (const tarvo::sim::SessionError& error) {
    EXPECT_STREQ(error.what(), "no simulator today");
  }
  EXPECT_THROW(client->call("step"), tarvo::sim::SessionError);
  server->Shutdown();
}

}  // namespace
