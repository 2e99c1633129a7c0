// The gRPC half of a client session: one Session stream, one message each way per call.
#include <absl/synchronization/mutex.h>
#include <grpcpp/grpcpp.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/interrupt.hpp"
#include "proto/simulator.grpc.pb.h"
#include "sim/transport.hpp"

namespace tarvo::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Cancels the stream when one call outlasts its limit or the user presses Ctrl-C:
// a blocking stream read has no deadline of its own.
class Watchdog {
 public:
  Watchdog(grpc::ClientContext& context, std::chrono::milliseconds limit)
      : context_(context), limit_(limit), thread_([this](std::stop_token stop) { run(stop); }) {}
  ~Watchdog() {
    thread_.request_stop();
    changed_.notify_all();
  }

  void arm() {
    std::lock_guard lock(mutex_);
    deadline_ = Clock::now() + limit_;
    armed_ = true;
  }
  void disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
  }
  // Why the stream was cancelled, if it was.
  bool timed_out() const {
    std::lock_guard lock(mutex_);
    return timed_out_;
  }

 private:
  void run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      // Short naps keep Ctrl-C prompt without a descriptor of our own.
      changed_.wait_for(lock, std::chrono::milliseconds(100));
      if (stop.stop_requested() || !armed_) continue;
      bool late = Clock::now() > deadline_;
      if (late || core::interrupt::requested()) {
        timed_out_ = late;
        armed_ = false;
        context_.TryCancel();
      }
    }
  }

  grpc::ClientContext& context_;
  std::chrono::milliseconds limit_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point deadline_;
  bool armed_ = false;
  bool timed_out_ = false;
  std::jthread thread_;
};

class GrpcTransport final : public Transport {
 public:
  GrpcTransport(const std::string& address, const ClientOptions& options) : address_(address) {
    grpc::ChannelArguments arguments;
    // Abseil's lock-order bookkeeping costs a few percent of every call; gRPC's locks
    // are not ours to debug.
    absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
    arguments.SetMaxReceiveMessageSize(64 << 20);
    arguments.SetMaxSendMessageSize(64 << 20);
    // Sessions in one process share one connection; a connection per session
    // (GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL) was measured and was no faster.
    channel_ = grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
    stub_ = tarvo::sim::Simulator::NewStub(channel_);
    if (!options.run_id.empty()) context_.AddMetadata("tarvo-run-id", options.run_id);
    if (!options.sim_id.empty()) context_.AddMetadata("tarvo-sim-id", options.sim_id);
    if (options.call_timeout.count() > 0)
      watchdog_ = std::make_unique<Watchdog>(context_, options.call_timeout);
    stream_ = stub_->Session(&context_);
  }
  ~GrpcTransport() override { finish(); }

  std::string_view call(std::string_view method, std::string_view args) override {
    if (!stream_) throw SessionError("the session with " + address_ + " is over");
    call_.mutable_method()->assign(method.data(), method.size());
    call_.mutable_args()->assign(args.data(), args.size());
    if (watchdog_) watchdog_->arm();
    bool wrote = stream_->Write(call_);
    // Read even when the write failed: a server that ended the session before taking
    // the call has still said why, and Finish would wait for that message forever.
    bool read = stream_->Read(&reply_);
    if (watchdog_) watchdog_->disarm();
    if (!read) fail();
    if (!reply_.session_error().empty()) {
      auto message = reply_.session_error();
      finish();
      throw SessionError(message);
    }
    if (!wrote) fail();
    return reply_.line();
  }

  void finish() override {
    if (!stream_) return;
    stream_->WritesDone();
    // Drain what the server still sends so that Finish does not wait on it.
    context_.TryCancel();
    stream_->Finish();
    stream_.reset();
    watchdog_.reset();
  }

 private:
  [[noreturn]] void fail() {
    bool timed_out = watchdog_ && watchdog_->timed_out();
    auto status = stream_->Finish();
    stream_.reset();
    watchdog_.reset();
    core::interrupt::check();
    if (timed_out)
      throw SessionError("no reply from the simulator server at " + address_ + " in time");
    if (status.error_code() == grpc::StatusCode::UNAVAILABLE)
      throw SessionError("cannot reach the simulator server at " + address_ + ": " +
                         status.error_message());
    if (status.ok())
      throw SessionError("the simulator server at " + address_ + " ended the session");
    throw SessionError("the session with " + address_ + " failed: " + status.error_message());
  }

  std::string address_;
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<tarvo::sim::Simulator::Stub> stub_;
  grpc::ClientContext context_;
  std::unique_ptr<Watchdog> watchdog_;
  std::unique_ptr<grpc::ClientReaderWriter<tarvo::sim::Call, tarvo::sim::Reply>> stream_;
  tarvo::sim::Call call_;
  tarvo::sim::Reply reply_;
};

}  // namespace

std::unique_ptr<Transport> make_grpc_transport(const std::string& address,
                                               const ClientOptions& options) {
  return std::make_unique<GrpcTransport>(address, options);
}

}  // namespace tarvo::sim
