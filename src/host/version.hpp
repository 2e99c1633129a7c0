#pragma once
// What `tarvo --version` prints.
#include <string>

namespace tarvo::host {

// "tarvo <version>", followed by " (commit <id>)" in a build from a git checkout.
std::string version_text();

}  // namespace tarvo::host
