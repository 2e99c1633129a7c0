#pragma once
// The ways to run a gRPC bidirectional stream that the ping-pongs compare: the API on
// each end, and the channel and server arguments that may matter for latency on
// loopback. A variant is written "API" or "API+TUNING+TUNING...", for example
// "async+nobdp+minimal".
//   APIs: sync (blocking calls), callback (reactors), async (a completion queue driven
//         by the thread that handles the stream; "async2": two threads on it)
//   tunings:
//     nobdp      no bandwidth-delay probing: no PING frame follows the data frames
//     noretry    no retry layer on the client's calls (it buffers what it sends)
//     minimal    the minimal filter stack (no deadline or census filters)
//     latency    the transport's optimisation target set to latency
//     onepoller  the synchronous server with one completion queue and one polling
//                thread (its default is a queue per core and up to two pollers)
// tarvo steps with "sync" and serves with "async", gRPC's defaults otherwise: no tuning
// changed the count of instructions per message by more than 1% (docs/performance.md).
#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::bench {

struct GrpcVariant {
  std::string api;
  std::set<std::string> tunings;

  bool has(const std::string& tuning) const { return tunings.count(tuning) > 0; }
};

inline GrpcVariant parse_grpc_variant(std::string_view text, const std::vector<std::string>& apis) {
  static const std::set<std::string> kTunings = {"nobdp", "noretry", "minimal", "latency",
                                                 "onepoller"};
  GrpcVariant variant;
  std::size_t at = text.find('+');
  variant.api = std::string(text.substr(0, at));
  if (std::find(apis.begin(), apis.end(), variant.api) == apis.end())
    throw std::invalid_argument("unknown gRPC API '" + variant.api + "'");
  while (at != std::string_view::npos) {
    std::size_t next = text.find('+', at + 1);
    std::string tuning(text.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
    if (!kTunings.count(tuning)) throw std::invalid_argument("unknown tuning '" + tuning + "'");
    variant.tunings.insert(tuning);
    at = next;
  }
  return variant;
}

// Sets the variant's arguments through `set(name, value)` (a channel's or a server's).
template <typename SetInt, typename SetString>
void apply_grpc_tunings(const GrpcVariant& variant, SetInt set_int, SetString set_string) {
  if (variant.has("nobdp")) set_int(GRPC_ARG_HTTP2_BDP_PROBE, 0);
  if (variant.has("noretry")) set_int(GRPC_ARG_ENABLE_RETRIES, 0);
  if (variant.has("minimal")) set_int(GRPC_ARG_MINIMAL_STACK, 1);
  if (variant.has("latency")) set_string(GRPC_ARG_OPTIMIZATION_TARGET, "latency");
}

inline void apply_grpc_tunings(const GrpcVariant& variant, grpc::ChannelArguments& arguments) {
  apply_grpc_tunings(
      variant, [&](const char* name, int value) { arguments.SetInt(name, value); },
      [&](const char* name, const char* value) { arguments.SetString(name, value); });
}

inline void apply_grpc_tunings(const GrpcVariant& variant, grpc::ServerBuilder& builder) {
  apply_grpc_tunings(
      variant, [&](const char* name, int value) { builder.AddChannelArgument(name, value); },
      [&](const char* name, const char* value) {
        builder.AddChannelArgument(name, std::string(value));
      });
  if (variant.has("onepoller")) {
    builder.SetSyncServerOption(grpc::ServerBuilder::NUM_CQS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::MIN_POLLERS, 1);
    builder.SetSyncServerOption(grpc::ServerBuilder::MAX_POLLERS, 1);
  }
}

}  // namespace tarvo::bench
