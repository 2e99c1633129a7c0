// The Docker module's own logic (names, addresses, records, the log framing) and
// its handling of an engine that misbehaves, played by a scripted fake on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "../fakes/fake_engine.hpp"
#include "core/fd.hpp"
#include "docker/containers.hpp"
#include "docker/logs.hpp"
#include "docker/sim_name.hpp"
#include "scoped.hpp"

namespace tarvo::docker {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(DockerEndpoint, AcceptsUnixSocketsAndTcpPorts) {
  const auto socket = parse_endpoint("unix:///var/run/docker.sock");
  EXPECT_EQ(socket.unix_socket, "/var/run/docker.sock");
  EXPECT_EQ(socket.base_url, "http://localhost");
  EXPECT_EQ(parse_endpoint("tcp://127.0.0.1:2376").base_url, "http://127.0.0.1:2376");
  EXPECT_EQ(parse_endpoint("tcp://docker.local").base_url, "http://docker.local:2375");
  EXPECT_EQ(parse_endpoint("tcp://[::1]/").base_url, "http://[::1]:2375");
  EXPECT_EQ(parse_endpoint("tcp://[::1]:7").base_url, "http://[::1]:7");
  for (const char* bad : {"ssh://me@host", "unix://relative.sock", "tcp://", "tcp://h:1/x", ""})
    EXPECT_THROW(parse_endpoint(bad), Error) << bad;
}

TEST(DockerSimReference, NamesAnImageAndAContainer) {
  const auto plain = parse_sim_reference("my-sim");
  EXPECT_EQ(plain.name, "my-sim");
  EXPECT_EQ(plain.image, "tarvo/my-sim");
  const auto tagged = parse_sim_reference("tarvo/cart_pole.v2:3");
  EXPECT_EQ(tagged.name, "cart_pole.v2");
  EXPECT_EQ(tagged.image, "tarvo/cart_pole.v2:3");
  for (const char* bad :
       {"", "My-Sim", "a..b", "-a", "a-", "a:", "a:b c", "a/b", "tarvo/", "a b", "sim;rm", "x"})
    EXPECT_THROW(parse_sim_reference(bad), Error) << bad;
}

TEST(DockerSimName, SaysWhichRuleANameBreaks) {
  for (const char* good : {"my-sim", "cart_pole.v2", "a1", "42"})
    EXPECT_EQ(sim_name_problem(good), std::nullopt) << good;
  EXPECT_THAT(*sim_name_problem(""), HasSubstr("a name is needed"));
  EXPECT_THAT(*sim_name_problem("MySim"), HasSubstr("lower-case (try 'mysim')"));
  EXPECT_THAT(*sim_name_problem("x y"), HasSubstr("only lower-case letters, digits"));
  EXPECT_THAT(*sim_name_problem("~/sims"), HasSubstr("only lower-case letters, digits"));
  EXPECT_THAT(*sim_name_problem("-sim"), HasSubstr("begin and end with a letter or a digit"));
  EXPECT_THAT(*sim_name_problem("a--b"), HasSubstr("one at a time"));
  EXPECT_THAT(*sim_name_problem("x"), HasSubstr("at least two characters"));
  EXPECT_THAT(*sim_name_problem(std::string(129, 'a')), HasSubstr("longer than 128"));
}

// Frames: stdout "hello\n", stderr "oops", stdout "" and "bye".
std::string framed_stream() {
  const auto frame = [](char kind, const std::string& payload) {
    std::string header = {kind, 0, 0, 0, 0, 0, 0, static_cast<char>(payload.size())};
    return header + payload;
  };
  return frame(1, "hello\n") + frame(2, "oops") + frame(1, "") + frame(1, "bye");
}

TEST(DockerLogDemuxer, SplitsFramesWhereverTheChunksBreak) {
  const std::string stream = framed_stream();
  for (std::size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    std::string out, err;
    LogDemuxer demuxer([&](LogChannel channel, std::string_view bytes) {
      (channel == LogChannel::out ? out : err).append(bytes);
      return true;
    });
    for (std::size_t at = 0; at < stream.size(); at += chunk)
      ASSERT_TRUE(demuxer.feed(std::string_view(stream).substr(at, chunk)));
    EXPECT_EQ(out, "hello\nbye") << "chunk size " << chunk;
    EXPECT_EQ(err, "oops");
    EXPECT_FALSE(demuxer.truncated());
  }
}

TEST(DockerLogDemuxer, RecognisesStreamsThatAreNotFramed) {
  LogDemuxer demuxer([](LogChannel, std::string_view) { return true; });
  EXPECT_FALSE(demuxer.feed(R"({"message":"No such container: x"})"));
  EXPECT_TRUE(demuxer.garbled());
  EXPECT_EQ(error_message(404, demuxer.raw()), "No such container: x");

  LogDemuxer cut([](LogChannel, std::string_view) { return true; });
  EXPECT_TRUE(cut.feed(framed_stream().substr(0, 10)));
  EXPECT_TRUE(cut.truncated());

  int pieces = 0;
  LogDemuxer stopping([&](LogChannel, std::string_view) { return ++pieces < 1; });
  EXPECT_FALSE(stopping.feed(framed_stream()));
  EXPECT_EQ(pieces, 1);
}

Json inspection(bool running, const std::string& network, const Json& ports) {
  return {{"Id", "0123456789abcdef"},
          {"Name", "/my-sim"},
          {"Config",
           {{"Image", "tarvo/my-sim"},
            {"Env", {"IS_HISTORIAN_ENABLED=1"}},
            {"Labels", {{"tarvo.version", "4"}}}}},
          {"State", {{"Running", running}, {"Status", running ? "running" : "exited"}}},
          {"HostConfig", {{"NetworkMode", network}}},
          {"NetworkSettings", {{"Ports", ports}}}};
}

TEST(DockerRecords, DescribeWhereASimulatorAnswers) {
  const Json published = {{"1337/tcp",
                           {{{"HostIp", "127.0.0.1"}, {"HostPort", "49153"}},
                            {{"HostIp", "::1"}, {"HostPort", "49154"}}}},
                          {"9000/tcp", nullptr}};
  const auto bridge = inspection(true, "bridge", published);
  EXPECT_EQ(moniker(bridge), "localhost:49153");
  EXPECT_EQ(ports_text(bridge), "127.0.0.1:49153->1337/tcp, [::1]:49154->1337/tcp, 9000/tcp");
  EXPECT_EQ(moniker(inspection(false, "bridge", published)), std::nullopt);
  EXPECT_EQ(moniker(inspection(true, "bridge", nullptr)), std::nullopt);

  const auto host = inspection(true, "host", Json::object());
  EXPECT_EQ(moniker(host), "localhost:1337");
  EXPECT_EQ(ports_text(host), "host network");

  const auto running = running_sim_record(bridge);
  EXPECT_EQ(running.dump(),
            R"({"name":"my-sim","id":"0123456789abcdef","image":"tarvo/my-sim",)"
            R"("env":["IS_HISTORIAN_ENABLED=1"],"ports":"127.0.0.1:49153->1337/tcp, )"
            R"([::1]:49154->1337/tcp, 9000/tcp","version":"4"})");
  const auto info = container_info_record(inspection(false, "bridge", published));
  EXPECT_TRUE(info["moniker"].is_null());
  EXPECT_EQ(info["state"], "exited");
  // Whatever shape a reply has, records come out with their keys.
  EXPECT_EQ(running_sim_record(Json::array()).size(), 6u);
  EXPECT_TRUE(running_sim_record(Json::array())["version"].is_null());
}

