#include "cli/body_table.hpp"

#include <stdexcept>
#include <string_view>

#include "core/interrupt.hpp"

extern "C" __attribute__((visibility("default"))) void tarvo_run_body(
    const char* name, const tarvo::cli::Args& args) {
  // The library carries its own interrupt flag; make Ctrl-C set this one.
  tarvo::core::interrupt::install();
  for (auto table : {tarvo::cli::nodelink_bodies(), tarvo::cli::envdesk_bodies()}) {
    for (const auto& entry : table) {
      if (std::string_view(entry.name) == name) {
        entry.body(args);
        return;
      }
    }
  }
  throw std::logic_error(std::string("no command body named ") + name);
}
