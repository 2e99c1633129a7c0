// `tarvo compute project`: the node's project chosen from the organisation's list.
#include <gmock/gmock.h>

#include "compute_support.hpp"

using testing::EndsWith;
using testing::HasSubstr;

namespace tarvo::test {
namespace {

Json projects_route(const std::string& organization, int status, const std::string& body) {
  return Json{{"method", "GET"},
              {"path", "/v1/organizations/" + organization + "/projects"},
              {"responses",
               Json::array({Json{
                   {"status", status}, {"body", body}, {"content_type", "application/json"}}})}};
}

constexpr const char* kThreeProjects =
    R"([{"id": "p-1", "name": "alpha"}, {"id": 7, "name": "beta"}, {"id": "p-3", "name": "gamma"}])";

using ProjectTest = ComputeTest;

TEST_F(ProjectTest, RefusalsBeforeAnyRequest) {
  start_scripted_platform(Json::array());
  auto result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "No compute node is connected. Run `tarvo compute connect` first.\n");

  auto record = connected_state();
  record["cluster_id"] = "";
  write_state(record);
  result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "No compute node is connected. Run `tarvo compute connect` first.\n");

  record = connected_state();
  record.erase("organization_id");
  write_state(record);
  result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "No organization is linked. Run `tarvo compute connect` again to select one.\n");
  EXPECT_TRUE(requests("platform").empty());
}

// A state file nested 100,000 deep used to overflow the stack.
TEST_F(ProjectTest, DeepOrCorruptStateIsOneLineOfError) {
  start_scripted_platform(Json::array());
  for (const auto& text :
       {std::string(100000, '[') + std::string(100000, ']'), std::string("{\"cluster_id\": ")}) {
    std::filesystem::create_directories(state_file().parent_path());
    write_file(state_file(), text);
    auto result = session_.run({"compute", "project"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_THAT(result.err, testing::StartsWith("Error: compute node state "));
    EXPECT_THAT(result.err, HasSubstr("repair or remove the file"));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
  }
  EXPECT_TRUE(requests("platform").empty());
}

TEST_F(ProjectTest, NoProjects) {
  start_scripted_platform(Json::array({projects_route("org-1", 200, "[]")}));
  write_state(connected_state());
  auto result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "No projects found for this organization.\n");
}

TEST_F(ProjectTest, ChoosingTwiceKeepsTheLastChoiceAndUnknownKeys) {
  start_scripted_platform(Json::array({projects_route("org-1", 200, kThreeProjects)}));
  auto record = connected_state();
  record["custom"] = {{"kept", true}};
  write_state(record);

  auto result = session_.run({"compute", "project"}, "2\n");
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, HasSubstr("Select a Project:"));
  const auto alpha = result.out.find("alpha (uuid: p-1)");
  const auto beta = result.out.find("beta (uuid: 7)");
  const auto gamma = result.out.find("gamma (uuid: p-3)");
  EXPECT_TRUE(alpha < beta && beta < gamma && gamma != std::string::npos) << result.out;
  EXPECT_THAT(result.out, EndsWith("Project linked: beta\n"));
  auto expected = record;
  expected["project_id"] = 7;
  EXPECT_EQ(state(), expected);

  result = session_.run({"compute", "project"}, "3\n");
  ASSERT_EQ(result.exit_code, 0);
  expected["project_id"] = "p-3";
  EXPECT_EQ(state(), expected);
  EXPECT_EQ(state().dump(), expected.dump());  // key order too
}

TEST_F(ProjectTest, CancelledMenuLeavesTheRecordAlone) {
  start_scripted_platform(Json::array({projects_route("org-1", 200, kThreeProjects)}));
  auto record = connected_state();
  record["project_id"] = "earlier";
  write_state(record);
  const auto before = read_file(state_file());
  auto result = session_.run({"compute", "project"}, "\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, EndsWith("No project selected.\n"));
  EXPECT_EQ(read_file(state_file()), before);
}

TEST_F(ProjectTest, PlatformErrorsEndTheCommand) {
  start_scripted_platform(Json::array({projects_route("org-1", 500, "upstream [down]"),
                                       projects_route("org-2", 200, "{\"not\": \"a list\"}")}));
  write_state(connected_state());
  const auto before = read_file(state_file());
  auto result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("Error: "));
  EXPECT_THAT(result.err, HasSubstr("500"));
  EXPECT_THAT(result.err, HasSubstr("upstream [down]"));

  auto record = connected_state();
  record["organization_id"] = "org-2";
  write_state(record);
  result = session_.run({"compute", "project"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("not the expected JSON"));
}

TEST_F(ProjectTest, SendsTheBearerTokenWhenSet) {
  start_scripted_platform(Json::array({projects_route("org-1", 200, kThreeProjects)}));
  write_state(connected_state());
  session_.env()["TARVO_API_KEY"] = "secret-token";
  auto result = session_.run({"compute", "project"}, "1\n");
  ASSERT_EQ(result.exit_code, 0);
  ASSERT_EQ(requests("platform").size(), 1u);
  EXPECT_EQ(requests("platform")[0]["authorization"], "Bearer secret-token");
}

}  // namespace
}  // namespace tarvo::test
