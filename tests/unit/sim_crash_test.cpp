// What must not bring the simulator server down, whatever a client or a simulator
// sends: nesting deep enough to overflow a recursive parser, arguments that are not
// one complete JSON object, messages that break the wire protocols. Each is answered
// on its own, and the server goes on serving.
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_limits.hpp"
#include "proto/simulator.grpc.pb.h"
#include "sim/json_parse.hpp"
#include "sim/json_shape.hpp"
#include "sim_raw_http.hpp"

namespace {

using nlohmann::ordered_json;
using tarvo::sim::SessionError;
using tarvo::sim::SimulatorError;
using tarvo::test::example_dir;
using tarvo::test::ServedSimulator;

std::string nested(std::size_t depth, std::string_view inside = "1") {
  return std::string(depth, '[') + std::string(inside) + std::string(depth, ']');
}

// The message of the error reply a call got.
std::string refusal_of(tarvo::sim::Client& client, std::string_view method, std::string_view args) {
  try {
    client.call(method, args);
  } catch (const SimulatorError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(JsonNesting, TheLimitIsTheLiteralReadersAndStringsDoNotCount) {
  EXPECT_EQ(tarvo::core::kMaxJsonDepth, tarvo::core::kMaxLiteralDepth);
  EXPECT_EQ(tarvo::core::json_too_deep_at(nested(100)), std::string_view::npos);
  EXPECT_EQ(tarvo::core::json_too_deep_at(nested(101)), 100u);
  EXPECT_EQ(tarvo::core::json_too_deep_at("{\"a\":{\"b\":[[1]]}}", 3), 11u);
  // Brackets inside strings, escaped quotes included, are text.
  EXPECT_EQ(tarvo::core::json_too_deep_at(R"(["[[[\"[[[", {"x": "{{{"}])", 2),
            std::string_view::npos);
  EXPECT_EQ(tarvo::core::json_too_deep_message(100),
            "nesting deeper than 100 levels at column 101");

  // The step path's readers refuse what the general ones would recurse through.
  const std::string deep = "{\"a\":" + nested(200000) + "}";
  EXPECT_TRUE(tarvo::sim::json_shape(deep).too_deep);
  EXPECT_FALSE(tarvo::sim::json_shape(deep).valid);
  EXPECT_TRUE(tarvo::sim::json_shape("{\"a\":" + nested(99) + "}").object);
  // Forms the scanner leaves to the full parser are held to the same limit.
  EXPECT_TRUE(tarvo::sim::json_shape("{\"\\u0061\":" + nested(200000) + "}").too_deep);
  EXPECT_TRUE(tarvo::sim::parse_json(deep).is_discarded());
  EXPECT_TRUE(tarvo::sim::parse_json("{\"\\u0061\":" + nested(200000) + "}").is_discarded());
  EXPECT_EQ(tarvo::sim::parse_json(nested(100)).size(), 1u);
  EXPECT_TRUE(tarvo::core::parse_bounded_json(nested(101)).is_discarded());
}

class SimCrash : public testing::TestWithParam<std::string> {};

TEST_P(SimCrash, DeepArgumentsAreRefusedAndTheSessionGoesOn) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto client = served.client();
  // make parses its arguments to merge env_init: the path that used to recurse.
  const std::string deep_make = "{\"env_id\":\"\",\"env_init\":{\"k\":" + nested(200000) + "}}";
  EXPECT_EQ(refusal_of(*client, "make", deep_make),
            "the simulator failed 'make': the arguments of 'make' are nested deeper than 100 "
            "levels");
  EXPECT_EQ(refusal_of(*client, "step", "{\"action\":" + nested(200000) + "}"),
            "the simulator failed 'step': the arguments of 'step' are nested deeper than 100 "
            "levels");
  // At the limit the simulator has its say (this one wants an integer action).
  EXPECT_EQ(refusal_of(*client, "step", "{\"action\":" + nested(99) + "}").find("nested deeper"),
            std::string::npos);
  client->init();
  client->reset(1);
  EXPECT_NO_THROW(client->step(1));
  EXPECT_NO_THROW(served.client()->reset(2));
}

TEST_P(SimCrash, OnlyOneCompleteJsonObjectReachesTheSimulator) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto client = served.client();
  client->reset(1);
  const std::string refused =
      "the simulator failed 'step': the arguments of 'step' are not a JSON object";
  // Each would otherwise reach the simulator, which answers such lines in its own words.
  for (const std::string& args : std::vector<std::string>{
           R"({"action": 1)",                   // unterminated
           R"({"action": 1}})",                 // one brace too many
           R"({"action": 1} {})",               // two values
           R"({"action": 1}x)",                 // something after the value
           R"({"action": 1,})",                 // trailing comma
           R"({"action": NaN})",                // not JSON
           R"({'action': 1})",                  // Python, not JSON
           R"({"action": 01})",                 // leading zero
           "{\"action\": 1, \"s\": \"a\nb\"}",  // a raw line break inside a string
           std::string("{\"action\": 1}\0", 14),
           "[1]",
           "1",
       }) {
    EXPECT_EQ(refusal_of(*client, "step", args), refused) << args;
  }
  // Not UTF-8: over gRPC not even a message (see below); over HTTP refused here.
  if (GetParam() == "http") {
    EXPECT_EQ(refusal_of(*client, "step", "{\"action\": 1, \"s\": \"\xff\"}"), refused);
  }
  EXPECT_NO_THROW(client->step(0));
}

TEST_P(SimCrash, ADeepReplyEndsOnlyItsSession) {
  tarvo::test::ScratchSim sim(R"({"name": "deep", "description": "", "kind": "sim",
                                  "version": "1", "command": ["sh", "deep.sh"]})");
  // Answers "deep" with a result nested 5000 levels, anything else with null.
  sim.write("deep.sh", R"(deep=$(printf '%5000s' | tr ' ' '[')$(printf '%5000s' | tr ' ' ']')
while read -r line; do
  case "$line" in
    *'"deep"'*) echo "{\"result\": $deep}" ;;
    *) echo '{"result": null}' ;;
  esac
done
)");
  ServedSimulator served(sim.path(), GetParam());
  auto client = served.client();
  auto bystander = served.client();
  client->call("make");
  bystander->call("make");
  try {
    client->call("deep");
    ADD_FAILURE() << "a reply nested 5000 deep was relayed";
  } catch (const SessionError& error) {
    EXPECT_NE(std::string(error.what()).find("nested deeper than 100 levels"), std::string::npos)
        << error.what();
  }
  EXPECT_NO_THROW(bystander->call("other"));
  EXPECT_NO_THROW(served.client()->call("make"));
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimCrash, testing::Values("grpc", "http"));

