#include "sim/address.hpp"

#include <stdexcept>

#include "sim/client.hpp"

namespace tarvo::sim {
namespace {

constexpr const char* kForms = "host:port, grpc://host:port or http://host:port";

std::invalid_argument malformed(std::string_view text, const std::string& why) {
  return std::invalid_argument("malformed address '" + std::string(text) + "': " + why + " (use " +
                               kForms + ")");
}

}  // namespace

std::string SimAddress::host_port() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

SimAddress parse_address(std::string_view text) {
  SimAddress address;
  address.protocol = "grpc";
  std::string_view rest = text;
  if (const auto scheme_end = rest.find("://"); scheme_end != std::string_view::npos) {
    const std::string_view scheme = rest.substr(0, scheme_end);
    if (scheme != "grpc" && scheme != "http")
      throw malformed(text, "'" + std::string(scheme) + "://' is not a simulator protocol");
    address.protocol = std::string(scheme);
    address.names_protocol = true;
    rest.remove_prefix(scheme_end + 3);
    if (address.protocol == "http" && rest.ends_with('/')) rest.remove_suffix(1);
  }
  if (rest.find('/') != std::string_view::npos) throw malformed(text, "a path is not allowed");
  try {
    std::tie(address.host, address.port) = split_address(std::string(rest));
  } catch (const std::invalid_argument&) {
    throw malformed(text, "expected a host and a port from 1 to 65535");
  }
  if (address.host.empty()) throw malformed(text, "the host is missing");
  return address;
}

SimAddress parse_address(std::string_view text, const std::string& protocol) {
  SimAddress address = parse_address(text);
  if (!address.names_protocol) address.protocol = protocol;
  return address;
}

}  // namespace tarvo::sim
