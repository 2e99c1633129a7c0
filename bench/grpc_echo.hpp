#pragma once
// The far end of the gRPC ping-pongs, in each server API gRPC offers (see
// grpc_variants.hpp): answers every Call with the reference simulator's step reply,
// or, given a simulator, relays each call to a simulator process of the stream's own.
#include <functional>
#include <optional>

#include "grpc_variants.hpp"
#include "simulator_pipe.hpp"

namespace tarvo::bench {

// Serves on a loopback port of the kernel's choosing, prints it on a line of its own,
// and serves until `wait` returns. Returns the process's exit code.
int serve_grpc(const GrpcVariant& variant, const std::optional<SimulatorCommand>& relay,
               const std::function<void()>& wait);

}  // namespace tarvo::bench
