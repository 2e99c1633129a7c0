#pragma once
// `tarvo sim info`: a running simulator's address checks, spaces and sensors.
#include <string>

namespace tarvo::cli::sim {

struct InfoOptions {
  std::string address;  // --address
  std::string name;     // --name: a simulator to start in a container first
  std::string env_id;   // --env-id
};

void info(const InfoOptions& options);

}  // namespace tarvo::cli::sim
