#include "sim/validator.hpp"

#include <cmath>
#include <random>
#include <set>
#include <stdexcept>

#include "core/interrupt.hpp"
#include "sim/client.hpp"
#include "sim/manifest.hpp"
#include "sim/target.hpp"

namespace tarvo::sim {

namespace {

using nlohmann::ordered_json;

std::string excerpt(const ordered_json& value) {
  auto text = value.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  return text.size() > 100 ? text.substr(0, 100) + "..." : text;
}

bool is_timeout(const SessionError& error) {
  std::string_view message = error.what();
  return message.find("did not reply within") != std::string_view::npos ||
         message.find("in time") != std::string_view::npos;
}

// Collects issues, each check at most once: one fault repeated on every step is
// one issue.
class Report {
 public:
  void add(const std::string& check, const std::string& message) {
    if (seen_.insert(check).second) issues_.push_back({check, message});
  }
  void session_over(const SessionError& error, const std::string& during) {
    if (is_timeout(error))
      add("hang", std::string("no reply during ") + during + ": " + error.what());
    else
      add("session", std::string("the session ended during ") + during + ": " + error.what());
  }
  std::vector<Issue> take() { return std::move(issues_); }

 private:
  std::set<std::string> seen_;
  std::vector<Issue> issues_;
};

void check_step(const StepResult& step, const Space& sensors, Report& report) {
  if (!contains(sensors, step.observation))
    report.add("observation", "step observation " + excerpt(step.observation) +
                                  " is not inside the sensor space " + to_string(sensors));
  if (!step.reward.is_number() || !std::isfinite(step.reward.get<double>()))
    report.add("reward", "step reward " + excerpt(step.reward) + " is not a finite number");
  if (!step.terminated.is_boolean() || !step.truncated.is_boolean())
    report.add("flags", "step flags terminated " + excerpt(step.terminated) + " and truncated " +
                            excerpt(step.truncated) + " must both be true or false");
}

// Resets and steps with sampled actions; false when the session is over.
bool run_episodes(Client& client, const ValidateOptions& options, Report& report) {
  const auto& sensors = client.sensor_space();
  const auto& actions = client.action_space();
  std::mt19937_64 random(options.seed);
  for (int episode = 0; episode < options.episodes; ++episode) {
    try {
      auto reset = client.reset(static_cast<std::int64_t>(options.seed) + episode);
      if (!contains(sensors, reset.observation))
        report.add("observation", "reset observation " + excerpt(reset.observation) +
                                      " is not inside the sensor space " + to_string(sensors));
    } catch (const SimulatorError& error) {
      report.add("reset", error.what());
      return true;
    } catch (const SessionError& error) {
      report.session_over(error, "reset");
      return false;
    }
    for (int step = 0; step < options.steps; ++step) {
      try {
        auto result = client.step(sample(actions, random));
        check_step(result, sensors, report);
        if ((result.terminated.is_boolean() && result.terminated.get<bool>()) ||
            (result.truncated.is_boolean() && result.truncated.get<bool>()))
          break;
      } catch (const SimulatorError& error) {
        report.add("step", std::string(error.what()) + " (the action was sampled from " +
                               to_string(actions) + ")");
        return true;
      } catch (const SessionError& error) {
        report.session_over(error, "step");
        return false;
      }
    }
  }
  return true;
}

std::pair<bool, std::vector<Issue>> check(const std::optional<std::string>& target,
                                          const std::string& protocol,
                                          const ValidateOptions& options) {
  if (!target || target->empty())
    throw std::invalid_argument("no simulator given: pass a simulator directory or an address");
  Report report;
  if (is_directory_target(*target)) {
    try {
      read_manifest(*target);
    } catch (const ManifestError& error) {
      report.add("manifest", error.what());
      return {false, report.take()};
    }
  }
  Target served(target, protocol, options.reply_timeout);
  ClientOptions client_options;
  // The server bounds its own wait; this bounds a server that goes silent itself.
  client_options.call_timeout = options.reply_timeout + std::chrono::seconds(5);
  auto client = served.connect("validate", client_options);

  try {
    client->call("make", R"({"env_id":"validate","env_init":{}})");
  } catch (const SimulatorError& error) {
    report.add("init", error.what());
    return {false, report.take()};
  } catch (const SessionError& error) {
    if (is_timeout(error))
      report.session_over(error, "make");
    else
      report.add("start", error.what());
    return {false, report.take()};
  }

  try {
    client->init();  // reads both spaces
  } catch (const SpaceError& error) {
    report.add("spaces", error.what());
    return {false, report.take()};
  } catch (const SimulatorError& error) {
    report.add("spaces", error.what());
    return {false, report.take()};
  } catch (const SessionError& error) {
    report.session_over(error, "the space queries");
    return {false, report.take()};
  }

  if (run_episodes(*client, options, report)) {
    try {
      client->close();
    } catch (const SessionError& error) {
      report.session_over(error, "close");
    }
  }
  auto issues = report.take();
  return {issues.empty(), std::move(issues)};
}

}  // namespace

std::pair<bool, std::vector<Issue>> validate(const std::optional<std::string>& target,
                                             const std::string& protocol,
                                             const ValidateOptions& options) {
  // Ctrl-C (or SIGTERM) ends the sessions of a simulator served here with errors that
  // would read as its faults: it is the user's interrupt, not a failed check.
  try {
    auto result = check(target, protocol, options);
    core::interrupt::check();
    return result;
  } catch (...) {
    core::interrupt::check();
    throw;
  }
}

}  // namespace tarvo::sim
