#pragma once
// `tarvo sim publish`: validates a simulator directory, packages it and uploads it to
// the organisation's catalogue.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

struct PublishOptions {
  std::optional<std::string> path;         // PATH; absent: "./"
  std::optional<std::string> path_option;  // --path, -p; wins over PATH
};

void publish(const PublishOptions& options);
void _publish(const std::string& path);

}  // namespace tarvo::cli::sim
