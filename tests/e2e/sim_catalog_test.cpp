// `tarvo sim list` and `tarvo sim retrieve` against the platform emulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "catalog_support.hpp"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

TEST_F(CatalogTest, ListShowsEachSimWithItsNewestVersion) {
  start_platform(Json::parse(R"([
    {"id": "s-order", "name": "order", "description": "two, ten, three",
     "versions": [{"version": 2, "configuration_status": "two"},
                  {"version": 10, "configuration_status": "ten"},
                  {"version": "3", "configuration_status": "three"}]},
    {"id": "s-equal", "name": "equal", "description": "ties",
     "versions": [{"version": 5, "configuration_status": "listed first"},
                  {"version": "5", "configuration_status": "listed second"}]},
    {"id": "s-missing", "name": "missing", "description": "no number",
     "versions": [{"version": 0, "configuration_status": "zero"},
                  {"configuration_status": "counts as one"}]},
    {"id": "s-bare", "name": "bare", "description": "no status",
     "versions": [{"version": 4}]},
    {"id": "s-none", "name": "none", "description": "no versions", "versions": []},
    {"id": "s-absent", "name": "absent", "description": "no versions key"},
    {"name": "[bold]odd[/bold]"}
  ])"));
  const auto result = session_.run({"sim", "list"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  using Row = std::vector<std::string>;
  EXPECT_THAT(table_rows(result.out),
              testing::ElementsAre(Row{"Name", "Version", "Description", "Status", "UUID"},
                                   Row{"order", "10", "two, ten, three", "ten", "s-order"},
                                   Row{"equal", "5", "ties", "listed first", "s-equal"},
                                   Row{"missing", "1", "no number", "counts as one", "s-missing"},
                                   Row{"bare", "4", "no status", "UNKNOWN", "s-bare"},
                                   Row{"none", "1", "no versions", "Unknown", "s-none"},
                                   Row{"absent", "1", "no versions key", "Unknown", "s-absent"},
                                   Row{"[bold]odd[/bold]", "1", "Unknown", "Unknown", "Unknown"}));
}

TEST_F(CatalogTest, AVersionThatIsNotANumberNamesTheSimAndTheValue) {
  start_platform(Json::parse(R"([
    {"id": "s-1", "name": "fine", "description": "", "versions": [{"version": 1}]},
    {"id": "s-2", "name": "odd", "description": "", "versions": [{"version": "v2"}]}
  ])"));
  for (const auto& command :
       {std::vector<std::string>{"sim", "list"}, std::vector<std::string>{"sim", "retrieve"}}) {
    const auto result = session_.run(command, "2\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "Error: Sim \"odd\" has a version that is not an integer: \"v2\"\n");
  }
}

TEST_F(CatalogTest, RetrievePrintsTheNewestImageAndItsCredential) {
  start_platform(Json::parse(R"([
    {"id": "s-1", "name": "first", "description": "", "versions": []},
    {"id": "s-2", "name": "cart", "description": "", "versions": [
      {"version": 1, "data_json": {"login_server": "old", "image_name": "sim", "tag": "1",
                                   "username": "u", "password": "p"}},
      {"version": 3, "data_json": {"login_server": "R", "image_name": "sim", "tag": "3",
                                   "username": "puller", "password": "it's"}},
      {"version": "2", "data_json": {}}]}
  ])"));
  const auto result = session_.run({"sim", "retrieve"}, "2\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("Select a Sim:\n"));
  EXPECT_THAT(result.out, HasSubstr("1) first (uuid: s-1)\n"));
  EXPECT_THAT(result.out, HasSubstr("2) cart (uuid: s-2)\n"));
  EXPECT_THAT(result.out, HasSubstr("Selected sim: cart (uuid: s-2)\n"
                                    "Image: R/sim:3\n"
                                    "Registry auth: {'username': 'puller', 'password': \"it's\", "
                                    "'serveraddress': 'R'}\n"));
}

TEST_F(CatalogTest, RetrieveEndsQuietlyWhileBuildingOrWithoutVersions) {
  start_platform(Json::parse(R"([
    {"id": "s-1", "name": "building", "description": "", "versions": [
      {"version": 1, "data_json": {"login_server": "R", "image_name": "sim", "tag": "1"}},
      {"version": 2, "configuration_status": "BUILDING"}]},
    {"id": "s-2", "name": "empty", "description": ""},
    {"id": "s-3", "name": "partial", "description": "", "versions": [
      {"version": 1, "data_json": {"image_name": "sim"}}]}
  ])"));
  const auto building = session_.run({"sim", "retrieve"}, "1\n");
  EXPECT_EQ(building.exit_code, 0) << building.err;
  EXPECT_THAT(building.err, HasSubstr("Sim is building. Please try again in a moment."));
  EXPECT_THAT(building.out, Not(HasSubstr("Image:")));

  const auto empty = session_.run({"sim", "retrieve"}, "2\n");
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_THAT(empty.out,
              HasSubstr("Selected sim: empty (uuid: s-2)\nNo versions found for this sim\n"));

  // Keys missing from the image description print as None.
  const auto partial = session_.run({"sim", "retrieve"}, "3\n");
  EXPECT_EQ(partial.exit_code, 0) << partial.err;
  EXPECT_THAT(partial.out, HasSubstr("Image: None/sim:None\nRegistry auth: {'username': None, "
                                     "'password': None, 'serveraddress': None}\n"));
}

TEST_F(CatalogTest, RetrieveWithoutAChoiceEndsWithoutAnyLookup) {
  start_platform(Json::parse(R"([{"id": "s-1", "name": "only", "description": ""}])"));
  // 7 is not on the menu: it asks again, and the end of the input cancels.
  const auto result = session_.run({"sim", "retrieve"}, "7\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.out, HasSubstr("No sim selected."));
  EXPECT_THAT(result.out, Not(HasSubstr("Selected sim:")));
}

TEST_F(CatalogTest, RetrieveRefusesAnEntryWithoutAnId) {
  start_platform(Json::parse(R"([{"name": "nameless id", "description": ""}])"));
  const auto result = session_.run({"sim", "retrieve"}, "1\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("a sim in the catalogue has no \"id\""));
}

TEST_F(CatalogTest, TheOrganizationMenuAnswersWhenNoneIsConfigured) {
  start_platform(Json::array());
  session_.env().erase("TARVO_ORGANIZATION");
  const auto result = session_.run({"sim", "list"}, "1\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("Acme (uuid: org-1)"));
  EXPECT_THAT(table_rows(result.out), testing::ElementsAre(testing::ElementsAre(
                                          "Name", "Version", "Description", "Status", "UUID")));
}

// A stand-in engine on loopback answering the image listing as the Engine API does.
TEST_F(CatalogTest, ListLocalShowsTheSimulatorImagesOfTheEngine) {
  const Json images = Json::parse(R"([
    {"RepoTags": ["tarvo/foo:latest"], "Created": 1700000000, "Labels": null},
    {"RepoTags": ["library/redis:7"], "Created": 1700000000},
    {"RepoTags": ["tarvo/bar:2", "tarvo/bar:latest"], "Created": 1600000000,
     "Labels": {"tarvo.version": "2"}}
  ])");
  auto route = [](const std::string& path, const Json& body) {
    return Json{
        {"method", "GET"},
        {"path", path},
        {"responses",
         Json::array(
             {{{"status", 200}, {"body", body.dump()}, {"content_type", "application/json"}}})}};
  };
  const Json version = {{"ApiVersion", "1.41"}, {"MinAPIVersion", "1.12"}};
  write_file(session_.home() / "engine.json",
             Json{{"routes",
                   Json::array({route("/version", version), route("/v1.41/images/json", images)})}}
                 .dump());
  BackgroundServer engine({build_bin("fake-http-server").string(), "--port", "0", "--script",
                           (session_.home() / "engine.json").string(), "--log",
                           (session_.home() / "engine.jsonl").string()});
  session_.env()["DOCKER_HOST"] = "tcp://127.0.0.1:" + std::to_string(engine.port());
  session_.env()["NO_COLOR"] = "1";
  session_.env()["COLUMNS"] = "200";

  const auto result = session_.run({"sim", "list", "--local"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  using Row = std::vector<std::string>;
  EXPECT_THAT(table_rows(result.out),
              testing::ElementsAre(Row{"Sim Name", "Docker URL", "Version"},
                                   Row{"bar", "tarvo/bar", "2020-09-13 12:26:40"},
                                   Row{"bar:2", "tarvo/bar:2", "2020-09-13 12:26:40"},
                                   Row{"foo", "tarvo/foo", "2023-11-14 22:13:20"}));

  const auto json = session_.run({"sim", "list", "--local", "--json"});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(Json::parse(json.out), Json::parse(R"([
    {"name": "bar", "docker_url": "tarvo/bar", "last_updated": "2020-09-13 12:26:40",
     "version": "2"},
    {"name": "bar:2", "docker_url": "tarvo/bar:2", "last_updated": "2020-09-13 12:26:40",
     "version": "2"},
    {"name": "foo", "docker_url": "tarvo/foo", "last_updated": "2023-11-14 22:13:20",
     "version": null}])"));
}

TEST_F(CatalogTest, ListJsonIsOneDocumentWithTheTablesColumns) {
  start_platform(Json::parse(R"([
    {"id": "s-1", "name": "walker", "description": "A walker",
     "versions": [{"version": 2, "configuration_status": "READY"}, {"version": 1}]},
    {"id": "s-2", "name": "bare", "description": "none yet", "versions": []}
  ])"));
  const auto result = session_.run({"sim", "list", "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(Json::parse(result.out), Json::parse(R"([
    {"name": "walker", "version": 2, "description": "A walker", "status": "READY", "uuid": "s-1"},
    {"name": "bare", "version": 1, "description": "none yet", "status": "Unknown", "uuid": "s-2"}
  ])"));
}

TEST_F(CatalogTest, OutsideTextKeepsItsControlCharactersInAPipe) {
  // In a pipe (or a file) the text is the platform's, byte for byte; on a terminal
  // the same names show as escapes (sim_terminal_test).
  const std::string hostile = "\x1b]0;pwned\a\x1b[2J";
  start_platform(Json::array(
      {{{"id", "s-1"}, {"name", "x"}, {"description", hostile}, {"versions", Json::array()}}}));
  const auto result = session_.run({"sim", "list"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr(hostile));
}

TEST_F(CatalogTest, ConfigFileWarningsAreOneLineEach) {
  start_platform(Json::array());
  const auto config = session_.home() / "config" / "tarvo" / "config.json";
  fs::create_directories(config.parent_path());
  write_file(config, R"({"api_key": "k", "organisation": "Acme"})");
  fs::permissions(config, fs::perms(0644));
  const auto result = session_.run({"sim", "list"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("Warning: config file " + config.string() +
                                    ": key 'organisation' unknown and ignored; the known keys "
                                    "are 'api_url', 'env', 'api_key', 'organization'\n"));
  EXPECT_THAT(result.err, HasSubstr("lets others read it; make it private with: chmod 600 " +
                                    config.string() + "\n"));
}

}  // namespace
}  // namespace tarvo::test
