#pragma once
// tarvo's help layout on top of CLI11's: a command list shows each command's first
// help line only, and flag pairs are shown without CLI11's "{false}" value notes.
#include <memory>

#include <CLI/CLI.hpp>

namespace tarvo::host {

std::shared_ptr<CLI::Formatter> make_help_formatter();

}  // namespace tarvo::host
