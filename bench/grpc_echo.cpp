// The gRPC echo and bare relay in each server API.
//   async:    streams on a completion queue that the answering thread polls itself:
//             read, answer in place, write, read again (async2: two such threads)
//   sync:     one gRPC thread per stream blocking in Read and Write
//   callback: a reactor per stream, answering in OnReadDone on gRPC's own threads
#include "grpc_echo.hpp"

#include <absl/synchronization/mutex.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "measure.hpp"
#include "proto/simulator.grpc.pb.h"

namespace tarvo::bench {

namespace {

using tarvo::sim::Call;
using tarvo::sim::Reply;

// One stream's answers: the canned reply, or its simulator's.
class Answers {
 public:
  explicit Answers(const std::optional<SimulatorCommand>& relay) : relay_(relay) {
    reply_.set_line(kStepReply);
  }
  // The reply to `call`; throws when the simulator cannot answer.
  const Reply& answer(const Call& call) {
    if (relay_) {
      if (!simulator_) simulator_.emplace(*relay_);
      reply_.set_line(std::string(simulator_->step(call.args())));
    }
    return reply_;
  }

 private:
  const std::optional<SimulatorCommand>& relay_;
  std::optional<SimulatorPipe> simulator_;
  Reply reply_;
};

void report(const std::exception& error) {
  std::fprintf(stderr, "tarvo_bench_echo: %s\n", error.what());
}

// -- sync -------------------------------------------------------------------------

class SyncEcho final : public tarvo::sim::Simulator::Service {
 public:
  explicit SyncEcho(const std::optional<SimulatorCommand>& relay) : relay_(relay) {}

  grpc::Status Session(grpc::ServerContext*,
                       grpc::ServerReaderWriter<Reply, Call>* stream) override {
    Answers answers(relay_);
    Call call;
    try {
      while (stream->Read(&call))
        if (!stream->Write(answers.answer(call))) break;
    } catch (const std::exception& error) {
      report(error);
    }
    return grpc::Status::OK;
  }

 private:
  const std::optional<SimulatorCommand>& relay_;
};

// -- callback ---------------------------------------------------------------------

class CallbackEcho final : public tarvo::sim::Simulator::CallbackService {
 public:
  explicit CallbackEcho(const std::optional<SimulatorCommand>& relay) : relay_(relay) {}

  grpc::ServerBidiReactor<Call, Reply>* Session(grpc::CallbackServerContext*) override {
    auto owned = std::make_unique<Reactor>(*this);
    auto* reactor = owned.get();
    std::lock_guard lock(mutex_);
    reactors_.emplace(reactor, std::move(owned));
    return reactor;
  }

 private:
  class Reactor final : public grpc::ServerBidiReactor<Call, Reply> {
   public:
    explicit Reactor(CallbackEcho& owner) : owner_(owner), answers_(owner.relay_) {
      StartRead(&call_);
    }
    void OnReadDone(bool ok) override {
      if (!ok) return Finish(grpc::Status::OK);
      try {
        StartWrite(&answers_.answer(call_));
      } catch (const std::exception& error) {
        report(error);
        Finish(grpc::Status::OK);
      }
    }
    void OnWriteDone(bool ok) override {
      if (!ok) return Finish(grpc::Status::OK);
      StartRead(&call_);
    }
    void OnDone() override { owner_.forget(this); }

   private:
    CallbackEcho& owner_;
    Answers answers_;
    Call call_;
  };

  void forget(Reactor* reactor) {
    std::unique_ptr<Reactor> gone;
    std::lock_guard lock(mutex_);
    auto found = reactors_.find(reactor);
    gone = std::move(found->second);
    reactors_.erase(found);
  }

