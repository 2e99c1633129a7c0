#include "docker/containers.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/interrupt.hpp"
#include "docker/logs.hpp"

namespace tarvo::docker {
namespace {

// Seconds a container gets to end by itself before the engine kills it.
constexpr int kStopGraceSeconds = 10;

std::string short_id(const std::string& id) {
  return id.substr(0, 12);
}

bool is_managed(const Json& inspection) {
  return text_at(inspection, {"Config", "Labels", kManagedLabel}) == "true";
}

std::optional<Json> inspect_container(Engine& engine, const std::string& name_or_id) {
  try {
    return engine.get("/containers/" + url_encode(name_or_id) + "/json");
  } catch (const EngineError& e) {
    if (e.status() == 404) return std::nullopt;
    throw;
  }
}

// The container a user means by `given`: a simulator name (also in its image form)
// or a container id. Only containers tarvo started qualify.
Json find_managed(Engine& engine, const std::string& given) {
  std::string key = given;
  try {
    key = parse_sim_reference(given).name;
  } catch (const Error&) {
    // Not a simulator name; perhaps an id.
  }
  auto inspection = key.empty() ? std::nullopt : inspect_container(engine, key);
  if (!inspection && key != given) inspection = inspect_container(engine, given);
  if (!inspection || !is_managed(*inspection))
    throw Error("no simulator container named '" + given + "' in the Docker engine at " +
                engine.endpoint().address);
  return *inspection;
}

void remove_container(Engine& engine, const std::string& id) {
  try {
    engine.del("/containers/" + url_encode(id) + "?force=1&v=1");
  } catch (const EngineError& e) {
    if (e.status() != 404) throw;
  }
}

void wait_until_not_running(Engine& engine, const std::string& id) {
  try {
    engine.post("/containers/" + url_encode(id) + "/wait?condition=not-running");
  } catch (const EngineError& e) {
    if (e.status() != 404) throw;  // removed meanwhile: not running either
  }
}

Json inspect_image(Engine& engine, const std::string& image) {
  try {
    return engine.get("/images/" + url_encode(image) + "/json");
  } catch (const EngineError& e) {
    if (e.status() == 404)
      throw Error("no image '" + image + "' in the Docker engine at " + engine.endpoint().address);
    throw;
  }
}

Json network_config(Network network, const std::map<std::string, int>& ports) {
  Json host_config = Json::object();
  if (network == Network::host) {
    host_config["NetworkMode"] = "host";
    return host_config;
  }
  host_config["NetworkMode"] = "bridge";
  Json bindings = Json::object();
  for (const auto& [container_port, host_port] : ports)
    bindings[container_port] = Json::array(
        {{{"HostIp", "127.0.0.1"}, {"HostPort", host_port ? std::to_string(host_port) : ""}}});
  host_config["PortBindings"] = std::move(bindings);
  return host_config;
}

Json exposed_ports(const std::map<std::string, int>& ports) {
  Json exposed = Json::object();
  for (const auto& entry : ports)
    exposed[entry.first] = Json::object();
  return exposed;
}

// Creates and starts a container from `body`; a container that cannot be started
// is removed again so that nothing is left behind.
std::string create_and_start(Engine& engine, Json body, const std::string& name) {
  const std::string image = body["Image"];
  std::string path = "/containers/create";
  if (!name.empty()) path += "?name=" + url_encode(name);
  Json created;
  try {
    created = engine.post(path, body);
  } catch (const EngineError& e) {
    if (e.status() == 404)
      throw Error("no image '" + image + "' in the Docker engine at " + engine.endpoint().address);
    throw Error("cannot create a container from '" + image + "': " + e.what());
  }
  const std::string id = text_at(created, {"Id"});
  if (id.empty())
    throw Error("the Docker engine at " + engine.endpoint().address +
                " created a container but did not say its id");
  try {
    engine.post("/containers/" + url_encode(id) + "/start");
  } catch (const Error& e) {
    remove_container(engine, id);
    throw Error("cannot start '" + image + "': " + e.what());
  }
  return id;
}

}  // namespace

std::string sim_start(Engine& engine, const std::string& name, bool enable_historian,
                      const Notice& notice) {
  const SimReference sim = parse_sim_reference(name);
  const Network network = network_from_environment();
  const Json image = inspect_image(engine, sim.image);
  const std::string version = text_at(image, {"Config", "Labels", kVersionLabel});

  if (const auto existing = inspect_container(engine, sim.name)) {
    if (!is_managed(*existing))
      throw Error("a container named '" + sim.name +
                  "' already exists and was not started by tarvo; remove or rename it first");
    if (json_at(*existing, {"State", "Running"}) == true)
      throw Error("simulator '" + sim.name + "' is already running; stop it first");
    // A simulator that ended earlier: its name is free again.
    remove_container(engine, text_at(*existing, {"Id"}));
  }

  if (notice)
    notice("Starting simulator " + sim.name + " from " + sim.image +
           (version.empty() ? "" : " (version " + version + ")") + ", historian " +
           (enable_historian ? "on" : "off"));

  const std::map<std::string, int> ports = {{std::to_string(kSimPort) + "/tcp", 0}};
  Json body = Json::object();
  body["Image"] = sim.image;
  body["Env"] =
      Json::array({std::string("IS_HISTORIAN_ENABLED=") + (enable_historian ? "1" : "0")});
  body["Labels"] = {{kSimLabel, sim.name}, {kManagedLabel, "true"}};
  body["ExposedPorts"] = exposed_ports(ports);
  body["HostConfig"] = network_config(network, ports);
  const std::string id = create_and_start(engine, std::move(body), sim.name);

  if (notice) {
    const auto inspection = inspect_container(engine, id);
    const auto address = inspection ? moniker(*inspection) : std::nullopt;
    notice("Simulator " + sim.name + " is running" + (address ? " at " + *address : "") +
           " (container " + short_id(id) + ")");
    notice("Follow its logs with `tarvo sim logs " + sim.name + " --stream`, stop it with " +
           "`tarvo sim stop --sim-id " + sim.name + "`");
  }
  return sim.name;
}

void sim_logs(Engine& engine, const std::string& name, bool stream, const LogDemuxer::Sink& sink) {
  const Json inspection = find_managed(engine, name);
  const std::string id = text_at(inspection, {"Id"});
  // A container with a terminal has one unframed stream.
  const bool raw = json_at(inspection, {"Config", "Tty"}) == true;

  bool output_closed = false;
  LogDemuxer demuxer([&](LogChannel channel, std::string_view bytes) {
    output_closed = !sink(channel, bytes);
    return !output_closed;
  });
  const auto on_data = [&](std::string_view chunk) {
    if (!raw) return demuxer.feed(chunk);
    output_closed = !sink(LogChannel::out, chunk);
    return !output_closed;
  };
  const std::string path =
      "/containers/" + url_encode(id) + "/logs?stdout=1&stderr=1" + (stream ? "&follow=1" : "");
  long status = 0;
  try {
    status = engine.stream(path, on_data);
  } catch (const core::Interrupted&) {
    if (!stream) throw;
    // Ctrl-C is how a user stops following; the container goes on running.
    core::interrupt::clear();
    return;
  }
  if (status >= 400) throw EngineError(status, error_message(status, demuxer.raw()));
  if (output_closed) return;
  if (demuxer.garbled())
    throw Error("the Docker engine at " + engine.endpoint().address +
                " sent a log stream that is not in its framed form");
  // A followed stream ends when the container's output closes, which the engine may
  // report a moment before it reports the container as stopped. Wait for that, so
  // that whoever asks next (`stop`, `status`) no longer finds it running.
  if (stream) wait_until_not_running(engine, id);
}

void stop(Engine& engine, const std::string& name) {
  const Json inspection = find_managed(engine, name);
  const std::string id = text_at(inspection, {"Id"});
  try {
    engine.post("/containers/" + url_encode(id) + "/stop?t=" + std::to_string(kStopGraceSeconds));
  } catch (const EngineError& e) {
    // Gone meanwhile (removed automatically) is as good as stopped.
    if (e.status() != 404) throw;
  }
  remove_container(engine, id);
}

std::vector<Json> sim_list_running(Engine& engine) {
  const std::string filters = Json{{"label", Json::array({kSimLabel})}}.dump();
  const Json listed = engine.get("/containers/json?filters=" + url_encode(filters));
  if (!listed.is_array())
    throw Error("the Docker engine at " + engine.endpoint().address +
                " sent a container list that is not a list");
  std::vector<Json> records;
  for (const auto& entry : listed) {
    const std::string id = text_at(entry, {"Id"});
    if (id.empty()) continue;
    // A container may end between the listing and its inspection.
    const auto inspection = inspect_container(engine, id);
    if (!inspection || !is_managed(*inspection)) continue;
    records.push_back(running_sim_record(*inspection));
  }
  std::stable_sort(records.begin(), records.end(), [](const Json& a, const Json& b) {
    return a["name"].get<std::string>() < b["name"].get<std::string>();
  });
  return records;
}

Json get_info_container(Engine& engine, const std::string& name) {
  return container_info_record(find_managed(engine, name));
}

std::vector<Json> sim_list_images(Engine& engine) {
  const Json listed = engine.get("/images/json");
  if (!listed.is_array())
    throw Error("the Docker engine at " + engine.endpoint().address +
                " sent an image list that is not a list");
  std::vector<Json> records;
  for (const auto& image : listed) {
    const Json& tags = json_at(image, {"RepoTags"});
    if (!tags.is_array()) continue;
    std::string updated;
    if (const Json& created_at = json_at(image, {"Created"}); created_at.is_number_integer()) {
      const std::time_t created = created_at.get<std::time_t>();
      std::tm utc{};
      gmtime_r(&created, &utc);
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
      updated = text;
    }
    const Json& version = json_at(image, {"Labels", kVersionLabel});
    for (const auto& tag : tags) {
      if (!tag.is_string()) continue;
      std::string reference = tag.get<std::string>();
      if (!reference.starts_with(kImagePrefix)) continue;
      reference.erase(0, std::string_view(kImagePrefix).size());
      if (reference.ends_with(":latest")) reference.resize(reference.size() - 7);
      Json record = Json::object();
      record["name"] = reference;
      record["last_updated"] = updated;
      record["version"] = version.is_string() ? version : Json();
      records.push_back(std::move(record));
    }
  }
  std::stable_sort(records.begin(), records.end(), [](const Json& a, const Json& b) {
    return a["name"].get<std::string>() < b["name"].get<std::string>();
  });
  return records;
}

std::string start_container(Engine& engine, const std::string& image,
                            const std::map<std::string, int>& ports) {
  const Network network = network_from_environment();
  Json body = Json::object();
  body["Image"] = image;
  body["Labels"] = {{kManagedLabel, "true"}};
  body["ExposedPorts"] = exposed_ports(ports);
  body["HostConfig"] = network_config(network, ports);
  return create_and_start(engine, std::move(body), "");
}

}  // namespace tarvo::docker
