#include "compute/state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "core/fd.hpp"
#include "core/files.hpp"
#include "core/json_limits.hpp"

namespace tarvo::compute::state {
namespace {

// A record is a few hundred bytes; anything near this is not one.
constexpr std::uintmax_t kMaxStateBytes = 1 << 20;
constexpr std::string_view kTempPrefix = ".compute.json.";

std::runtime_error state_error(const std::filesystem::path& path, const std::string& what) {
  return std::runtime_error("compute node state " + path.string() + ": " + what);
}

// A stored file that cannot be a record: say how to get out of it.
std::runtime_error corrupt_state(const std::filesystem::path& path, const std::string& what) {
  return state_error(path, what +
                               "; repair or remove the file (tarvo compute disconnect needs the "
                               "cluster id stored in it to deregister the node)");
}

// Temporary files of saves that never finished (the process was killed): their
// names carry the saving process's id, and that process is gone.
void remove_leftover_temporaries(const std::filesystem::path& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kTempPrefix, 0) != 0) continue;
    const std::string_view rest = std::string_view(name).substr(kTempPrefix.size());
    pid_t pid = 0;
    const auto [end, parsed] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    const bool owner_alive = parsed == std::errc() && end != rest.data() && *end == '.' &&
                             pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
    if (!owner_alive) ::unlink(entry.path().c_str());
  }
}

void write_all(int fd, const std::string& data, const std::filesystem::path& path) {
  std::string_view rest(data);
  while (!rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw state_error(path, std::strerror(errno));
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::filesystem::path state_file_path() {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  std::filesystem::path base;
  if (state_home && *state_home) {
    base = state_home;
  } else {
    const char* home = std::getenv("HOME");
    base = std::filesystem::path(home && *home ? home : ".") / ".local" / "state";
  }
  return base / "tarvo" / "compute.json";
}

std::optional<Record> load() {
  const auto path = state_file_path();
  std::optional<std::string> text;
  try {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxStateBytes)
      throw corrupt_state(path, "larger than " + std::to_string(kMaxStateBytes) + " bytes");
    text = core::files::read_if_exists(path);
  } catch (const std::system_error& e) {
    throw state_error(path, "cannot read (" + e.code().message() + ")");
  }
  if (!text) return std::nullopt;
  Record record;
  try {
    record = core::parse_outside_json(*text);
  } catch (const core::JsonError& e) {
    throw corrupt_state(path, e.what());
  }
  if (!record.is_object()) throw corrupt_state(path, "not a JSON object");
  return record;
}

void save(const Record& record) {
  const auto path = state_file_path();
  // Refuse what load() would reject, rather than store a record nobody can read back.
  if (!record.is_object())
    throw state_error(path, "refusing to store a record that is not an object");
  std::string text;
  try {
    text = record.dump(2) + "\n";
  } catch (const nlohmann::json::type_error& e) {
    throw state_error(path, std::string("cannot encode the record (") + e.what() + ")");
  }

  const auto folder = path.parent_path();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) throw state_error(path, error.message());

  remove_leftover_temporaries(folder);
  // Write beside the target, flush to disk, then rename over it: a reader sees the
  // old record or the new one, never half of one. mkstemp creates the file 0600.
  std::string temp =
      (folder / (std::string(kTempPrefix) + std::to_string(::getpid()) + ".XXXXXX")).string();
  core::Fd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) throw state_error(path, std::strerror(errno));
  struct RemoveUnlessRenamed {
    const std::string& temp;
    bool renamed = false;
    ~RemoveUnlessRenamed() {
      if (!renamed) ::unlink(temp.c_str());
    }
  } cleanup{temp};
  write_all(fd.get(), text, path);
  if (fsync(fd.get()) != 0) throw state_error(path, std::strerror(errno));
  if (::close(fd.release()) != 0) throw state_error(path, std::strerror(errno));
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw state_error(path, std::strerror(errno));
  cleanup.renamed = true;
  // Make the rename itself durable.
  core::Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) fsync(dir.get());
}

void delete_() {
  const auto path = state_file_path();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw state_error(path, std::strerror(errno));
}

}  // namespace tarvo::compute::state
