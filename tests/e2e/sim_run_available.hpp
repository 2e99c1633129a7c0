#pragma once
// Whether this build serves simulators with `tarvo sim run`: tests that need a served
// simulator skip, saying so, in a tree that does not have that command's body yet.
#include <string>

#include "harness.hpp"

namespace tarvo::test {

inline bool sim_run_available() {
  const auto result = Session().run({"sim", "run", "/nonexistent/simulator"});
  return result.err.find("no command body named sim.run") == std::string::npos;
}

}  // namespace tarvo::test