class FakeEngineTest : public ::testing::Test {
 protected:
  Engine engine() { return Engine(parse_endpoint(fake_.docker_host())); }
  test::FakeEngine fake_;
};

TEST_F(FakeEngineTest, SpeaksTheNewestApiVersionBothSidesKnow) {
  fake_.on("/containers/json", test::http_reply(200, "[]"));
  auto old_engine = engine();
  EXPECT_TRUE(sim_list_running(old_engine).empty());
  EXPECT_THAT(fake_.requests().back(), StartsWith("GET /v1.41/containers/json?filters="));

  fake_.on("GET /version",
           test::http_reply(200, R"({"ApiVersion":"1.52","MinAPIVersion":"1.24"})"));
  auto new_engine = engine();
  sim_list_running(new_engine);
  EXPECT_THAT(fake_.requests().back(), StartsWith("GET /v1.45/containers/json"));

  fake_.on("GET /version",
           test::http_reply(200, R"({"ApiVersion":"1.60","MinAPIVersion":"1.50"})"));
  auto newest_engine = engine();
  sim_list_running(newest_engine);
  EXPECT_THAT(fake_.requests().back(), StartsWith("GET /v1.50/containers/json"));
}

TEST_F(FakeEngineTest, ReportsTheEnginesOwnMessageAndRepliesItCannotRead) {
  fake_.on("/containers/json", test::http_reply(500, R"({"message":"disk on fire"})"));
  auto failing = engine();
  try {
    sim_list_running(failing);
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.status(), 500);
    EXPECT_STREQ(e.what(), "disk on fire");
  }

  fake_.on("/containers/json", test::http_reply(200, "<html>proxy</html>", "text/html"));
  auto garbled = engine();
  EXPECT_THROW(
      {
        try {
          sim_list_running(garbled);
        } catch (const Error& e) {
          EXPECT_EQ(std::string(e.what()), "the Docker engine at " + fake_.docker_host() +
                                               " sent a reply that is not JSON (status 200)");
          throw;
        }
      },
      Error);

  fake_.on("/containers/json", test::http_reply(200, R"({"not":"a list"})"));
  auto odd = engine();
  EXPECT_THROW(sim_list_running(odd), Error);

  fake_.on("/containers/json", "this is not HTTP at all\r\n\r\n");
  auto broken = engine();
  EXPECT_THROW(sim_list_running(broken), Error);

  fake_.on("GET /version", test::http_reply(200, R"({"Version":"x"})"));
  auto silent = engine();
  EXPECT_THROW(sim_list_running(silent), Error);
}

