// The first resources of the platform: organisations and their projects.
#include <cctype>
#include <string_view>

#include "api/client.hpp"

namespace tarvo::api {
namespace {

std::string text_of(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  return value.dump();
}

// A list of objects each holding `keys`, else an error naming what is wrong.
Json expect_list_of_objects(Json reply, const std::string& what,
                            std::initializer_list<const char*> keys) {
  if (reply.is_null()) return Json::array();
  auto fail = [&](const std::string& why) {
    return Error("platform reply for " + what + " is not the expected JSON: " + why, 200,
                 reply.dump());
  };
  if (!reply.is_array()) throw fail("not a list");
  for (const auto& item : reply) {
    if (!item.is_object()) throw fail("an entry is not an object");
    for (const char* key : keys)
      if (!item.contains(key)) throw fail(std::string("an entry has no \"") + key + "\"");
  }
  return reply;
}

}  // namespace

Json Organizations::list() {
  return expect_list_of_objects(transport_.get("/organizations"), "organizations", {"name"});
}

std::optional<Json> Organizations::configured(const Json& organizations) const {
  const auto& wanted = transport_.settings().organization;
  if (!wanted || wanted->empty()) return std::nullopt;
  for (const auto& organization : organizations) {
    if ((organization.contains("uuid") && text_of(organization["uuid"]) == *wanted) ||
        text_of(organization["name"]) == *wanted)
      return organization;
  }
  std::string names;
  for (const auto& organization : organizations)
    names += (names.empty() ? "" : ", ") + text_of(organization["name"]);
  throw std::runtime_error("organization \"" + *wanted + "\" (TARVO_ORGANIZATION) not found; " +
                           (names.empty() ? "the account has none" : "available: " + names));
}

Json Projects::list(const std::string& organization_id) {
  return expect_list_of_objects(
      transport_.get("/organizations/" + path_segment(organization_id) + "/projects"), "projects",
      {"id", "name"});
}

}  // namespace tarvo::api
