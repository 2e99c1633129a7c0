// A scripted HTTP server on loopback for tests: the compute service's job shutdown,
// or a platform that answers oddly.
//
//   fake-http-server --port N --script FILE --log FILE
//
// The script is {"routes": [{"method", "path", "responses": [..]}]}; the n-th
// request to a route gets responses[n] (the last one once they run out), each
// {"status", "body", "content_type", "delay" (seconds before answering)}. Other
// requests get 404. Every request is appended to the log as one JSON line
// {"method", "path", "body", "authorization"}. Once listening, the server prints
// "listening on 127.0.0.1:PORT" (useful with --port 0).
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

struct Options {
  int port = 0;
  std::string script;
  std::string log;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--port")
      options.port = std::stoi(argv[i + 1]);
    else if (flag == "--script")
      options.script = argv[i + 1];
    else if (flag == "--log")
      options.log = argv[i + 1];
    else
      throw std::invalid_argument("unknown option " + flag);
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  Json script;
  try {
    options = parse(argc, argv);
    std::ifstream in(options.script);
    script = in ? Json::parse(in) : Json::object();
  } catch (const std::exception& e) {
    std::cerr << "fake-http-server: " << e.what() << "\n";
    return 2;
  }

  std::mutex mutex;
  std::map<std::size_t, std::size_t> uses;
  httplib::Server server;
  server.set_keep_alive_max_count(1);
  auto handle = [&](const httplib::Request& request, httplib::Response& response) {
    Json reply;
    {
      std::lock_guard lock(mutex);
      if (!options.log.empty()) {
        Json entry = {{"method", request.method},
                      {"path", request.path},
                      {"body", request.body},
                      {"authorization", request.get_header_value("Authorization")}};
        std::ofstream(options.log, std::ios::app) << entry.dump() << "\n";
      }
      const auto routes = script.value("routes", Json::array());
      for (std::size_t i = 0; i < routes.size(); ++i) {
        const auto& route = routes[i];
        if (route.value("method", "") != request.method || route.value("path", "") != request.path)
          continue;
        const auto responses = route.value("responses", Json::array());
        if (responses.empty()) break;
        const std::size_t use = uses[i]++;
        reply = responses[std::min(use, responses.size() - 1)];
        break;
      }
    }
    if (reply.is_null()) {
      response.status = 404;
      response.set_content("no such route", "text/plain");
      return;
    }
    if (const double delay = reply.value("delay", 0.0); delay > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    response.status = reply.value("status", 200);
    response.set_content(reply.value("body", ""), reply.value("content_type", "text/plain"));
  };
  for (const char* pattern : {R"(/.*)"}) {
    server.Get(pattern, handle);
    server.Post(pattern, handle);
    server.Put(pattern, handle);
    server.Delete(pattern, handle);
  }

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port < 0) {
    std::cerr << "fake-http-server: cannot listen on port " << options.port << "\n";
    return 1;
  }
  std::cout << "listening on 127.0.0.1:" << port << std::endl;
  return server.listen_after_bind() ? 0 : 1;
}
