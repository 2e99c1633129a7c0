#pragma once
// `tarvo sim mappings`: a simulator's spaces as a JSON description of their variables.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::cli::sim {

struct MappingsOptions {
  std::optional<std::string> image;    // --image: started in a container first
  std::optional<std::string> address;  // --address
};

void mappings(const MappingsOptions& options);

// The space mapping of the simulator at `address`, or of a container started from
// `image`; nothing when that container cannot be started.
std::optional<nlohmann::ordered_json> _mappings(const std::optional<std::string>& image,
                                                const std::optional<std::string>& address);

}  // namespace tarvo::cli::sim
