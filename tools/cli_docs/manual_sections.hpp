#pragma once
// What the manual pages say beyond the command definitions: the environment tarvo
// reads, the files it uses and its exit codes (as the README's Settings, Docker and
// exit code sections state them).
#include <string>
#include <vector>

namespace tarvo::tools::cli_docs {

// Which manual pages an entry belongs on: tarvo(1) lists every entry, a group's page
// those of its group.
enum Pages : unsigned { kCompute = 1, kSim = 2, kBoth = kCompute | kSim };

struct Entry {
  std::string name;  // a variable, a file or an exit code
  std::string text;
  unsigned pages = kBoth;
};

const std::vector<Entry>& environment();
const std::vector<Entry>& files();
const std::vector<Entry>& exit_codes();

// The page a group's entries are for: kCompute for "compute", kSim for "sim".
unsigned pages_of(const std::string& group);

}  // namespace tarvo::tools::cli_docs
