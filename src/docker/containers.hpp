#pragma once
// Simulator containers on the local Docker engine.
//
// A simulator image is `tarvo/<name>` (optionally `:<tag>`); its version is the
// image label `tarvo.version`. `sim_start` runs it as a container named `<name>`,
// labelled `tarvo.sim=<name>`, with IS_HISTORIAN_ENABLED=1 or =0 in its environment
// and the simulator port 1337 published on a free port of 127.0.0.1 (or, under
// TARVO_DOCKER_NETWORK=host, on the host's own network). That name is what `logs`,
// `stop` and `status` take. Every container tarvo creates also carries
// `tarvo.managed=true`; containers without it are never stopped or removed.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "docker/engine.hpp"
#include "docker/logs.hpp"

namespace tarvo::docker {

inline constexpr const char* kImagePrefix = "tarvo/";
inline constexpr int kSimPort = 1337;
inline constexpr const char* kSimLabel = "tarvo.sim";
inline constexpr const char* kManagedLabel = "tarvo.managed";
inline constexpr const char* kVersionLabel = "tarvo.version";

enum class Network { bridge, host };

// TARVO_DOCKER_NETWORK: "bridge" (the default) or "host"; anything else is an Error.
Network network_from_environment();

// A simulator as the user names it: "my-sim", "my-sim:2" or "tarvo/my-sim".
struct SimReference {
  std::string name;   // the container name: "my-sim"
  std::string image;  // "tarvo/my-sim" or "tarvo/my-sim:2"
};
SimReference parse_sim_reference(std::string_view given);

// Receives the lines that say what sim_start is doing, for the user to see.
using Notice = std::function<void(const std::string& line)>;

// Starts the simulator `name`; returns the name its container answers to. `notice`
// is told what it starts and, once started, where it listens.
std::string sim_start(Engine& engine, const std::string& name, bool enable_historian,
                      const Notice& notice = {});

// Hands a container's logs to `sink` as they were written, standard output and
// standard error apart; the sink returns false to stop reading. With `stream` it
// follows them until the container stops or Ctrl-C.
void sim_logs(Engine& engine, const std::string& name, bool stream, const LogDemuxer::Sink& sink);

// Stops a container tarvo started (by name or id) and removes it.
void stop(Engine& engine, const std::string& name);

// Running simulator containers, by name: "name", "id", "image", "env", "ports"
// (readable text), "version" (null when the image has no version label).
std::vector<Json> sim_list_running(Engine& engine);

// One container tarvo started: "name", "id", "image", "state", "started_at" and
// "moniker" ("localhost:<port>" where the simulator answers; null when nothing is
// published, e.g. once the container has stopped).
Json get_info_container(Engine& engine, const std::string& name);

// Local simulator images: "name" (as sim_start takes it), "last_updated" (UTC),
// "version".
std::vector<Json> sim_list_images(Engine& engine);

// Runs `image` with container ports ("1337/tcp") published on host ports of
// 127.0.0.1; returns the container's id. The container is tarvo's to stop.
std::string start_container(Engine& engine, const std::string& image,
                            const std::map<std::string, int>& ports);

// The records above, from the engine's inspection of a container.
Json running_sim_record(const Json& inspection);
Json container_info_record(const Json& inspection);
std::string ports_text(const Json& inspection);
std::optional<std::string> moniker(const Json& inspection);

}  // namespace tarvo::docker
