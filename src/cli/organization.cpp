#include "cli/organization.hpp"

#include <string>
#include <vector>

#include "term/console.hpp"
#include "term/menu.hpp"

namespace tarvo::cli {
namespace {

std::string text_of(const api::Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  return value.dump();
}

}  // namespace

std::optional<api::Json> cli_select(api::Organizations& organizations) {
  const auto listed = organizations.list();
  if (auto configured = organizations.configured(listed)) return configured;

  const term::Console console(stdout);
  if (listed.empty()) {
    console.print("[red]No organizations found for this account.[/red]");
    return std::nullopt;
  }
  std::vector<std::string> entries;
  for (const auto& organization : listed) {
    entries.push_back(text_of(organization["name"]) +
                      " (uuid: " + text_of(organization.value("uuid", api::Json())) + ")");
  }
  const auto chosen = term::Menu(std::move(entries), "Select an Organization:").show();
  if (!chosen) {
    console.print("[yellow]No organization selected.[/yellow]");
    return std::nullopt;
  }
  return listed[*chosen];
}

}  // namespace tarvo::cli
