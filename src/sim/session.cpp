#include "sim/session.hpp"

#include <algorithm>

#include "core/json_limits.hpp"
#include "sim/client.hpp"
#include "sim/json_shape.hpp"

namespace tarvo::sim {

namespace {

using nlohmann::ordered_json;

bool is_method_name(std::string_view method) {
  return !method.empty() && method.size() <= 64 &&
         std::all_of(method.begin(), method.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
         });
}

std::string_view trim(std::string_view text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Arguments longer than this are written to the simulator from where they are.
constexpr std::size_t kCopyLimit = std::size_t{64} << 10;
// A request buffer that one large call grew past this is let go afterwards.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 20;

void blank_line_breaks(char* at, char* end) {
  for (; at != end; ++at)
    if (*at == '\n' || *at == '\r') *at = ' ';
}

std::string excerpt(std::string_view line) {
  std::string out;
  for (unsigned char c : line.substr(0, 80))
    out += (c < 0x20 || c == 0x7f) ? '?' : char(c);
  if (line.size() > 80) out += "...";
  return out;
}

}  // namespace

bool is_reply_line(std::string_view line) {
  auto shape = json_shape(line);
  return shape.object && shape.has_reply_key;
}

bool SessionSlots::try_take() {
  auto taken = taken_.load(std::memory_order_relaxed);
  do {
    if (taken >= limit_) return false;
  } while (!taken_.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
  return true;
}

void SessionSlots::give_back() {
  taken_.fetch_sub(1, std::memory_order_relaxed);
}

Session::Slot::Slot(const std::shared_ptr<SessionSlots>& slots) {
  if (slots && !slots->try_take())
    throw TooManySessions("the server already runs " + std::to_string(slots->limit()) +
                          " sessions, as many as it may; end one and try again");
  slots_ = slots;
}

Session::Slot::~Slot() {
  if (slots_) slots_->give_back();
}

Session::Session(const SessionSetup& setup)
    : setup_(setup),
      slot_(setup.slots),
      child_(setup.command, setup.dir, setup.log_name, setup.cancel_fd) {}

std::string_view Session::call(std::string_view method, std::string_view args) {
  return relay(method, args, nullptr);
}

std::string_view Session::call_in_place(std::string_view method, std::string& args) {
  return relay(method, args, &args);
}

std::string_view Session::refuse(const std::string& message) {
  refusal_ = ordered_json{{"error", message}}.dump();
  return refusal_;
}

std::string_view Session::relay(std::string_view method, std::string_view args,
                                std::string* owned) {
  if (over_) throw SessionError("the simulator session is over");
  if (!is_method_name(method)) return refuse("invalid method name");
  args = trim(args);
  if (args.empty()) args = "{}";
  // One complete JSON object, whatever follows its first byte: the simulator is
  // handed nothing it would have to make sense of itself.
  const auto shape = json_shape(args);
  if (shape.too_deep)
    return refuse("the arguments of '" + std::string(method) + "' are nested deeper than " +
                  std::to_string(core::kMaxJsonDepth) + " levels");
  if (!shape.object)
    return refuse("the arguments of '" + std::string(method) + "' are not a JSON object");

  // The request line is the arguments object with "method" put in front, built
  // without decoding the arguments (except for make, which merges env_init).
  request_.assign("{\"method\":\"").append(method).append("\"");
  std::string_view rest;  // written after request_, from where it is
  if (method == "make") {
    auto parsed = ordered_json::parse(args);  // within the nesting limit: checked above
    ordered_json env_init = setup_.env_init.is_object() ? setup_.env_init : ordered_json::object();
    if (auto it = parsed.find("env_init"); it != parsed.end() && it->is_object())
      for (auto item = it->begin(); item != it->end(); ++item)
        env_init[item.key()] = item.value();
    parsed["env_init"] = std::move(env_init);
    if (!parsed.contains("env_id")) parsed["env_id"] = "";
    for (auto item = parsed.begin(); item != parsed.end(); ++item)
      request_.append(",")
          .append(ordered_json(item.key()).dump())
          .append(":")
          .append(item.value().dump(-1, ' ', false, ordered_json::error_handler_t::replace));
    request_.append("}\n");
  } else {
    std::string_view body = trim(args.substr(1));  // after "{"
    if (body != "}") request_.append(",");
    // JSON strings hold no raw line breaks, so these are whitespace: keep the line whole.
    if (owned && body.size() > kCopyLimit) {
      char* at = owned->data() + (body.data() - owned->data());
      blank_line_breaks(at, at + body.size());
      rest = body;
    } else {
      const std::size_t from = request_.size();
      request_.append(body);
      blank_line_breaks(request_.data() + from, request_.data() + request_.size());
      request_.append("\n");
    }
  }

  try {
    auto line = rest.empty() ? child_.exchange({request_}, setup_.reply_timeout)
                             : child_.exchange({request_, rest, "\n"}, setup_.reply_timeout);
    // A large call's buffer is not kept for the small ones that follow.
    if (request_.capacity() > kKeepCapacity) std::string().swap(request_);
    if (!is_reply_line(line)) {
      std::string hint;
      if (json_shape(line).too_deep)
        hint = " (it is nested deeper than " + std::to_string(core::kMaxJsonDepth) + " levels)";
      else if (line.find("NaN") != std::string_view::npos ||
               line.find("Infinity") != std::string_view::npos)
        hint = " (JSON has no NaN or Infinity: a number in it is not finite)";
      throw SessionError("the simulator answered '" + std::string(method) +
                         "' with a line that is not a reply" + hint + ": " + excerpt(line));
    }
    if (method == "close") {
      over_ = true;
      child_.finish(std::chrono::seconds(2));
    }
    return line;
  } catch (const SessionError&) {
    over_ = true;
    child_.finish(std::chrono::milliseconds(0));
    throw;
  }
}

}  // namespace tarvo::sim
