// The platform emulator's catalogue refuses what the platform would refuse.
#include <gtest/gtest.h>

#include "catalog_support.hpp"

namespace tarvo::test {
namespace {

TEST_F(CatalogTest, EmulatorRefusesDuplicatesUnknownsAndMalformedUploads) {
  start_platform(Json::parse(R"([{"id": "s-1", "name": "taken", "description": ""}])"));
  httplib::Client client("127.0.0.1", platform_->port());
  const std::string sims = std::string("/v1/organizations/") + kOrganization + "/sims";

  auto status = [](const httplib::Result& reply) { return reply ? reply->status : -1; };
  EXPECT_EQ(
      status(client.Post(sims, R"({"name": "taken", "description": ""})", "application/json")),
      409);
  EXPECT_EQ(status(client.Post(sims, R"({"name": 7})", "application/json")), 422);
  EXPECT_EQ(status(client.Get("/v1/organizations/nobody/sims")), 404);
  EXPECT_EQ(status(client.Get(sims + "/s-2")), 404);

  const httplib::MultipartFormDataItems no_type = {{"file", "x", "sim.tar.gz", "application/gzip"}};
  EXPECT_EQ(status(client.Post(sims + "/s-1/implementations", no_type)), 422);
  const httplib::MultipartFormDataItems upload = {{"file", "x", "sim.tar.gz", "application/gzip"},
                                                  {"type", "zip", "", ""}};
  EXPECT_EQ(status(client.Post(sims + "/s-2/implementations", upload)), 404);
  EXPECT_TRUE(catalogue()[0].value("versions", Json::array()).empty());
}

}  // namespace
}  // namespace tarvo::test
