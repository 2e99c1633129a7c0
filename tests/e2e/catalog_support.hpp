#pragma once
// What the catalogue's end-to-end tests share: the platform emulator seeded with one
// organisation and its simulators, and a reader for the tables tarvo prints.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compute_support.hpp"

namespace tarvo::test {

inline constexpr const char* kOrganization = "org-1";

// The cells of the header and data rows of a box-drawn table, trimmed.
inline std::vector<std::vector<std::string>> table_rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    // Cells are separated by "│" in data rows and "┃" in the header: both three bytes
    // that start with E2 94, never found inside other text of these tests.
    for (const char* bar : {"┃", "│"})
      for (auto at = line.find(bar); at != std::string::npos; at = line.find(bar, at))
        line.replace(at, 3, "|");
    if (line.empty() || line[0] != '|') continue;
    std::vector<std::string> cells;
    std::istringstream fields(line.substr(1));
    for (std::string cell; std::getline(fields, cell, '|');) {
      cell.erase(0, cell.find_first_not_of(' '));
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    rows.push_back(cells);
  }
  return rows;
}

class CatalogTest : public testing::Test {
 protected:
  // Starts the emulator with one organisation holding `sims`; `extra` are further
  // emulator options.
  void start_platform(const Json& sims, const std::vector<std::string>& extra = {},
                      const std::string& organization_name = "Acme") {
    const Json seed = {
        {"organizations", Json::array({{{"uuid", kOrganization}, {"name", organization_name}}})},
        {"sims", {{kOrganization, sims}}}};
    write_file(session_.home() / "seed.json", seed.dump());
    std::vector<std::string> argv = {build_bin("tarvo-platform-emulator").string(), "--port", "0",
                                     "--data", (session_.home() / "seed.json").string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    platform_ = std::make_unique<BackgroundServer>(argv);
    session_.env()["TARVO_API_URL"] = "http://127.0.0.1:" + std::to_string(platform_->port());
    session_.env()["TARVO_ORGANIZATION"] = kOrganization;
    session_.env()["NO_COLOR"] = "1";
    session_.env()["COLUMNS"] = "200";
  }

  // The organisation's catalogue as the emulator has it now.
  Json catalogue() const {
    httplib::Client client("127.0.0.1", platform_->port());
    const auto reply = client.Get(std::string("/v1/organizations/") + kOrganization + "/sims");
    if (!reply) throw std::runtime_error("emulator not answering");
    return Json::parse(reply->body);
  }

  Session session_;
  std::unique_ptr<BackgroundServer> platform_;
};

}  // namespace tarvo::test
