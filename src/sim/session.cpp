#include "sim/session.hpp"

#include <algorithm>

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

Session::Session(const SessionSetup& setup)
    : setup_(setup), child_(setup.command, setup.dir, setup.log_name, setup.cancel_fd) {}

std::string_view Session::call(std::string_view method, std::string_view args) {
  if (over_) throw SessionError("the simulator session is over");
  auto refuse = [this](const std::string& message) -> std::string_view {
    refusal_ = ordered_json{{"error", message}}.dump();
    return refusal_;
  };
  if (!is_method_name(method)) return refuse("invalid method name");
  args = trim(args);
  if (args.empty()) args = "{}";
  if (args.front() != '{' || !json_shape(args).object)
    return refuse("the arguments of '" + std::string(method) + "' are not a JSON object");

  // The request line is the arguments object with "method" put in front, built
  // without decoding the arguments (except for make, which merges env_init).
  request_.assign("{\"method\":\"").append(method).append("\"");
  if (method == "make") {
    auto parsed = ordered_json::parse(args);
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
    const std::size_t from = request_.size();
    request_.append(body);
    // JSON strings hold no raw line breaks, so these are whitespace: keep the line whole.
    for (std::size_t at = from; at < request_.size(); ++at)
      if (request_[at] == '\n' || request_[at] == '\r') request_[at] = ' ';
    request_.append("\n");
  }

  try {
    auto line = child_.exchange(request_, setup_.reply_timeout);
    if (!is_reply_line(line)) {
      std::string hint;
      if (line.find("NaN") != std::string_view::npos ||
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
