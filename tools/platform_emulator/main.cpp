// tarvo-platform-emulator: a stand-in for the Tarvo platform on loopback, for trying
// tarvo by hand and for its tests. State lives in memory, seeded from a JSON file:
//
//   {"organizations": [{"uuid": "...", "name": "...",
//                       "projects": [{"id": "...", "name": "..."}]}]}
//
// Without --data it starts with one organisation holding two projects. With
// --token, requests must carry "Authorization: Bearer <token>". The simulator
// catalogue is described in platform_emulator/catalog.hpp.
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "platform_emulator/catalog.hpp"
#include "platform_emulator/platform.hpp"

namespace {

constexpr const char* kUsage =
    "usage: tarvo-platform-emulator --port N [--data FILE] [--token TOKEN] [--host ADDRESS]\n"
    "                               [--build-seconds S] [--uploads DIR]\n"
    "                               [--registration-delay S]\n"
    "Serves the Tarvo platform API under http://ADDRESS:N/v1 (ADDRESS 127.0.0.1 by default;\n"
    "N 0 picks a free port). Prints \"listening on http://ADDRESS:N\" once ready.\n"
    "An uploaded simulator version is built after S seconds (0, the default: at once);\n"
    "uploaded archives are kept in DIR when given. A cluster registration is answered\n"
    "S seconds after the cluster was created (0, the default: at once).\n";

struct Options {
  std::optional<int> port;
  std::string data;
  std::string token;
  std::string host = "127.0.0.1";
  tarvo::emulator::CatalogOptions catalog;
  double registration_delay = 0;
};

std::optional<Options> parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    if (flag == "--port") {
      try {
        std::size_t used = 0;
        const int port = std::stoi(value, &used);
        if (used != value.size() || port < 0 || port > 65535) return std::nullopt;
        options.port = port;
      } catch (const std::exception&) {
        return std::nullopt;
      }
    } else if (flag == "--data") {
      options.data = value;
    } else if (flag == "--token") {
      options.token = value;
    } else if (flag == "--host") {
      options.host = value;
    } else if (flag == "--build-seconds") {
      try {
        std::size_t used = 0;
        const double seconds = std::stod(value, &used);
        if (used != value.size() || !(seconds >= 0 && seconds <= 1e7)) return std::nullopt;
        options.catalog.build_time = std::chrono::duration<double>(seconds);
      } catch (const std::exception&) {
        return std::nullopt;
      }
    } else if (flag == "--registration-delay") {
      try {
        std::size_t used = 0;
        const double seconds = std::stod(value, &used);
        if (used != value.size() || !(seconds >= 0 && seconds <= 3600)) return std::nullopt;
        options.registration_delay = seconds;
      } catch (const std::exception&) {
        return std::nullopt;
      }
    } else if (flag == "--uploads") {
      options.catalog.uploads = value;
    } else {
      return std::nullopt;
    }
  }
  if (!options.port) return std::nullopt;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  tarvo::emulator::Platform platform;
  platform.registration_delay = std::chrono::duration<double>(options->registration_delay);
  tarvo::emulator::Catalog catalog(options->catalog);
  try {
    if (!options->data.empty()) {
      std::ifstream in(options->data);
      if (!in) throw std::runtime_error("cannot read " + options->data);
      const auto seed = tarvo::emulator::Json::parse(in);
      platform.seed(seed);
      catalog.seed(seed);
    } else {
      platform.seed(tarvo::emulator::default_seed());
    }
  } catch (const std::exception& e) {
    std::cerr << "tarvo-platform-emulator: " << options->data << ": " << e.what() << "\n";
    return 1;
  }

  httplib::Server server;
  tarvo::emulator::mount(server, platform, options->token);
  tarvo::emulator::mount_catalog(server, catalog, platform);
  int port = *options->port;
  if (port == 0) {
    port = server.bind_to_any_port(options->host);
  } else if (!server.bind_to_port(options->host, port)) {
    port = -1;
  }
  if (port < 0) {
    std::cerr << "tarvo-platform-emulator: cannot listen on " << options->host << ":"
              << *options->port << "\n";
    return 1;
  }
  std::cout << "listening on http://" << options->host << ":" << port << std::endl;
  server.listen_after_bind();
  return 0;
}
