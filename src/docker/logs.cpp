#include "docker/logs.hpp"

#include <algorithm>

namespace tarvo::docker {
namespace {

constexpr std::size_t kHeaderSize = 8;
// Enough of a bad stream to show what it was.
constexpr std::size_t kRawKept = 4096;

}  // namespace

bool LogDemuxer::feed(std::string_view bytes) {
  if (garbled_) return false;
  // Until one good header is seen the bytes may be an error reply instead.
  if (!framed_ && raw_.size() < kRawKept) raw_.append(bytes.substr(0, kRawKept - raw_.size()));
  while (!bytes.empty()) {
    if (remaining_ == 0) {
      const std::size_t wanted = kHeaderSize - header_.size();
      header_.append(bytes.substr(0, wanted));
      bytes.remove_prefix(std::min(wanted, bytes.size()));
      if (header_.size() < kHeaderSize) return true;
      const auto* h = reinterpret_cast<const unsigned char*>(header_.data());
      // Kind 0 (standard input) never carries output but is a valid frame.
      if (h[0] > 2 || h[1] != 0 || h[2] != 0 || h[3] != 0) {
        garbled_ = true;
        return false;
      }
      channel_ = h[0] == 2 ? LogChannel::err : LogChannel::out;
      remaining_ = static_cast<std::uint32_t>(h[4]) << 24 | static_cast<std::uint32_t>(h[5]) << 16 |
                   static_cast<std::uint32_t>(h[6]) << 8 | static_cast<std::uint32_t>(h[7]);
      header_.clear();
      framed_ = true;
      raw_.clear();
      continue;
    }
    const std::size_t take = std::min<std::size_t>(remaining_, bytes.size());
    remaining_ -= static_cast<std::uint32_t>(take);
    if (!sink_(channel_, bytes.substr(0, take))) return false;
    bytes.remove_prefix(take);
  }
  return true;
}

}  // namespace tarvo::docker
