#include "compute/state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tarvo::compute::state {
namespace {

std::runtime_error state_error(const std::filesystem::path& path, const std::string& what) {
  return std::runtime_error("compute node state " + path.string() + ": " + what);
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
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT || !std::filesystem::exists(path)) return std::nullopt;
    throw state_error(path, std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  Record record;
  try {
    record = Record::parse(text.str());
  } catch (const nlohmann::json::parse_error& e) {
    throw state_error(path, std::string("not valid JSON (") + e.what() + ")");
  }
  if (!record.is_object()) throw state_error(path, "not a JSON object");
  return record;
}

void save(const Record& record) {
  const auto path = state_file_path();
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) throw state_error(path, error.message());

  // Write beside the target, flush to disk, then rename over it: a reader sees the
  // old record or the new one, never half of one.
  std::string temp = (path.parent_path() / ".compute.json.XXXXXX").string();
  const int fd = mkstemp(temp.data());
  if (fd < 0) throw state_error(path, std::strerror(errno));
  struct Cleanup {
    int fd;
    std::string temp;
    bool done = false;
    ~Cleanup() {
      if (fd >= 0) ::close(fd);
      if (!done) ::unlink(temp.c_str());
    }
  } cleanup{fd, temp};
  if (fchmod(fd, 0600) != 0) throw state_error(path, std::strerror(errno));
  write_all(fd, record.dump(2) + "\n", path);
  if (fsync(fd) != 0) throw state_error(path, std::strerror(errno));
  ::close(cleanup.fd);
  cleanup.fd = -1;
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw state_error(path, std::strerror(errno));
  cleanup.done = true;
}

void delete_() {
  const auto path = state_file_path();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw state_error(path, std::strerror(errno));
}

}  // namespace tarvo::compute::state
