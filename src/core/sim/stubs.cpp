// Placeholders until the runtime lands.
#include <stdexcept>

#include "core/sim/benchmark.hpp"
#include "core/sim/client.hpp"
#include "core/sim/manifest.hpp"
#include "core/sim/network.hpp"
#include "core/sim/serializer_json.hpp"
#include "core/sim/server.hpp"
#include "core/sim/validator.hpp"

namespace tarvo::core {
bool is_port_opened(const std::string&) {
  return false;
}
bool is_channel_available(const std::string&) {
  return false;
}
}  // namespace tarvo::core

namespace tarvo::core::sim {
namespace {
[[noreturn]] void todo() {
  throw std::logic_error("not implemented yet");
}
}  // namespace

Manifest read_manifest(const std::filesystem::path&) {
  todo();
}
std::string serialize(const nlohmann::ordered_json& value) {
  return value.dump(2);
}

Client::Client(std::unique_ptr<Transport> transport, std::string env_id, nlohmann::json env_init)
    : transport_(std::move(transport)),
      env_id_(std::move(env_id)),
      env_init_(std::move(env_init)) {}
Client::~Client() = default;
void Client::init() {
  todo();
}
const Space& Client::sensor_space() {
  todo();
}
const Space& Client::action_space() {
  todo();
}
ResetResult Client::reset(std::optional<std::int64_t>) {
  todo();
}
StepResult Client::step(const nlohmann::json&) {
  todo();
}
void Client::close() {
  todo();
}
std::string Client::call(std::string_view, std::string_view) {
  todo();
}
nlohmann::json Client::call_json(std::string_view, std::string_view) {
  todo();
}
std::unique_ptr<Client> make(const std::string&, const std::string&, const std::string&,
                             const nlohmann::json&, const std::string&, const ClientOptions&) {
  todo();
}
std::unique_ptr<Client> create_client(const std::string&, const std::string&, const std::string&,
                                      int, const nlohmann::json&, const ClientOptions&) {
  todo();
}
std::pair<std::string, int> split_address(const std::string&) {
  todo();
}

std::unique_ptr<Server> make_from_sim_path(const std::filesystem::path&, const std::string&, int,
                                           const nlohmann::ordered_json&, const std::string&,
                                           const ServerOptions&) {
  todo();
}

std::pair<bool, std::vector<Issue>> validate(const std::optional<std::string>&, const std::string&,
                                             const ValidateOptions&) {
  todo();
}
void print_issues(const std::vector<Issue>&) {
  todo();
}
double benchmark(const std::optional<std::string>&, long long, const std::string&) {
  todo();
}

}  // namespace tarvo::core::sim
