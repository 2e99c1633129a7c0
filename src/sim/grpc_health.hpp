#pragma once
// grpc.health.v1.Health for probes (a container's HEALTHCHECK, systemd, orchestrators),
// answered on the relay's completion queue by the relay's own threads. gRPC's built-in
// health service polls with threads of its own, which take events of the relay's
// streams off its thread: 7% more instructions per step on the server, measured.
//   Check:  SERVING for "" (the server) and the Simulator service while the server
//           serves, NOT_SERVING once it stops; NOT_FOUND for any other service.
//   Watch:  the same status at once, then NOT_SERVING and the end of the stream once
//           the server stops; SERVICE_UNKNOWN for any other service.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <grpcpp/grpcpp.h>

#include "proto/health.grpc.pb.h"

namespace tarvo::sim {

// What an event on the relay's completion queue is about: its tag points to one.
struct QueueTag {
  enum class Owner : unsigned char { stream, health };
  Owner owner;
};

class GrpcHealth {
 public:
  // Starts `operation` unless the completion queue is closing; false when it did not.
  using Issue = std::function<bool(const std::function<void()>& operation)>;

  explicit GrpcHealth(std::string service_name);
  ~GrpcHealth();
  GrpcHealth(const GrpcHealth&) = delete;
  GrpcHealth& operator=(const GrpcHealth&) = delete;

  void attach(grpc::ServerBuilder& builder) { builder.RegisterService(&service_); }
  // Once the server is built: takes probes on `queue`.
  void start(grpc::ServerCompletionQueue* queue, Issue issue);
  // NOT_SERVING from now on; watchers are told, and their streams end.
  void stop_serving();
  // An event whose tag is one of ours.
  void handle(QueueTag* tag, bool ok);
  // Once the queue is drained: lets go of the calls left.
  void clear();

 private:
  struct Probe;
  using Status = grpc::health::v1::HealthCheckResponse::ServingStatus;

  void request(bool watch);
  void answer_check(Probe& probe);
  void send_watch(Probe& probe);  // mutex_ held
  std::optional<Status> status_of(const std::string& service) const;
  void forget(Probe& probe);

  const std::string service_name_;
  grpc::health::v1::Health::AsyncService service_;
  grpc::ServerCompletionQueue* queue_ = nullptr;
  Issue issue_;
  std::mutex mutex_;
  bool serving_ = true;
  std::unordered_map<Probe*, std::unique_ptr<Probe>> probes_;
};

}  // namespace tarvo::sim
