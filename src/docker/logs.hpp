#pragma once
// The engine's log stream of a container without a terminal interleaves standard
// output and standard error in frames: an 8-byte header (stream kind, three zero
// bytes, payload length as a big-endian 32-bit number) and the payload. This splits
// it again, handing payload bytes on as they arrive.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarvo::docker {

enum class LogChannel { out, err };

class LogDemuxer {
 public:
  // Receives payload pieces; returns false to stop.
  using Sink = std::function<bool(LogChannel, std::string_view)>;
  explicit LogDemuxer(Sink sink) : sink_(std::move(sink)) {}

  // Feeds the next bytes of the stream. False when the sink asked to stop or the
  // bytes are not a framed stream (then garbled() is true). Until the first frame
  // header, raw() keeps the bytes seen, for an error message.
  bool feed(std::string_view bytes);

  bool garbled() const { return garbled_; }
  // Whether the stream ended in the middle of a header or payload.
  bool truncated() const { return !header_.empty() || remaining_ > 0; }
  const std::string& raw() const { return raw_; }

 private:
  Sink sink_;
  std::string header_;
  std::uint32_t remaining_ = 0;
  LogChannel channel_ = LogChannel::out;
  bool garbled_ = false;
  bool framed_ = false;
  std::string raw_;
};

}  // namespace tarvo::docker
