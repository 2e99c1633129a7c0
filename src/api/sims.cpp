// The organisation's simulator catalogue.
#include <filesystem>

#include "api/client.hpp"

namespace tarvo::api {
namespace {

// Uploads may be large and the link slow; the usual 30 s would cut them off.
constexpr double kUploadTimeoutSeconds = 3600;

std::string sims_path(const std::string& organization_id) {
  return "/organizations/" + path_segment(organization_id) + "/sims";
}

Error unexpected(const std::string& what, const Json& reply, const std::string& why) {
  return Error("platform reply for " + what + " is not the expected JSON: " + why, 200,
               reply.dump());
}

Json expect_object(Json reply, const std::string& what) {
  if (!reply.is_object()) throw unexpected(what, reply, "not an object");
  return reply;
}

Json expect_list(Json reply, const std::string& what) {
  if (reply.is_null()) return Json::array();
  if (!reply.is_array()) throw unexpected(what, reply, "not a list");
  for (const auto& item : reply)
    if (!item.is_object()) throw unexpected(what, reply, "an entry is not an object");
  return reply;
}

}  // namespace

Json Sims::list(const std::string& organization_id) {
  return expect_list(transport_.get(sims_path(organization_id)), "sims");
}

Json Sims::retrieve(const std::string& organization_id, const std::string& sim_id) {
  return expect_object(transport_.get(sims_path(organization_id) + "/" + path_segment(sim_id)),
                       "sim " + sim_id);
}

Json Sims::get_by_name(const std::string& organization_id, const std::string& name) {
  const Json found = expect_list(
      transport_.get(sims_path(organization_id) + "?name=" + path_segment(name)), "sims");
  // Compare the names here as well: a platform that ignored the filter must not make an
  // upload land on some other simulator.
  for (const auto& sim : found)
    if (sim.contains("name") && sim["name"] == name) return sim;
  return Json();
}

Json Sims::create(const std::string& organization_id, const std::string& name,
                  const std::string& description) {
  Json body = {{"name", name}, {"description", description}};
  Json created = expect_object(transport_.post(sims_path(organization_id), body), "new sim");
  if (!created.contains("id")) throw unexpected("new sim", created, "no \"id\"");
  return created;
}

Json Sims::create_impl(const std::string& organization_id, const std::string& sim_id,
                       const std::string& archive_path, const std::string& type,
                       const UploadProgress& on_progress) {
  const std::string file_name = std::filesystem::path(archive_path).filename().string();
  core::http::Request request;
  request.method = "POST";
  request.url = sims_path(organization_id) + "/" + path_segment(sim_id) + "/implementations";
  request.multipart = {
      {"file", file_name, archive_path, "application/gzip"},
      {"type", type, std::nullopt, std::nullopt},
  };
  request.timeout_seconds = kUploadTimeoutSeconds;
  request.connect_timeout_seconds = Transport::kTimeoutSeconds;
  request.on_upload_progress = on_progress;
  return transport_.send(std::move(request));
}

}  // namespace tarvo::api