TEST(DockerUnreachable, SaysWhereTheEngineWasExpectedAndWhatToCheck) {
  // A port nothing listens on: bind one, then let it go.
  std::string host;
  {
    test::FakeEngine closed;
    host = closed.docker_host();
  }
  Engine engine(parse_endpoint(host));
  try {
    sim_list_running(engine);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), StartsWith("cannot reach the Docker engine at " + host + ": "));
    EXPECT_THAT(e.what(), HasSubstr("Is the docker daemon running?"));
  }

  // A socket names itself and what is wrong with it, never libcurl's view of it.
  const auto message_for = [](const Endpoint& endpoint) {
    try {
      Engine socket_engine(endpoint);
      get_info_container(socket_engine, "my-sim");
    } catch (const Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  test::TempDir dir;
  const std::string missing = (dir.path() / "docker.sock").string();
  std::string text = message_for(parse_endpoint("unix://" + missing));
  EXPECT_THAT(text,
              HasSubstr("there is no socket at " + missing + ". Is the docker daemon running?"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("port 80")));

  // A socket file that nobody listens on any more (a daemon that died).
  {
    core::Fd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, missing.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  text = message_for(parse_endpoint("unix://" + missing));
  EXPECT_THAT(text, HasSubstr("nothing is listening on " + missing));

  // Where the endpoint came from is said, so the user knows what to change.
  {
    test::ScopedEnv docker_host("DOCKER_HOST", "unix://" + missing);
    EXPECT_THAT(message_for(endpoint_from_environment()),
                HasSubstr("at unix://" + missing + " (from DOCKER_HOST): "));
  }
  {
    test::ScopedEnv docker_host("DOCKER_HOST", std::nullopt);
    EXPECT_THAT(message_for(endpoint_from_environment()),
                HasSubstr("(the default; set DOCKER_HOST to use another engine)"));
  }
}

TEST_F(FakeEngineTest, LeavesNoContainerBehindWhenItCannotStart) {
  fake_.on("GET /v1.41/images/tarvo%2Fmy-sim/json", test::http_reply(200, R"({"Config":{}})"));
  fake_.on("GET /v1.41/containers/my-sim/json",
           test::http_reply(404, R"({"message":"No such container: my-sim"})"));
  fake_.on("POST /v1.41/containers/create?name=my-sim",
           test::http_reply(201, R"({"Id":"c0ffee"})"));
  fake_.on("POST /v1.41/containers/c0ffee/start",
           test::http_reply(500, R"({"message":"exec: \"/sim\": not found"})"));
  fake_.on("DELETE /v1.41/containers/c0ffee", test::http_reply(204, ""));
  auto failing = engine();
  try {
    sim_start(failing, "my-sim", true);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "cannot start 'tarvo/my-sim': exec: \"/sim\": not found");
  }
  EXPECT_THAT(fake_.requests().back(), StartsWith("DELETE /v1.41/containers/c0ffee?force=1"));
}

TEST_F(FakeEngineTest, PublishesTheSimulatorPortOnAFreeLoopbackPortByDefault) {
  fake_.on("GET /v1.41/images/tarvo%2Fmy-sim/json", test::http_reply(200, "{}"));
  fake_.on("GET /v1.41/containers/my-sim/json", test::http_reply(404, "{}"));
  fake_.on("POST /v1.41/containers/create?name=my-sim",
           test::http_reply(201, R"({"Id":"c0ffee"})"));
  fake_.on("POST /v1.41/containers/c0ffee/start", test::http_reply(204, ""));
  fake_.on("GET /v1.41/containers/c0ffee/json",
           test::http_reply(200, R"({"State":{"Running":true},"NetworkSettings":{"Ports":)"
                                 R"({"1337/tcp":[{"HostIp":"127.0.0.1","HostPort":"49153"}]}}})"));
  auto bridge = engine();
  std::string said;
  EXPECT_EQ(sim_start(bridge, "tarvo/my-sim", false,
                      [&said](const std::string& line) { said += line + "\n"; }),
            "my-sim");
  EXPECT_THAT(said, HasSubstr("Simulator my-sim is running at localhost:49153 (container c0ffee)"));

  const auto body = Json::parse(fake_.body_of("/containers/create"));
  EXPECT_EQ(body["Env"], Json::array({"IS_HISTORIAN_ENABLED=0"}));
  EXPECT_EQ(body["Labels"], Json({{"tarvo.sim", "my-sim"}, {"tarvo.managed", "true"}}));
  EXPECT_EQ(body["HostConfig"]["NetworkMode"], "bridge");
  EXPECT_EQ(body["HostConfig"]["PortBindings"].dump(),
            R"({"1337/tcp":[{"HostIp":"127.0.0.1","HostPort":""}]})");

  // A fixed host port, as mappings asks for.
  fake_.on("POST /v1.41/containers/create HTTP", test::http_reply(201, R"({"Id":"c0ffee"})"));
  auto fixed = engine();
  EXPECT_EQ(start_container(fixed, "tarvo/my-sim", {{"1337/tcp", 1337}}), "c0ffee");
  EXPECT_EQ(Json::parse(fake_.body_of("/containers/create"))["HostConfig"]["PortBindings"].dump(),
            R"({"1337/tcp":[{"HostIp":"127.0.0.1","HostPort":"1337"}]})");
}

TEST_F(FakeEngineTest, AFollowedLogReturnsOnlyOnceTheContainerIsNoLongerRunning) {
  fake_.on(
      "GET /v1.41/containers/my-sim/json",
      test::http_reply(200, R"({"Id":"c0ffee","Config":{"Labels":{"tarvo.managed":"true"}}})"));
  fake_.on("/logs", test::http_reply(200, framed_stream(), "application/vnd.docker.raw-stream"));
  fake_.on("/wait", test::http_reply(200, R"({"StatusCode":0})"));
  const auto discard = [](LogChannel, std::string_view) { return true; };
  auto followed = engine();
  sim_logs(followed, "my-sim", true, discard);
  // The stream ends when the output closes; the engine may still call the container
  // running a moment longer, so the end waits for it.
  EXPECT_THAT(fake_.requests().back(),
              StartsWith("POST /v1.41/containers/c0ffee/wait?condition=not-running "));
  auto once = engine();
  sim_logs(once, "my-sim", false, discard);
  EXPECT_THAT(fake_.requests().back(), HasSubstr("/logs?"));
}

TEST_F(FakeEngineTest, RefusesALogStreamItCannotRead) {
  fake_.on(
      "GET /v1.41/containers/my-sim/json",
      test::http_reply(200, R"({"Id":"c0ffee","Config":{"Labels":{"tarvo.managed":"true"}}})"));
  fake_.on("/logs", test::http_reply(200, "plain text, not frames"));
  auto garbled = engine();
  const auto discard = [](LogChannel, std::string_view) { return true; };
  EXPECT_THROW(sim_logs(garbled, "my-sim", false, discard), Error);

  fake_.on("/logs", test::http_reply(500, R"({"message":"log driver gone"})"));
  auto failing = engine();
  try {
    sim_logs(failing, "my-sim", true, discard);
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_STREQ(e.what(), "log driver gone");
  }
}

}  // namespace
}  // namespace tarvo::docker
