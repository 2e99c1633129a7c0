// The hardware description sent when the machine registers as a compute node. Each
// probe falls back to a fixed value when its source is missing or unreadable.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/compute/compute.hpp"

namespace tarvo::cli::compute {
namespace {

using core::process::Stream;

std::string machine_system_name() {
  utsname name{};
  if (uname(&name) != 0) return {};
  return name.sysname;
}

unsigned machine_processor_count() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<unsigned>(online);
  return std::thread::hardware_concurrency();
}

std::string trim(std::string_view text) {
  const auto* space = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(space);
  return std::string(text.substr(first, last - first + 1));
}

// A whole decimal integer (optional sign), nothing else.
std::optional<long double> parse_integer(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  long double value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return text[0] == '-' ? -value : value;
}

std::optional<long double> darwin_memory_bytes() {
  core::process::Options options;
  options.out = Stream::capture;
  options.err = Stream::capture;
  return parse_integer(trim(core::process::run({"sysctl", "-n", "hw.memsize"}, options).out));
}

std::optional<long double> linux_memory_bytes(const std::filesystem::path& meminfo) {
  std::ifstream in(meminfo);
  if (!in) return std::nullopt;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("MemTotal:", 0) != 0) continue;
    std::istringstream fields(line);
    std::string label, amount;
    fields >> label >> amount;
    // The unit is always kB in practice, so the amount is taken as KiB.
    const auto kib = parse_integer(amount);
    if (!kib) return std::nullopt;
    return *kib * 1024;
  }
  return std::nullopt;
}

// A program that is on PATH but may not be run, as opposed to one that is absent.
bool on_path_but_not_executable(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const auto candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
        access(candidate.c_str(), X_OK) != 0)
      return true;
  }
  return false;
}

}  // namespace

std::string _get_memory_gib(const HardwareSources& sources) {
  try {
    const std::string system = sources.system_name ? sources.system_name() : machine_system_name();
    std::optional<long double> bytes;
    if (system == "Darwin") {
      bytes = darwin_memory_bytes();
    } else if (system == "Linux") {
      bytes = linux_memory_bytes(sources.meminfo);
    }
    if (!bytes) return "unknown";
    // Nearest whole GiB, ties to even (8.5 GiB gives 8, 9.5 GiB gives 10).
    const double gib = static_cast<double>(*bytes / 1073741824.0L);
    if (!std::isfinite(gib)) return "unknown";
    return std::to_string(static_cast<long long>(std::nearbyint(gib))) + "Gi";
  } catch (const std::exception&) {
    return "unknown";
  }
}

std::optional<std::string> _get_gpu_name() {
  core::process::Options options;
  options.out = Stream::capture;
  options.err = Stream::capture;
  core::process::Result result;
  try {
    result =
        core::process::run({"nvidia-smi", "--query-gpu=name", "--format=csv,noheader"}, options);
  } catch (const core::process::LaunchError&) {
    // Absent means no GPU; present but not runnable is a fault the user must see.
    if (on_path_but_not_executable("nvidia-smi"))
      throw core::process::LaunchError("nvidia-smi", "permission denied");
    return std::nullopt;
  }
  if (result.exit_code != 0) return std::nullopt;
  std::istringstream lines(trim(result.out));
  std::string line;
  while (std::getline(lines, line)) {
    auto name = trim(line);
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

Json _get_hardware_info(const HardwareSources& sources) {
  unsigned processors =
      sources.processor_count ? sources.processor_count() : machine_processor_count();
  if (processors == 0) processors = 1;
  Json cluster = Json::object();
  cluster["cpu"] = std::to_string(processors);
  cluster["memory"] = _get_memory_gib(sources);
  cluster["workers"] = Json::array();
  cluster["sims"] = Json::array();
  if (auto gpu = _get_gpu_name()) cluster["gpu"] = *gpu;
  return Json{{"cluster", cluster}};
}

}  // namespace tarvo::cli::compute
