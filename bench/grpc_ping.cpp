// The gRPC ping-pong clients.
//   sync:     Write and Read on the blocking stream, each waiting on the call's own queue
//   async:    the write and the read posted together, both waited for on a completion
//             queue that the calling thread polls itself
//   callback: a reactor; the calling thread waits until gRPC's threads report both done
#include "grpc_ping.hpp"

#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "measure.hpp"
#include "proto/simulator.grpc.pb.h"

namespace tarvo::bench {

namespace {

using tarvo::sim::Call;
using tarvo::sim::Reply;

std::shared_ptr<grpc::Channel> open_channel(const GrpcVariant& variant,
                                            const std::string& address) {
  // The limits tarvo's client sets, so that both share the same connection rules.
  grpc::ChannelArguments arguments;
  arguments.SetMaxReceiveMessageSize(64 << 20);
  arguments.SetMaxSendMessageSize(64 << 20);
  apply_grpc_tunings(variant, arguments);
  return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
}

Call step_call() {
  Call call;
  call.set_method("step");
  call.set_args(kStepArgs);
  return call;
}

[[noreturn]] void broken() {
  throw std::runtime_error("the gRPC echo stream broke");
}

class SyncPing final : public GrpcPing {
 public:
  SyncPing(const GrpcVariant& variant, const std::string& address)
      : stub_(tarvo::sim::Simulator::NewStub(open_channel(variant, address))),
        stream_(stub_->Session(&context_)) {}
  ~SyncPing() override {
    stream_->WritesDone();
    stream_->Finish();
  }
  void round_trip() override {
    if (!stream_->Write(call_) || !stream_->Read(&reply_)) broken();
  }

 private:
  std::unique_ptr<tarvo::sim::Simulator::Stub> stub_;
  grpc::ClientContext context_;
  std::unique_ptr<grpc::ClientReaderWriter<Call, Reply>> stream_;
  Call call_ = step_call();
  Reply reply_;
};

class AsyncPing final : public GrpcPing {
 public:
  AsyncPing(const GrpcVariant& variant, const std::string& address)
      : stub_(tarvo::sim::Simulator::NewStub(open_channel(variant, address))),
        stream_(stub_->PrepareAsyncSession(&context_, &queue_)) {
    stream_->StartCall(tag(kStarted));
    if (!await(1)) broken();
  }
  ~AsyncPing() override {
    stream_->WritesDone(tag(kWritesDone));
    grpc::Status status;
    stream_->Finish(&status, tag(kFinished));
    await(2);
    queue_.Shutdown();
    void* ignored;
    bool ok;
    while (queue_.Next(&ignored, &ok)) {
    }
  }
  void round_trip() override {
    // The write first: a read posted on an idle stream costs a frame of its own.
    stream_->Write(call_, tag(kWritten));
    stream_->Read(&reply_, tag(kRead));
    if (!await(2)) broken();
  }

 private:
  enum Tag { kStarted, kRead, kWritten, kWritesDone, kFinished };
  static void* tag(Tag t) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(t) + 1); }

  // Waits for `count` operations; whether all succeeded.
  bool await(int count) {
    bool all = true;
    for (int i = 0; i < count; ++i) {
      void* done;
      bool ok;
      if (!queue_.Next(&done, &ok)) return false;
      all = all && ok;
    }
    return all;
  }

  std::unique_ptr<tarvo::sim::Simulator::Stub> stub_;
  grpc::ClientContext context_;
  grpc::CompletionQueue queue_;
  std::unique_ptr<grpc::ClientAsyncReaderWriter<Call, Reply>> stream_;
  Call call_ = step_call();
  Reply reply_;
};

class CallbackPing final : public GrpcPing, public grpc::ClientBidiReactor<Call, Reply> {
 public:
  CallbackPing(const GrpcVariant& variant, const std::string& address)
      : stub_(tarvo::sim::Simulator::NewStub(open_channel(variant, address))) {
    stub_->async()->Session(&context_, this);
    StartCall();
  }
  ~CallbackPing() override {
    StartWritesDone();
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
  }
  void round_trip() override {
    {
      std::lock_guard lock(mutex_);
      pending_ = 2;
    }
    StartWrite(&call_);
    StartRead(&reply_);
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return pending_ == 0; });
    if (!ok_) broken();
  }

  void OnReadDone(bool ok) override { settle(ok); }
  void OnWriteDone(bool ok) override { settle(ok); }
  void OnDone(const grpc::Status&) override {
    std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }

 private:
  void settle(bool ok) {
    std::lock_guard lock(mutex_);
    ok_ = ok_ && ok;
    if (--pending_ == 0) changed_.notify_all();
  }

  std::unique_ptr<tarvo::sim::Simulator::Stub> stub_;
  grpc::ClientContext context_;
  Call call_ = step_call();
  Reply reply_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int pending_ = 0;
  bool ok_ = true;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<GrpcPing> make_grpc_ping(const GrpcVariant& variant, const std::string& address) {
  if (variant.api == "sync") return std::make_unique<SyncPing>(variant, address);
  if (variant.api == "async") return std::make_unique<AsyncPing>(variant, address);
  return std::make_unique<CallbackPing>(variant, address);
}

}  // namespace tarvo::bench
