// The simulator group's bodies, by name: each turns the surface's JSON arguments into
// the body's own parameters.
#include <stdexcept>
#include <string>

#include "cli/body_table.hpp"
#include "cli/sim/args.hpp"
#include "cli/sim/benchmark.hpp"
#include "cli/sim/catalog.hpp"
#include "cli/sim/containers.hpp"
#include "cli/sim/run.hpp"
#include "cli/sim/validate.hpp"
#include "core/literal.hpp"

namespace tarvo::cli {
namespace {

using namespace sim;

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
    {"sim.validate", validate},  {"sim.benchmark", benchmark}, {"sim.run", run},
    {"sim.publish", publish},    {"sim.list", list},           {"sim.retrieve", retrieve},
    {"sim.start", sim::start},   {"sim.logs", sim::logs},      {"sim.stop", sim::stop},
    {"sim.status", sim::status}, {"sim.info", sim::info},      {"sim.mappings", sim::mappings},
};

}  // namespace

std::span<const BodyEntry> envdesk_bodies() {
  return kBodies;
}

}  // namespace tarvo::cli
