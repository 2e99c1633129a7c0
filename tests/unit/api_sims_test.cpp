// The catalogue operations of the platform client against a platform on loopback
// that answers as the test scripts it.
#include <httplib.h>

#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/client.hpp"
#include "scoped.hpp"

namespace {

using tarvo::api::APINoCode;
using tarvo::api::Json;

class Platform {
 public:
  ~Platform() {
    server.stop();
    if (thread_.joinable()) thread_.join();
  }
  // Serves the routes set up so far; a client to it.
  APINoCode client() {
    port_ = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    tarvo::core::Settings settings;
    settings.api_key = "k3y";
    return APINoCode("http://127.0.0.1:" + std::to_string(port_) + "/v1", settings);
  }

  httplib::Server server;

 private:
  int port_ = 0;
  std::thread thread_;
};

TEST(ApiSims, GetByNameTrustsOnlyAnExactName) {
  Platform platform;
  std::string query;
  // This platform ignores the name filter and lists everything.
  platform.server.Get("/v1/organizations/org 1/sims", [&](const httplib::Request& request,
                                                          httplib::Response& response) {
    query = request.get_param_value("name");
    response.set_content(
        R"([{"id": "a", "name": "cart pole 2"}, {"id": "b", "name": "cart pole"}])",
        "application/json");
  });
  auto api = platform.client();
  EXPECT_EQ(api.sims.get_by_name("org 1", "cart pole"),
            Json::parse(R"({"id": "b", "name": "cart pole"})"));
  EXPECT_EQ(query, "cart pole");
  EXPECT_TRUE(api.sims.get_by_name("org 1", "cart").is_null());
}

TEST(ApiSims, CreateImplUploadsTheArchiveAndItsType) {
  tarvo::test::TempDir dir;
  std::string bytes = "\x1f\x8b";
  for (int i = 0; i < 100000; ++i)
    bytes += static_cast<char>(i * 7);
  tarvo::test::write_text(dir.path() / "cart.tar.gz", bytes);

  Platform platform;
  httplib::MultipartFormData file, type;
  std::string authorization;
  platform.server.Post("/v1/organizations/o/sims/s/1/implementations",
                       [&](const httplib::Request& request, httplib::Response& response) {
                         file = request.get_file_value("file");
                         type = request.get_file_value("type");
                         authorization = request.get_header_value("Authorization");
                         response.status = 201;
                         response.set_content(R"({"version": 1})", "application/json");
                       });
  auto api = platform.client();
  EXPECT_EQ(api.sims.create_impl("o", "s/1", (dir.path() / "cart.tar.gz").string(), "docker"),
            Json::parse(R"({"version": 1})"));
  EXPECT_EQ(file.filename, "cart.tar.gz");
  EXPECT_EQ(file.content_type, "application/gzip");
  EXPECT_TRUE(file.content == bytes) << "the upload differs from the archive";
  EXPECT_EQ(type.content, "docker");
  EXPECT_EQ(authorization, "Bearer k3y");
}

TEST(ApiSims, RepliesOfTheWrongShapeAreErrors) {
  Platform platform;
  platform.server.Post("/v1/organizations/o/sims",
                       [](const httplib::Request&, httplib::Response& response) {
                         response.status = 201;
                         response.set_content(R"({"name": "no id"})", "application/json");
                       });
  platform.server.Get("/v1/organizations/o/sims",
                      [](const httplib::Request&, httplib::Response& response) {
                        response.set_content(R"({"sims": []})", "application/json");
                      });
  platform.server.Get("/v1/organizations/o/sims/gone",
                      [](const httplib::Request&, httplib::Response& response) {
                        response.status = 404;
                        response.set_content(R"({"detail": "sim not found"})", "application/json");
                      });
  auto api = platform.client();
  EXPECT_THROW(api.sims.create("o", "x", ""), tarvo::api::Error);
  EXPECT_THROW(api.sims.list("o"), tarvo::api::Error);
  try {
    api.sims.retrieve("o", "gone");
    ADD_FAILURE() << "a 404 was taken for an entry";
  } catch (const tarvo::api::Error& error) {
    EXPECT_EQ(error.status(), 404);
    EXPECT_THAT(error.what(), testing::HasSubstr("sim not found"));
  }
}

// Replies are checked before anything walks them: their type, their nesting (a
// reply nested 100,000 deep used to overflow the stack when the error path dumped
// it) and their size.
TEST(ApiSims, RepliesAreCheckedBeforeTheyAreRead) {
  Platform platform;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  platform.server.Get("/v1/organizations/deep/sims",
                      [&](const httplib::Request&, httplib::Response& response) {
                        response.set_content(deep, "application/json");
                      });
  platform.server.Get("/v1/organizations/html/sims",
                      [](const httplib::Request&, httplib::Response& response) {
                        response.set_content("[]", "text/html");
                      });
  platform.server.Get("/v1/organizations/typed/sims",
                      [](const httplib::Request&, httplib::Response& response) {
                        response.set_content("[]", "application/vnd.tarvo+json; charset=utf-8");
                      });
  platform.server.Get("/v1/organizations/huge/sims", [](const httplib::Request&,
                                                        httplib::Response& response) {
    response.set_content("[\"" + std::string(tarvo::api::Transport::kMaxReplyBytes, 'x') + "\"]",
                         "application/json");
  });
  auto api = platform.client();
  EXPECT_THAT([&] { api.sims.list("deep"); },
              testing::ThrowsMessage<tarvo::api::Error>(
                  testing::HasSubstr("not understood (200): nesting deeper than 100 levels")));
  EXPECT_THAT([&] { api.sims.list("html"); },
              testing::ThrowsMessage<tarvo::api::Error>(
                  testing::HasSubstr("is not JSON (content type \"text/html\")")));
  EXPECT_EQ(api.sims.list("typed"), Json::array());
  EXPECT_THAT([&] { api.sims.list("huge"); },
              testing::ThrowsMessage<tarvo::core::http::ClientError>(
                  testing::HasSubstr("reply larger than")));
}

}  // namespace
