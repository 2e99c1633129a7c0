// tarvo-cli-docs OUTPUT_DIR VERSION
//
// Writes tarvo's shell completions and manual pages, generated from the command
// definitions that tarvo itself parses with, under OUTPUT_DIR in the installed layout:
//   share/bash-completion/completions/tarvo
//   share/zsh/vendor-completions/_tarvo
//   share/fish/vendor_completions.d/tarvo.fish
//   share/man/man1/tarvo.1, tarvo-compute.1, tarvo-sim.1
// The build runs it, so that they never drift from the command line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "cli/surfaces.hpp"
#include "command_tree.hpp"
#include "writers.hpp"

namespace {

namespace docs = tarvo::tools::cli_docs;

// The surfaces only bind options here; no command ever runs.
const tarvo::cli::CommandTable& no_commands() {
  static const tarvo::cli::CommandTable table;
  return table;
}

void write(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR VERSION\n", argv[0]);
    return 2;
  }
  try {
    const std::filesystem::path share = std::filesystem::path(argv[1]) / "share";
    const std::string version = argv[2];
    const auto app = tarvo::cli::make_app(no_commands, "tarvo " + version);
    const auto root = docs::describe(*app);
    write(share / "bash-completion/completions/tarvo", docs::bash_completion(root));
    write(share / "zsh/vendor-completions/_tarvo", docs::zsh_completion(root));
    write(share / "fish/vendor_completions.d/tarvo.fish", docs::fish_completion(root));
    write(share / "man/man1/tarvo.1", docs::manual_page(root, root, version));
    for (const auto& group : root.commands)
      write(share / "man/man1" / ("tarvo-" + group.name() + ".1"),
            docs::manual_page(root, group, version));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvo-cli-docs: %s\n", e.what());
    return 1;
  }
}
