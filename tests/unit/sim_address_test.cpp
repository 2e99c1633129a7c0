// The one address syntax of every --address: host:port, grpc://host:port, http://host:port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/address.hpp"

namespace tarvo::sim {
namespace {

using ::testing::HasSubstr;

TEST(SimAddress, ReadsTheThreeFormsAndIpv6Hosts) {
  const auto plain = parse_address("localhost:1337");
  EXPECT_EQ(plain.protocol, "grpc");
  EXPECT_EQ(plain.host, "localhost");
  EXPECT_EQ(plain.port, 1337);
  EXPECT_FALSE(plain.names_protocol);

  const auto grpc = parse_address("grpc://10.0.0.2:50051");
  EXPECT_EQ(grpc.protocol, "grpc");
  EXPECT_TRUE(grpc.names_protocol);
  EXPECT_EQ(grpc.host_port(), "10.0.0.2:50051");

  const auto http = parse_address("http://[::1]:8080/");
  EXPECT_EQ(http.protocol, "http");
  EXPECT_EQ(http.host, "::1");
  EXPECT_EQ(http.host_port(), "[::1]:8080");
}

TEST(SimAddress, AProtocolOfTheCommandAppliesOnlyToPlainAddresses) {
  EXPECT_EQ(parse_address("h:1", "http").protocol, "http");
  EXPECT_EQ(parse_address("grpc://h:1", "http").protocol, "grpc");
  EXPECT_EQ(parse_address("http://h:1", "grpc").protocol, "http");
}

TEST(SimAddress, AnythingElseIsAnErrorNamingTheForms) {
  for (const char* bad : {"localhost", "h:0", "h:65536", "h:12ab", ":1337", "https://h:1",
                          "http://h:1/path", "grpc://h", "::1:1337", "", "http://"}) {
    try {
      parse_address(bad);
      ADD_FAILURE() << bad << " was taken";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), HasSubstr("host:port, grpc://host:port or http://host:port"))
          << bad;
    }
  }
  try {
    parse_address("https://h:1");
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("'https://' is not a simulator protocol"));
  }
}

}  // namespace
}  // namespace tarvo::sim
