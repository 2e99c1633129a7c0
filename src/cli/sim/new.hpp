#pragma once
// The scaffolding operation behind `tarvo sim new`: writes a new simulator project.
#include <string>

namespace tarvo::cli::sim {

// Creates <location>/<name>/ with a manifest, a working simulator program and a
// README (and a Dockerfile when `is_docker`), then prints what it made and what to
// try next. Refuses to write into an existing non-empty directory.
void create(const std::string& name, const std::string& description, const std::string& location,
            bool is_docker);

}  // namespace tarvo::cli::sim
