#pragma once
// `tarvo sim list`: the organisation's simulators on the platform, or with --local the
// simulator images of the local Docker engine.

namespace tarvo::cli::sim {

struct ListOptions {
  bool local = false;  // --local / --no-local
  bool json = false;   // --json: one JSON document for scripts
};

void list(const ListOptions& options);
void _list();
void _list_docker();

}  // namespace tarvo::cli::sim
