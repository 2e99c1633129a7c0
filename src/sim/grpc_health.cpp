#include "sim/grpc_health.hpp"

#include <utility>
#include <vector>

namespace tarvo::sim {

using grpc::health::v1::HealthCheckRequest;
using grpc::health::v1::HealthCheckResponse;

// One Check or Watch call; at most one operation of it is in flight at a time.
struct GrpcHealth::Probe : QueueTag {
  enum class Step { requested, writing, waiting, finishing };

  explicit Probe(bool watch) : QueueTag{Owner::health}, watch(watch) {}
  QueueTag* tag() { return this; }

  const bool watch;
  Step step = Step::requested;
  grpc::ServerContext context;
  HealthCheckRequest request;
  HealthCheckResponse response;
  grpc::ServerAsyncResponseWriter<HealthCheckResponse> check{&context};
  grpc::ServerAsyncWriter<HealthCheckResponse> stream{&context};
};

GrpcHealth::GrpcHealth(std::string service_name) : service_name_(std::move(service_name)) {}

GrpcHealth::~GrpcHealth() = default;

void GrpcHealth::start(grpc::ServerCompletionQueue* queue, Issue issue) {
  queue_ = queue;
  issue_ = std::move(issue);
  request(false);
  request(true);
}

void GrpcHealth::request(bool watch) {
  auto owned = std::make_unique<Probe>(watch);
  Probe& probe = *owned;
  {
    std::lock_guard lock(mutex_);
    probes_.emplace(&probe, std::move(owned));
  }
  const bool issued = issue_([&] {
    if (watch)
      service_.RequestWatch(&probe.context, &probe.request, &probe.stream, queue_, queue_,
                            probe.tag());
    else
      service_.RequestCheck(&probe.context, &probe.request, &probe.check, queue_, queue_,
                            probe.tag());
  });
  if (!issued) forget(probe);
}

void GrpcHealth::handle(QueueTag* tag, bool ok) {
  auto& probe = static_cast<Probe&>(*tag);
  switch (probe.step) {
    case Probe::Step::requested:
      if (!ok) return forget(probe);  // the server is shutting down
      request(probe.watch);
      if (!probe.watch) return answer_check(probe);
      break;
    case Probe::Step::writing:
      if (!ok) {
        // The watcher went away: end the call.
        probe.step = Probe::Step::finishing;
        if (!issue_([&] { probe.stream.Finish(grpc::Status::CANCELLED, probe.tag()); }))
          forget(probe);
        return;
      }
      break;
    case Probe::Step::waiting:  // nothing in flight: no event comes
    case Probe::Step::finishing:
      return forget(probe);
  }
  std::lock_guard lock(mutex_);
  send_watch(probe);
}

void GrpcHealth::answer_check(Probe& probe) {
  std::optional<Status> status;
  {
    std::lock_guard lock(mutex_);
    status = status_of(probe.request.service());
    probe.step = Probe::Step::finishing;
  }
  if (status) probe.response.set_status(*status);
  const bool issued = issue_([&] {
    if (status)
      probe.check.Finish(probe.response, grpc::Status::OK, probe.tag());
    else
      probe.check.FinishWithError(grpc::Status(grpc::StatusCode::NOT_FOUND, "unknown service"),
                                  probe.tag());
  });
  if (!issued) forget(probe);
}

void GrpcHealth::send_watch(Probe& probe) {
  const auto status =
      status_of(probe.request.service()).value_or(HealthCheckResponse::SERVICE_UNKNOWN);
  const bool told = probe.step == Probe::Step::writing && probe.response.status() == status;
  if (serving_ && told) {
    probe.step = Probe::Step::waiting;  // until the status changes
    return;
  }
  probe.response.set_status(status);
  bool issued;
  if (serving_) {
    probe.step = Probe::Step::writing;
    issued = issue_([&] { probe.stream.Write(probe.response, probe.tag()); });
  } else {
    probe.step = Probe::Step::finishing;
    issued = issue_([&] {
      probe.stream.WriteAndFinish(probe.response, grpc::WriteOptions(), grpc::Status::OK,
                                  probe.tag());
    });
  }
  if (!issued) probes_.erase(&probe);
}

void GrpcHealth::stop_serving() {
  std::lock_guard lock(mutex_);
  serving_ = false;
  std::vector<Probe*> waiting;
  for (auto& [key, probe] : probes_)
    if (probe->watch && probe->step == Probe::Step::waiting) waiting.push_back(key);
  for (Probe* probe : waiting)
    send_watch(*probe);
}

std::optional<GrpcHealth::Status> GrpcHealth::status_of(const std::string& service) const {
  if (!service.empty() && service != service_name_) return std::nullopt;
  return serving_ ? HealthCheckResponse::SERVING : HealthCheckResponse::NOT_SERVING;
}

void GrpcHealth::forget(Probe& probe) {
  std::lock_guard lock(mutex_);
  probes_.erase(&probe);
}

void GrpcHealth::clear() {
  std::lock_guard lock(mutex_);
  probes_.clear();
}

}  // namespace tarvo::sim
