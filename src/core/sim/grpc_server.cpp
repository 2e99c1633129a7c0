// The gRPC front end: one Session stream per simulator process, served by gRPC's
// synchronous server so that each stream's calls run on one thread, hand-off free.
#include <absl/synchronization/mutex.h>
#include <grpcpp/grpcpp.h>

#include <mutex>
#include <optional>
#include <stdexcept>

#include "core/interrupt.hpp"
#include "core/sim/client.hpp"
#include "core/sim/log.hpp"
#include "core/sim/serving.hpp"
#include "proto/simulator.grpc.pb.h"

namespace tarvo::core::sim {

namespace {

class Service final : public tarvo::sim::Simulator::Service {
 public:
  explicit Service(const SessionSetup& setup) : setup_(setup) {}

  grpc::Status Session(
      grpc::ServerContext*,
      grpc::ServerReaderWriter<tarvo::sim::Reply, tarvo::sim::Call>* stream) override {
    tarvo::sim::Reply reply;
    std::optional<sim::Session> session;
    try {
      session.emplace(setup_);
    } catch (const std::exception& error) {
      log_info(setup_.log_name, error.what());
      reply.set_session_error(error.what());
      stream->Write(reply);
      return grpc::Status::OK;
    }
    tarvo::sim::Call call;
    while (stream->Read(&call)) {
      try {
        auto line = session->call(call.method(), call.args());
        reply.mutable_line()->assign(line.data(), line.size());
      } catch (const std::exception& error) {
        log_info(setup_.log_name, std::string("session ended: ") + error.what());
        reply.clear_line();
        reply.set_session_error(error.what());
        stream->Write(reply);
        return grpc::Status::OK;
      }
      if (!stream->Write(reply)) break;
    }
    return grpc::Status::OK;
  }

 private:
  const SessionSetup& setup_;
};

class GrpcServer final : public Server {
 public:
  GrpcServer(SessionSetup setup, std::string host, int port)
      : setup_(std::move(setup)), host_(std::move(host)), port_(port), service_(setup_) {
    setup_.cancel_fd = stop_.fd();
  }
  ~GrpcServer() override { stop(); }

  void listen() override {
    std::lock_guard lock(mutex_);
    if (server_) return;
    if (stopped_) throw std::runtime_error("the simulator server was stopped");
    // Abseil's lock-order bookkeeping costs a few percent of every step; gRPC's locks
    // are not ours to debug.
    absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
    grpc::ServerBuilder builder;
    int bound = 0;
    auto address = listen_address(host_, port_);
    builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &bound);
    builder.RegisterService(&service_);
    // A second server on a taken port must fail, not share it.
    builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
    // Large observations (images) must not hit the 4 MB default.
    builder.SetMaxReceiveMessageSize(64 << 20);
    builder.SetMaxSendMessageSize(64 << 20);
    // Poller and queue counts (NUM_CQS, MIN/MAX_POLLERS) and GRPC_ARG_MINIMAL_STACK were
    // measured: no change in steps per second. A poller thread still reads each call and
    // wakes the stream's thread, whatever the counts.
    server_ = builder.BuildAndStart();
    if (!server_ || bound == 0)
      throw std::runtime_error("cannot serve gRPC on " + address +
                               " (address in use or not available)");
    port_ = bound;
    (setup_.announce ? log_info : log_debug)(
        setup_.log_name, "serving over gRPC on " + listen_address(host_, port_));
  }

  void start() override {
    listen();
    bool interrupted = wait_for_stop_or_interrupt(stop_);
    stop();
    if (interrupted) throw Interrupted{};
  }

  void stop() override {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    stop_.raise();  // ends every wait on a simulator
    if (server_) {
      server_->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
      server_->Wait();
    }
  }

  int port() const override {
    std::lock_guard lock(mutex_);
    return port_;
  }

 private:
  SessionSetup setup_;
  std::string host_;
  int port_;
  StopFlag stop_;
  Service service_;
  mutable std::mutex mutex_;
  std::unique_ptr<grpc::Server> server_;
  bool stopped_ = false;
};

}  // namespace

std::unique_ptr<Server> make_grpc_server(SessionSetup setup, std::string host, int port) {
  return std::make_unique<GrpcServer>(std::move(setup), std::move(host), port);
}

}  // namespace tarvo::core::sim
