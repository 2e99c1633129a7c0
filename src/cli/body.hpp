#pragma once
// The narrow entry between the command surfaces (in the executable) and the command
// bodies (in the library that is loaded on first use). Arguments travel as JSON so
// that the entry stays one function whatever the command.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::cli {

using Args = nlohmann::ordered_json;

// Runs the body registered under `name` ("compute.connect", "sim.run", ...).
// Every failure of the body passes out unchanged.
void run_body(const std::string& name, const Args& args);

}  // namespace tarvo::cli
