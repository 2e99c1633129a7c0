#include "manual_sections.hpp"

namespace tarvo::tools::cli_docs {

const std::vector<Entry>& environment() {
  static const std::vector<Entry> entries{
      {"TARVO_API_URL", "The platform's base URL (default https://api.tarvo.io)."},
      {"TARVO_ENV",
       "The platform environment name (default production); handed on to the compute stack."},
      {"TARVO_API_KEY", "A bearer token sent to the platform with every request."},
      {"TARVO_ORGANIZATION",
       "An organisation uuid or name that answers the organisation choice without a menu."},
      {"TARVO_LOG_LEVEL", "info (the default) or debug."},
      {"TARVO_DOCKER_NETWORK",
       "bridge (the default): a simulator container's port 1337 is published on a free port "
       "of 127.0.0.1; host: the container shares the host's network.",
       kSim},
      {"DOCKER_HOST",
       "The Docker engine, unix:///path or tcp://host:port (default "
       "unix:///var/run/docker.sock). The compute group hands it to the docker program; an "
       "engine the sim group cannot reach is reported with the socket or DOCKER_HOST it was "
       "looked for at."},
      {"XDG_CONFIG_HOME", "Where the configuration file is looked for (default ~/.config)."},
      {"XDG_STATE_HOME", "Where the compute node state is kept (default ~/.local/state).",
       kCompute},
      {"SSL_CERT_FILE",
       "A file of trusted certificates for the platform's TLS, instead of the system's."},
      {"NO_COLOR, FORCE_COLOR, TERM",
       "NO_COLOR or TERM=dumb turn colours off; FORCE_COLOR turns them on also where the "
       "output is no terminal."},
      {"COLUMNS", "The width of tables where the output is no terminal (default 80)."},
  };
  return entries;
}

const std::vector<Entry>& files() {
  static const std::vector<Entry> entries{
      {"$XDG_CONFIG_HOME/tarvo/config.json",
       "Settings kept in a file (default ~/.config/tarvo/config.json): api_url, env, api_key "
       "and organization, each overridden by its variable. A key besides these, and an "
       "api_key in a file that group or others may read (chmod 600 is the fix), each give a "
       "warning."},
      {"$XDG_STATE_HOME/tarvo/compute.json",
       "The compute node state (default ~/.local/state/tarvo/compute.json), written by connect "
       "and project, removed by disconnect.",
       kCompute},
      {"/usr/share/tarvo/compute/docker-compose.yml", "The compute stack that connect starts.",
       kCompute},
      {"tarvo.json",
       "A simulator's manifest, at the top of its directory; new writes one. A .tarvoignore "
       "file beside it leaves files out of what publish uploads.",
       kSim},
      {"/usr/share/tarvo/docker/",
       "The Dockerfile of the base image tarvo:latest (tarvo and python3 on Debian), which "
       "the simulator images that new --docker writes start from.",
       kSim},
      {"/usr/lib/tarvo/",
       "The library of command bodies, loaded when a command runs, and make-base-image, which "
       "builds the base image from the tarvo installed on this machine."},
  };
  return entries;
}

const std::vector<Entry>& exit_codes() {
  static const std::vector<Entry> entries{
      {"0", "Success."},
      {"1",
       "The command failed; the reason is printed (on standard error, or as the command's "
       "own message, such as sim status when the Docker engine cannot be reached)."},
      {"2", "The command line was not understood; the usage is printed on standard error."},
      {"130",
       "Interrupted by Ctrl-C, SIGTERM or SIGHUP, after stopping what the command "
       "started; sim run, whose way to end is Ctrl-C, then exits with 0."},
  };
  return entries;
}

unsigned pages_of(const std::string& group) {
  if (group == "compute") return kCompute;
  if (group == "sim") return kSim;
  return kBoth;
}

}  // namespace tarvo::tools::cli_docs
