// The `compute` group's bodies, by name.
#include "cli/body_table.hpp"
#include "cli/compute/compute.hpp"

namespace tarvo::cli {
namespace {

void connect(const Args& args) {
  const auto& name = args.value("name", Args());
  compute::_connect_async(name.is_string() ? std::optional(name.get<std::string>()) : std::nullopt);
}

void project(const Args&) {
  compute::_project_async();
}

void disconnect(const Args&) {
  compute::_disconnect_async();
}

constexpr BodyEntry kBodies[] = {
    {"compute.connect", connect},
    {"compute.project", project},
    {"compute.disconnect", disconnect},
};

}  // namespace

std::span<const BodyEntry> nodelink_bodies() {
  return kBodies;
}

}  // namespace tarvo::cli
