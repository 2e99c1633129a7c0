// A cart-pole simulator speaking tarvo's line protocol on standard input and output:
// push a cart left or right to keep the pole on it upright.
//
// It doubles as a faulty simulator for tests: `--fault <kind>` makes it misbehave
// on the third step of each session (crash, garbage, hang, outside, nonfinite,
// nullreward, flags).
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

constexpr double kGravity = 9.8;
constexpr double kCartMass = 1.0;
constexpr double kPoleMass = 0.1;
constexpr double kPoleHalfLength = 0.5;
constexpr double kForce = 10.0;
constexpr double kTau = 0.02;
constexpr double kThetaLimit = 12 * 2 * M_PI / 360;
constexpr double kXLimit = 2.4;

struct CartPole {
  float x = 0, x_dot = 0, theta = 0, theta_dot = 0;
  int steps = 0;
  int max_steps = 500;
  std::mt19937_64 random{0};

  void reset() {
    std::uniform_real_distribution<float> small(-0.05f, 0.05f);
    x = small(random), x_dot = small(random), theta = small(random), theta_dot = small(random);
    steps = 0;
  }

  // Euler integration of the classic cart-pole equations.
  void step(int action) {
    double force = action == 1 ? kForce : -kForce;
    double cos_t = std::cos(theta), sin_t = std::sin(theta);
    double total = kCartMass + kPoleMass;
    double temp = (force + kPoleMass * kPoleHalfLength * theta_dot * theta_dot * sin_t) / total;
    double theta_acc = (kGravity * sin_t - cos_t * temp) /
                       (kPoleHalfLength * (4.0 / 3.0 - kPoleMass * cos_t * cos_t / total));
    double x_acc = temp - kPoleMass * kPoleHalfLength * theta_acc * cos_t / total;
    x = static_cast<float>(x + kTau * x_dot);
    x_dot = static_cast<float>(x_dot + kTau * x_acc);
    theta = static_cast<float>(theta + kTau * theta_dot);
    theta_dot = static_cast<float>(theta_dot + kTau * theta_acc);
    ++steps;
  }

  bool fallen() const { return std::fabs(x) > kXLimit || std::fabs(theta) > kThetaLimit; }
};

// Reply lines are built by hand: the step reply is the hot path.
void reply_raw(const char* result) {
  std::printf("{\"result\":%s}\n", result);
}
void reply_error(const std::string& message) {
  std::printf("%s\n", json{{"error", message}}.dump().c_str());
}

// The shortest text that reads back as the same float: exact, and cheaper to write
// than a fixed number of digits.
void observation(char* out, std::size_t size, const CartPole& pole, float x_override) {
  const float values[] = {std::isnan(x_override) ? pole.x : x_override, pole.x_dot, pole.theta,
                          pole.theta_dot};
  char* end = out + size - 1;
  char* at = out;
  *at++ = '[';
  for (float value : values) {
    if (at != out + 1) *at++ = ',';
    at = std::to_chars(at, end, value).ptr;
  }
  *at++ = ']';
  *at = '\0';
}

// A step request in the exact form tarvo's server writes for `{"action":0}` or
// `{"action":1}`: read without the JSON parser, since it comes once per step. The
// action, or -1 for any other line (the parser takes those).
int quick_step_action(const std::string& line) {
  constexpr std::string_view prefix = R"({"method":"step","action":)";
  if (line.size() != prefix.size() + 2 || line.compare(0, prefix.size(), prefix) != 0 ||
      line.back() != '}')
    return -1;
  char digit = line[prefix.size()];
  return digit == '0' || digit == '1' ? digit - '0' : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string fault;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--fault") == 0) fault = argv[i + 1];

  std::ios::sync_with_stdio(false);
  static char out_buffer[1 << 16];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

  CartPole pole;
  int session_steps = 0;
  std::string line;
  char obs[160];
  while (std::getline(std::cin, line)) {
    const int quick_action = quick_step_action(line);
    json request;
    if (quick_action < 0) {
      request = json::parse(line, nullptr, false);
      if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
        reply_error("expected a JSON object with a \"method\"");
        std::fflush(stdout);
        continue;
      }
    }
    const std::string method = quick_action >= 0 ? "step" : request["method"].get<std::string>();
    if (method == "make") {
      const auto& init = request.value("env_init", json::object());
      if (init.is_object() && init.contains("max_steps") && init["max_steps"].is_number_integer())
        pole.max_steps = init["max_steps"].get<int>();
      std::fprintf(stderr, "cartpole: made env '%s'\n", request.value("env_id", "").c_str());
      reply_raw("null");
    } else if (method == "sensor_space") {
      reply_raw(R"({"type":"Box","low":[-4.8,"-inf",-0.41887903,"-inf"],)"
                R"("high":[4.8,"inf",0.41887903,"inf"],"shape":[4],"dtype":"float32"})");
    } else if (method == "action_space") {
      reply_raw(R"({"type":"Discrete","n":2})");
    } else if (method == "reset") {
      if (request.contains("seed") && request["seed"].is_number_integer())
        pole.random.seed(request["seed"].get<std::uint64_t>());
      pole.reset();
      observation(obs, sizeof obs, pole, NAN);
      std::printf("{\"result\":{\"observation\":%s,\"info\":{}}}\n", obs);
    } else if (method == "step") {
      const json action = quick_action >= 0            ? json(quick_action)
                          : request.contains("action") ? request["action"]
                                                       : json();
      if (!action.is_number_integer() || (action != 0 && action != 1)) {
        reply_error("action must be 0 or 1");
      } else {
        ++session_steps;
        bool faulty = session_steps == 3 && !fault.empty();
        if (faulty && fault == "crash") {
          std::fprintf(stderr, "cartpole: simulated crash\n");
          std::abort();
        }
        if (faulty && fault == "garbage") {
          std::printf("Traceback (most recent call last): oops\n");
          std::fflush(stdout);
          continue;
        }
        if (faulty && fault == "hang") {
          std::fflush(stdout);
          for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
        pole.step(action.get<int>());
        bool terminated = pole.fallen();
        bool truncated = !terminated && pole.steps >= pole.max_steps;
        observation(obs, sizeof obs, pole, faulty && fault == "outside" ? 100.0f : NAN);
        // What Python's json.dumps writes for a NaN reward: not JSON at all.
        const char* reward = faulty && fault == "nonfinite" ? "NaN" : "1.0";
        // What JavaScript's JSON.stringify writes for one.
        if (faulty && fault == "nullreward") reward = "null";
        const char* flag = terminated ? "true" : "false";
        if (faulty && fault == "flags") flag = "\"no\"";
        std::printf(
            "{\"result\":{\"observation\":%s,\"reward\":%s,\"terminated\":%s,"
            "\"truncated\":%s,\"info\":{}}}\n",
            obs, reward, flag, truncated ? "true" : "false");
      }
    } else if (method == "close") {
      reply_raw("null");
      std::fflush(stdout);
      return 0;
    } else {
      reply_error("unknown method '" + method + "'");
    }
    std::fflush(stdout);
  }
  return 0;
}
