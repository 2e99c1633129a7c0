#pragma once
// `tarvo compute project`: links the connected node to one of the organisation's projects.

namespace tarvo::cli::compute {

struct ProjectOptions {};

void project(const ProjectOptions& options);

}  // namespace tarvo::cli::compute
