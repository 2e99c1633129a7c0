// Health probes as containers, systemd and orchestrators send them: the standard gRPC
// health service through its own generated client, and GET /healthz over HTTP.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "grpc/health/v1/health.grpc.pb.h"
#include "sim_raw_http.hpp"
#include "sim_test_support.hpp"

namespace {

using grpc::health::v1::Health;
using grpc::health::v1::HealthCheckRequest;
using grpc::health::v1::HealthCheckResponse;
using namespace std::chrono_literals;

HealthCheckRequest asking_for(const std::string& service) {
  HealthCheckRequest request;
  request.set_service(service);
  return request;
}

void bound(grpc::ClientContext& context) {
  context.set_deadline(std::chrono::system_clock::now() + 20s);
}

TEST(SimHealth, GrpcServersAnswerTheStandardHealthServiceUntilTheyStop) {
  auto served =
      std::make_unique<tarvo::test::ServedSimulator>(tarvo::test::example_dir("cpp-sim"), "grpc");
  auto health =
      Health::NewStub(grpc::CreateChannel(served->address(), grpc::InsecureChannelCredentials()));
  for (const std::string service : {"", "tarvo.sim.Simulator"}) {
    grpc::ClientContext context;
    bound(context);
    HealthCheckResponse response;
    const auto status = health->Check(&context, asking_for(service), &response);
    ASSERT_TRUE(status.ok()) << "'" << service << "': " << status.error_message();
    EXPECT_EQ(response.status(), HealthCheckResponse::SERVING) << "'" << service << "'";
  }
  {
    grpc::ClientContext context;
    bound(context);
    HealthCheckResponse response;
    EXPECT_EQ(health->Check(&context, asking_for("no.such.Service"), &response).error_code(),
              grpc::StatusCode::NOT_FOUND);
  }

  // A watcher hears SERVING at once, and NOT_SERVING once the server stops.
  grpc::ClientContext watching;
  bound(watching);
  auto watch = health->Watch(&watching, asking_for(""));
  HealthCheckResponse update;
  ASSERT_TRUE(watch->Read(&update));
  EXPECT_EQ(update.status(), HealthCheckResponse::SERVING);
  std::thread stopping([&served] { served.reset(); });
  bool heard_not_serving = false;
  while (!heard_not_serving && watch->Read(&update))
    heard_not_serving = update.status() == HealthCheckResponse::NOT_SERVING;
  watching.TryCancel();
  watch->Finish();
  stopping.join();
  EXPECT_TRUE(heard_not_serving);
}

TEST(SimHealth, HttpServersAnswerHealthz) {
  tarvo::test::RawServed served;
  tarvo::test::Raw raw(served.port());
  for (const std::string target : {"/healthz", "/healthz?probe=1"}) {
    ASSERT_TRUE(raw.send("GET " + target + " HTTP/1.1\r\nHost: t\r\n\r\n"));
    const auto reply = raw.reply();
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(nlohmann::json::parse(reply.body), nlohmann::json::parse(R"({"status":"SERVING"})"));
    EXPECT_TRUE(reply.keep_alive);
  }
  ASSERT_TRUE(raw.send(tarvo::test::post("/healthz", "{}")));
  EXPECT_EQ(raw.reply().status, 405);
}

}  // namespace
