// Health probes as containers, systemd and orchestrators send them: the standard gRPC
// health service through its own generated client, and GET /healthz over HTTP.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <grpcpp/grpcpp.h>
#include <grpcpp/health_check_service_interface.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/process.hpp"
#include "proto/health.grpc.pb.h"
#include "proto/simulator.grpc.pb.h"
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

// The base image's HEALTHCHECK: the probe, with nothing but python3, against real servers.
tarvo::core::process::Result probe(int port) {
  tarvo::core::process::Options options;
  options.out = tarvo::core::process::Stream::capture;
  options.err = tarvo::core::process::Stream::capture;
  options.input = "";
  return tarvo::core::process::run({"python3", TARVO_SOURCE_DIR "/packaging/health-probe.py",
                                    "127.0.0.1:" + std::to_string(port)},
                                   options);
}

TEST(SimHealth, TheContainerProbeSeesServingOverGrpcAndHttpAndNothingElse) {
  int grpc_port = 0;
  {
    tarvo::test::ServedSimulator served(tarvo::test::example_dir("cpp-sim"), "grpc");
    grpc_port = served.port();
    const auto healthy = probe(grpc_port);
    EXPECT_EQ(healthy.exit_code, 0) << healthy.err;
  }
  const auto gone = probe(grpc_port);
  EXPECT_EQ(gone.exit_code, 1) << gone.err;

  tarvo::test::RawServed http;
  const auto healthy = probe(http.port());
  EXPECT_EQ(healthy.exit_code, 0) << healthy.err;
}

TEST(SimHealth, TheContainerProbeTakesNotServingAsUnhealthy) {
  // A plain gRPC server whose health service says NOT_SERVING (gRPC polls a server
  // with at least one synchronous service: the simulator's, unimplemented, serves).
  grpc::EnableDefaultHealthCheckService(true);
  tarvo::sim::Simulator::Service unimplemented;
  grpc::ServerBuilder builder;
  builder.RegisterService(&unimplemented);
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  const auto server = builder.BuildAndStart();
  ASSERT_TRUE(server && port > 0);
  server->GetHealthCheckService()->SetServingStatus(false);
  const auto unhealthy = probe(port);
  EXPECT_EQ(unhealthy.exit_code, 1);
  EXPECT_EQ(unhealthy.err, "health-probe: the server is not serving\n");
  server->GetHealthCheckService()->SetServingStatus(true);
  EXPECT_EQ(probe(port).exit_code, 0);
  server->Shutdown();
}

}  // namespace