// A Session stream written as raw bytes, so that the test can send what no
// well-behaved client would.
grpc::Status send_raw_call(const std::string& address, const std::string& bytes) {
  auto channel = grpc::CreateChannel(address, grpc::InsecureChannelCredentials());
  grpc::GenericStub stub(channel);
  grpc::ClientContext context;
  grpc::CompletionQueue queue;
  auto call = stub.PrepareCall(&context, "/tarvo.sim.Simulator/Session", &queue);
  void* tag = nullptr;
  bool ok = false;
  auto step = [&](auto&& operation) {
    operation();
    queue.Next(&tag, &ok);
    return ok;
  };
  step([&] { call->StartCall(reinterpret_cast<void*>(1)); });
  grpc::Slice slice(bytes);
  grpc::ByteBuffer buffer(&slice, 1);
  step([&] { call->Write(buffer, reinterpret_cast<void*>(2)); });
  grpc::ByteBuffer reply;
  const bool replied = step([&] { call->Read(&reply, reinterpret_cast<void*>(3)); });
  step([&] { call->WritesDone(reinterpret_cast<void*>(4)); });
  grpc::Status status;
  step([&] { call->Finish(&status, reinterpret_cast<void*>(5)); });
  queue.Shutdown();
  while (queue.Next(&tag, &ok)) {
  }
  if (replied) return grpc::Status(grpc::StatusCode::UNKNOWN, "the server replied");
  return status;
}

TEST(SimGrpcCrash, BrokenMessagesEndTheStreamWithInvalidArgument) {
  ServedSimulator served(example_dir("cpp-sim"), "grpc");
  // Call{method: "step", args: "{}"} with the method's bytes not UTF-8, then garbage.
  const std::string bad_utf8 = std::string("\x0a\x04st\xff\xfe\x12\x02{}", 10);
  const std::string garbage = "\xff\xff\xff\xff\xff\x01";
  const std::string cut_short = "\x0a\x40step";  // a field longer than the message
  for (const auto& bytes : {bad_utf8, garbage, cut_short}) {
    auto status = send_raw_call(served.address(), bytes);
    EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT) << status.error_message();
    EXPECT_NE(status.error_message().find("not a well-formed Call"), std::string::npos)
        << status.error_message();
  }
  // A well-formed one still works, and so do ordinary clients.
  tarvo::sim::Call call;
  call.set_method("action_space");
  EXPECT_EQ(send_raw_call(served.address(), call.SerializeAsString()).error_message(),
            "the server replied");
  EXPECT_NO_THROW(served.client()->reset(1));
}

TEST(SimHttpCrash, BareLineFeedsAndMalformedSessionRequestsAreRefusedAtOnce) {
  tarvo::test::ScratchSim sim(R"({"name": "counted", "description": "", "kind": "sim",
                                  "version": "1", "command": ["sh", "sim.sh"]})");
  sim.write("sim.sh", "while read -r line; do echo '{\"result\": null}'; done\n");
  auto setup = tarvo::test::RawServed::reference();
  setup.dir = sim.path();
  setup.command = {"sh", "sim.sh"};
  tarvo::test::RawServed served({}, setup);
  {
    // Such a head never ends in CR LF CR LF: refused, not waited on until time runs out.
    tarvo::test::Raw raw(served.port());
    ASSERT_TRUE(raw.send("POST /sessions HTTP/1.1\nHost: t\n\n"));
    EXPECT_EQ(raw.reply().status, 400);
    EXPECT_TRUE(raw.closed());
  }
  tarvo::test::Raw raw(served.port());
  for (const std::string& body : std::vector<std::string>{"hello", "[1]", "{\"a\": 1", "{} {}",
                                                          "{\"a\":" + nested(500) + "}"}) {
    ASSERT_TRUE(raw.send(tarvo::test::post("/sessions", body)));
    auto reply = raw.reply();
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(ordered_json::parse(reply.body)["error"],
              "the body of POST /sessions must be empty or a JSON object");
  }
  EXPECT_EQ(tarvo::test::processes_in(sim.path()), 0u);  // nothing was started
  for (std::string body : {"", "{}", " {\"client\": \"x\"} "}) {
    ASSERT_TRUE(raw.send(tarvo::test::post("/sessions", body)));
    EXPECT_EQ(raw.reply().status, 200) << body;
  }
}

}  // namespace