  const std::optional<SimulatorCommand>& relay_;
  std::mutex mutex_;
  std::unordered_map<Reactor*, std::unique_ptr<Reactor>> reactors_;
};

// -- async ------------------------------------------------------------------------

// One stream: read, answer, read again; one operation at a time.
struct AsyncStream {
  enum class Step { accepting, reading, writing, finishing };
  explicit AsyncStream(const std::optional<SimulatorCommand>& relay) : answers(relay) {}
  grpc::ServerContext context;
  grpc::ServerAsyncReaderWriter<Reply, Call> stream{&context};
  Call call;
  Answers answers;
  Step step = Step::accepting;
};

class AsyncEcho {
 public:
  AsyncEcho(grpc::ServerBuilder& builder, const std::optional<SimulatorCommand>& relay)
      : relay_(relay) {
    builder.RegisterService(&service_);
    queue_ = builder.AddCompletionQueue();
  }

  void start(int threads) {
    accept();
    for (int i = 0; i < threads; ++i)
      pollers_.emplace_back([this] { poll(); });
  }

  // After the server's shutdown: no operation may start once the queue is shut down.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      queue_->Shutdown();
    }
    pollers_.clear();  // joins
  }

 private:
  using Step = AsyncStream::Step;

  void issue(AsyncStream* echo, Step step, auto operation) {
    std::lock_guard lock(mutex_);
    echo->step = step;
    if (closing_) {
      streams_.erase(echo);
      return;
    }
    operation();
  }

  void accept() {
    auto owned = std::make_unique<AsyncStream>(relay_);
    auto* echo = owned.get();
    {
      std::lock_guard lock(mutex_);
      streams_.emplace(echo, std::move(owned));
    }
    issue(echo, Step::accepting, [&] {
      service_.RequestSession(&echo->context, &echo->stream, queue_.get(), queue_.get(), echo);
    });
  }

  void poll() {
    void* tag;
    bool ok;
    while (queue_->Next(&tag, &ok)) {
      auto* echo = static_cast<AsyncStream*>(tag);
      auto read = [&] {
        issue(echo, Step::reading, [&] { echo->stream.Read(&echo->call, echo); });
      };
      auto finish = [&] {
        issue(echo, Step::finishing, [&] { echo->stream.Finish(grpc::Status::OK, echo); });
      };
      switch (echo->step) {
        case Step::accepting:
          if (!ok) {
            std::lock_guard lock(mutex_);
            streams_.erase(echo);
            break;
          }
          accept();
          read();
          break;
        case Step::reading:
          if (!ok) {
            finish();
            break;
          }
          try {
            const Reply& reply = echo->answers.answer(echo->call);
            issue(echo, Step::writing, [&] { echo->stream.Write(reply, echo); });
          } catch (const std::exception& error) {
            report(error);
            finish();
          }
          break;
        case Step::writing:
          if (ok)
            read();
          else
            finish();
          break;
        case Step::finishing: {
          std::lock_guard lock(mutex_);
          streams_.erase(echo);
          break;
        }
      }
    }
  }

  const std::optional<SimulatorCommand>& relay_;
  tarvo::sim::Simulator::AsyncService service_;
  std::unique_ptr<grpc::ServerCompletionQueue> queue_;
  std::mutex mutex_;
  bool closing_ = false;
  std::unordered_map<AsyncStream*, std::unique_ptr<AsyncStream>> streams_;
  std::vector<std::jthread> pollers_;
};

}  // namespace

int serve_grpc(const GrpcVariant& variant, const std::optional<SimulatorCommand>& relay,
               const std::function<void()>& wait) {
  // As in tarvo's processes: abseil's lock-order bookkeeping off.
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
  grpc::ServerBuilder builder;
  int port = 0;
  builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
  apply_grpc_tunings(variant, builder);
  SyncEcho sync(relay);
  CallbackEcho callback(relay);
  std::optional<AsyncEcho> async;
  if (variant.api == "sync")
    builder.RegisterService(&sync);
  else if (variant.api == "callback")
    builder.RegisterService(&callback);
  else
    async.emplace(builder, relay);
  auto server = builder.BuildAndStart();
  if (!server) return 1;
  if (async) async->start(variant.api == "async2" ? 2 : 1);
  std::printf("%d\n", port);
  std::fflush(stdout);
  wait();
  server->Shutdown(std::chrono::system_clock::now() + std::chrono::seconds(1));
  if (async) async->stop();
  server->Wait();
  return 0;
}

}  // namespace tarvo::bench
