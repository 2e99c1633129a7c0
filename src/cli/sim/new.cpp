#include "cli/sim/new.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/sim/templates.hpp"
#include "core/paths.hpp"
#include "docker/sim_name.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {
namespace fs = std::filesystem;
namespace {

constexpr const char* kVersion = "0.1.0";

std::runtime_error cannot_create(const fs::path& path, const std::error_code& error) {
  return std::runtime_error("Cannot create " + path.string() + ": " + error.message());
}

// Everything written so far, removed again unless the scaffold completes, so that a
// failure leaves the disk as it was.
class Scaffold {
 public:
  Scaffold() = default;
  Scaffold(const Scaffold&) = delete;
  Scaffold& operator=(const Scaffold&) = delete;
  ~Scaffold() {
    if (done_) return;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      std::error_code ignored;
      fs::remove(*it, ignored);
    }
  }

  // Creates `dir` and any missing parents.
  void make_directories(const fs::path& dir) {
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path at = dir; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
      missing.push_back(at);
      if (at == at.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (!fs::create_directory(*it, error) && error) throw cannot_create(*it, error);
      made_.push_back(*it);
    }
  }

  // Writes a new file; never replaces one that exists.
  void write(const fs::path& path, std::string_view content, bool executable = false) {
    struct Closer {
      void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wx"));
    if (!file) throw cannot_create(path, std::error_code(errno, std::generic_category()));
    made_.push_back(path);
    if (std::fwrite(content.data(), 1, content.size(), file.get()) != content.size() ||
        std::fclose(file.release()) != 0)
      throw cannot_create(path, std::error_code(errno, std::generic_category()));
    if (executable) {
      std::error_code error;
      fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                      fs::perm_options::add, error);
    }
  }

  void complete() { done_ = true; }

 private:
  std::vector<fs::path> made_;
  bool done_ = false;
};

// The name becomes the folder, the image (tarvo/<name>) and the container name.
void check_name(const std::string& name) {
  if (const auto problem = tarvo::docker::sim_name_problem(name))
    throw std::invalid_argument("Invalid sim name '" + name + "': " + *problem);
}

// The example's Dockerfile, with this simulator's name where the example's stands.
std::string dockerfile(const std::string& name) {
  std::string text(templates::kDockerfile);
  constexpr std::string_view kExample = "python-sim";
  for (auto at = text.find(kExample); at != std::string::npos;
       at = text.find(kExample, at + name.size()))
    text.replace(at, kExample.size(), name);
  return text;
}

std::string manifest(const std::string& name, const std::string& description, bool is_docker) {
  const nlohmann::ordered_json manifest = {{"name", name},
                                           {"description", description},
                                           {"kind", is_docker ? "sim-docker" : "sim"},
                                           {"version", kVersion},
                                           {"command", {"python3", "sim.py"}}};
  return manifest.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// The example's README with this simulator's title and description in place of the
// example's own (everything before the first section).
std::string readme(const std::string& name, const std::string& description) {
  std::string_view body = templates::kReadmeMd;
  const auto sections = body.find("\n## ");
  body = sections == std::string_view::npos ? std::string_view{} : body.substr(sections + 1);
  std::string text = "# " + name + "\n\n";
  if (!description.empty()) text += description + "\n\n";
  return text + std::string(body);
}

// `text` as one shell word.
std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_./:@%+=,-") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void new_sim(const NewOptions& options) {
  create(options.name.value_or(kDefaultSimName),
         options.description.value_or(kDefaultSimDescription),
         options.location.value_or(kDefaultSimLocation), options.is_docker);
}

void create(const std::string& name, const std::string& description, const std::string& location,
            bool is_docker) {
  check_name(name);
  const fs::path dir = (fs::path(core::paths::expand_home(location)) / name).lexically_normal();

  std::error_code error;
  const auto status = fs::status(dir, error);
  if (fs::exists(status)) {
    if (!fs::is_directory(status))
      throw std::runtime_error(dir.string() + " already exists and is not a directory");
    if (!fs::is_empty(dir, error) || error)
      throw std::runtime_error(dir.string() + " already exists and is not empty");
  }

  struct File {
    const char* name;
    std::string content;
    const char* what;
    bool executable = false;
  };
  std::vector<File> files = {
      {"tarvo.json", manifest(name, description, is_docker),
       "the manifest: name, kind and how to start it"},
      {"sim.py", std::string(templates::kSimPy), "the simulator program (Python 3, a cart-pole)",
       true},
      {"README.md", readme(name, description), "how to develop, check and serve it"}};
  if (is_docker)
    files.push_back({"Dockerfile", dockerfile(name),
                     "the container image (serves on port 1337; needs the base image "
                     "tarvo:latest)"});

  Scaffold scaffold;
  scaffold.make_directories(dir);
  for (const auto& file : files)
    scaffold.write(dir / file.name, file.content, file.executable);
  scaffold.complete();

  const term::Console console;
  console.print("[green]Created sim '" + term::escape(name) + "'[/green] in " +
                term::escape(dir.string()));
  for (const auto& file : files) {
    std::string shown = file.name;
    shown.resize(12, ' ');
    console.print("  " + term::escape(shown) + file.what);
  }
  const std::string where = shell_word(dir.string());
  const std::pair<std::string, const char*> next[] = {
      {"tarvo sim validate " + where, "check that it keeps the protocol"},
      {"tarvo sim benchmark " + where, "measure steps per second"},
      {"tarvo sim run " + where, "serve it over gRPC on port 1337 (Ctrl-C stops it)"}};
  size_t width = 0;
  for (const auto& [command, what] : next)
    width = std::max(width, command.size());
  console.print("");
  console.print("Next, try:");
  for (const auto& [command, what] : next)
    console.print("  " + term::escape(command) + std::string(width + 2 - command.size(), ' ') +
                  "# " + what);
}

}  // namespace tarvo::cli::sim
