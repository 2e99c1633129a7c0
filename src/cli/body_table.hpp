#pragma once
// Inside the loaded library: each group lists its bodies by name.
#include <span>

#include "cli/body.hpp"

namespace tarvo::cli {

using Body = void (*)(const Args& args);

struct BodyEntry {
  const char* name;
  Body body;
};

std::span<const BodyEntry> nodelink_bodies();
std::span<const BodyEntry> envdesk_bodies();

}  // namespace tarvo::cli

// The one symbol the executable looks up in the loaded library.
extern "C" void tarvo_run_body(const char* name, const tarvo::cli::Args& args);
