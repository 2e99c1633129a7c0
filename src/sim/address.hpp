#pragma once
// Where a running simulator listens, in the one form every `--address` takes:
//
//   host:port          gRPC
//   grpc://host:port   gRPC
//   http://host:port   HTTP (a trailing "/" is allowed)
//
// The host is a name, an IPv4 address or an IPv6 address in brackets ("[::1]:1337").
#include <string>
#include <string_view>

namespace tarvo::sim {

struct SimAddress {
  std::string protocol;  // "grpc" or "http"
  std::string host;      // IPv6 without its brackets
  int port = 0;
  bool names_protocol = false;  // the text began with "grpc://" or "http://"

  // "host:port" ("[v6]:port"): what channels and probes take.
  std::string host_port() const;
};

// Reads an address; std::invalid_argument naming the text and the forms above when it
// is none of them (another scheme, no port, a port outside 1 to 65535).
SimAddress parse_address(std::string_view text);

// The same, for commands that also take a protocol of their own: the address's
// protocol when it names one, else `protocol`.
SimAddress parse_address(std::string_view text, const std::string& protocol);

}  // namespace tarvo::sim
