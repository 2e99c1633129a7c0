// The simulator group's bodies, by name: each turns the surface's JSON arguments into
// the body's own parameters.
#include <stdexcept>
#include <string>

#include "cli/body_table.hpp"
#include "cli/envdesk/args.hpp"
#include "cli/envdesk/benchmark.hpp"
#include "cli/envdesk/catalog.hpp"
#include "cli/envdesk/containers.hpp"
#include "cli/envdesk/run.hpp"
#include "cli/envdesk/validate.hpp"
#include "core/literal.hpp"

namespace tarvo::cli {
namespace {

using namespace envdesk;

void validate(const Args& args) {
  _validate(optional_text(args, "path"), optional_text(args, "address"),
            text_or(args, "protocol", "grpc"));
}

void benchmark(const Args& args) {
  _benchmark(optional_text(args, "path"), optional_text(args, "address"),
             integer_or(args, "samples", 1000));
}

void run(const Args& args) {
  nlohmann::ordered_json env_init;
  try {
    env_init = core::parse_mapping_literal(text_or(args, "env_init", "{}"));
  } catch (const core::LiteralError& e) {
    throw std::invalid_argument(std::string("invalid --env-init: ") + e.what());
  }
  _run(text_or(args, "path", "./"), text_or(args, "host", "0.0.0.0"),
       static_cast<int>(integer_or(args, "port", 1337)), text_or(args, "protocol", "grpc"),
       env_init);
}

void publish(const Args& args) {
  const auto path = optional_text(args, "path");
  if (!path) throw std::invalid_argument("path must be text");
  _publish(*path);
}

void list(const Args& args) {
  if (args.value("local", false))
    _list_docker();
  else
    _list();
}

void retrieve(const Args&) {
  _retrieve();
}

constexpr BodyEntry kBodies[] = {
    {"sim.validate", validate},
    {"sim.benchmark", benchmark},
    {"sim.run", run},
    {"sim.publish", publish},
    {"sim.list", list},
    {"sim.retrieve", retrieve},
    {"sim.start", envdesk::start},
    {"sim.logs", envdesk::logs},
    {"sim.stop", envdesk::stop},
    {"sim.status", envdesk::status},
    {"sim.info", envdesk::info},
    {"sim.mappings", envdesk::mappings},
};

}  // namespace

std::span<const BodyEntry> envdesk_bodies() {
  return kBodies;
}

}  // namespace tarvo::cli
