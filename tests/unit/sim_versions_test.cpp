// The order of a catalogue entry's versions, and the numbers it is built on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/sim/catalog.hpp"

namespace {

using tarvo::cli::sim::_sorted_versions;
using tarvo::cli::sim::_version_number;
using tarvo::cli::sim::Json;

TEST(VersionNumber, ReadsIntegersAndIntegerText) {
  EXPECT_EQ(_version_number(Json::parse(R"({"version": 10})"), "s"), 10);
  EXPECT_EQ(_version_number(Json::parse(R"({"version": " 3 "})"), "s"), 3);
  EXPECT_EQ(_version_number(Json::parse(R"({"version": "-2"})"), "s"), -2);
  EXPECT_EQ(_version_number(Json::parse(R"({"version": 4.0})"), "s"), 4);
  EXPECT_EQ(_version_number(Json::parse(R"({"configuration_status": "READY"})"), "s"), 1);
}

TEST(VersionNumber, AnythingElseNamesTheSimAndTheValue) {
  for (const char* value : {R"("v2")", R"("")", R"("1.5")", "2.5", "null", "true", "[1]",
                            R"("99999999999999999999")", R"("+")"}) {
    SCOPED_TRACE(value);
    try {
      _version_number(Json::parse(std::string(R"({"version": )") + value + "}"), "cart");
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(error.what(),
                "Sim \"cart\" has a version that is not an integer: " + Json::parse(value).dump());
    }
  }
  EXPECT_THROW(_version_number(Json("3"), "cart"), std::invalid_argument);
}

TEST(SortedVersions, NewestFirstAndStableForEqualNumbers) {
  const Json versions = Json::parse(R"([
    {"version": 2, "tag": "a"}, {"version": "10", "tag": "b"}, {"tag": "c"},
    {"version": 3, "tag": "d"}, {"version": "2", "tag": "e"}, {"version": 1, "tag": "f"}])");
  std::vector<std::string> tags;
  for (const auto& version : _sorted_versions(versions, "s"))
    tags.push_back(version["tag"]);
  EXPECT_THAT(tags, testing::ElementsAre("b", "d", "a", "e", "c", "f"));

  EXPECT_TRUE(_sorted_versions(Json(), "s").empty());
  EXPECT_TRUE(_sorted_versions(Json::array(), "s").empty());
  EXPECT_THROW(_sorted_versions(Json::object({{"version", 1}}), "s"), std::invalid_argument);
}

}  // namespace
