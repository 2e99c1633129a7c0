#pragma once
// The near end of the gRPC ping-pongs, in each client API gRPC offers (see
// grpc_variants.hpp): one Session stream, one step Call and its Reply per round trip.
#include <memory>
#include <string>

#include "grpc_variants.hpp"

namespace tarvo::bench {

class GrpcPing {
 public:
  virtual ~GrpcPing() = default;
  // One call and its reply; throws when the stream broke.
  virtual void round_trip() = 0;
};

std::unique_ptr<GrpcPing> make_grpc_ping(const GrpcVariant& variant, const std::string& address);

}  // namespace tarvo::bench
