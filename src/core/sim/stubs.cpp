// Placeholders until the runtime lands.
#include <stdexcept>

#include "core/sim/benchmark.hpp"
#include "core/sim/client.hpp"
#include "core/sim/manifest.hpp"
#include "core/sim/network.hpp"
#include "core/sim/serializer_json.hpp"
#include "core/sim/server.hpp"
#include "core/sim/validator.hpp"

namespace tarvo::core::sim {
namespace {
[[noreturn]] void todo() {
  throw std::logic_error("not implemented yet");
}
}  // namespace

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
