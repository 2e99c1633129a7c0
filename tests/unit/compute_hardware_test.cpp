// The hardware probe: memory rounding and its fallbacks, the GPU name, the record.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "../e2e/harness.hpp"
#include "cli/compute/compute.hpp"
#include "compute_test_support.hpp"
#include "core/process.hpp"

namespace tarvo::cli::compute {
namespace {

using test::ScratchDir;

class HardwareProbe : public testing::Test {
 protected:
  void SetUp() override { env_.set("PATH", bin().string()); }
  std::filesystem::path bin() const { return dir_.path() / "bin"; }

  HardwareSources linux_with(const std::string& meminfo) {
    const auto path = dir_.path() / "meminfo";
    std::ofstream(path) << meminfo;
    HardwareSources sources;
    sources.meminfo = path;
    sources.system_name = [] { return std::string("Linux"); };
    return sources;
  }
  static std::string kib(double gib) {
    return "MemTotal:       " + std::to_string(static_cast<long long>(gib * 1048576)) + " kB\n";
  }

  ScratchDir dir_;
  test::ScopedEnvironment env_;
};

TEST_F(HardwareProbe, LinuxMemoryRoundsToTheNearestGibTiesToEven) {
  EXPECT_EQ(_get_memory_gib(linux_with("MemTotal:       16314168 kB\nMemFree: 1 kB\n")), "16Gi");
  EXPECT_EQ(_get_memory_gib(linux_with(kib(8.5))), "8Gi");
  EXPECT_EQ(_get_memory_gib(linux_with(kib(9.5))), "10Gi");
  EXPECT_EQ(_get_memory_gib(linux_with(kib(0.4))), "0Gi");
  // Only the first MemTotal line counts, and only at the start of a line.
  EXPECT_EQ(_get_memory_gib(linux_with("XMemTotal: 99999999 kB\n" + kib(4) + kib(64))), "4Gi");
}

TEST_F(HardwareProbe, UnreadableMemoryIsUnknown) {
  for (const auto* meminfo : {"MemFree: 1000 kB\n", "MemTotal: lots kB\n", "MemTotal:\n",
                              "Buffers: 1 kB\n  MemTotal: 1000 kB\n", ""}) {
    EXPECT_EQ(_get_memory_gib(linux_with(meminfo)), "unknown") << meminfo;
  }
  auto missing = linux_with("");
  missing.meminfo = dir_.path() / "absent";
  EXPECT_EQ(_get_memory_gib(missing), "unknown");

  auto other = linux_with(kib(16));
  other.system_name = [] { return std::string("linux"); };  // the comparison is exact
  EXPECT_EQ(_get_memory_gib(other), "unknown");
}

TEST_F(HardwareProbe, DarwinAsksSysctl) {
  HardwareSources darwin;
  darwin.system_name = [] { return std::string("Darwin"); };
  EXPECT_EQ(_get_memory_gib(darwin), "unknown");  // no sysctl on PATH

  test::install_fake(bin(), "sysctl", nlohmann::json::parse(R"([{"when": ["hw.memsize"],
      "results": [{"stdout": "  17179869184\n"}, {"stdout": "16 GB\n"}]}])"));
  EXPECT_EQ(_get_memory_gib(darwin), "16Gi");
  EXPECT_EQ(_get_memory_gib(darwin), "unknown");
  std::ifstream calls(bin() / "calls.jsonl");
  std::string first;
  std::getline(calls, first);
  EXPECT_EQ(nlohmann::json::parse(first)["argv"],
            nlohmann::json::parse(R"(["sysctl", "-n", "hw.memsize"])"));
}

TEST_F(HardwareProbe, GpuName) {
  EXPECT_EQ(_get_gpu_name(), std::nullopt);  // no nvidia-smi

  test::install_fake(bin(), "nvidia-smi", nlohmann::json::parse(R"([{"when": [], "results": [
      {"stdout": "\n \n  NVIDIA RTX 4090  \nNVIDIA T4\n"},
      {"exit": 9, "stdout": "NVIDIA T4\n"},
      {"stdout": " \n\n"}]}])"));
  EXPECT_EQ(_get_gpu_name(), "NVIDIA RTX 4090");
  EXPECT_EQ(_get_gpu_name(), std::nullopt);
  EXPECT_EQ(_get_gpu_name(), std::nullopt);

  // Present but not executable is a fault to report, not "no GPU".
  chmod((bin() / "nvidia-smi").c_str(), 0644);
  EXPECT_THROW(_get_gpu_name(), core::process::LaunchError);
}

TEST_F(HardwareProbe, RecordShape) {
  auto sources = linux_with(kib(32));
  sources.processor_count = [] { return 0u; };
  auto info = _get_hardware_info(sources);
  EXPECT_EQ(info.dump(), R"({"cluster":{"cpu":"1","memory":"32Gi","workers":[],"sims":[]}})");

  test::install_fake(bin(), "nvidia-smi",
                     nlohmann::json::parse(R"([{"when": [], "results": [{"stdout": "A100\n"}]}])"));
  sources.processor_count = [] { return 12u; };
  info = _get_hardware_info(sources);
  EXPECT_EQ(info.dump(),
            R"({"cluster":{"cpu":"12","memory":"32Gi","workers":[],"sims":[],"gpu":"A100"}})");
}

}  // namespace
}  // namespace tarvo::cli::compute
