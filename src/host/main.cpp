// The `tarvo` entry point: mounts the command groups, parses the command line and
// turns whatever leaves a command into an exit code:
//   the exit signal           -> its code
//   a usage error             -> usage line + message on stderr, 2
//   Ctrl-C                    -> "Aborted!", 130
//   any other failure         -> "Error: <message>" on stderr, 1
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/exit.hpp"
#include "cli/surfaces.hpp"
#include "core/interrupt.hpp"
#include "host/command_loader.hpp"
#include "host/help_format.hpp"
#include "host/suggest.hpp"
#include "host/version.hpp"
#include "term/console.hpp"
#include "term/prompt.hpp"

namespace {

// The command the user was reaching for: the deepest subcommand that was parsed.
const CLI::App* deepest_command(const CLI::App& root) {
  const CLI::App* app = &root;
  for (;;) {
    auto parsed = app->get_subcommands();
    if (parsed.empty()) return app;
    app = parsed.back();
  }
}

std::string command_path(const CLI::App* app) {
  std::string path = app->get_name();
  for (auto* parent = app->get_parent(); parent; parent = parent->get_parent())
    path = parent->get_name() + " " + path;
  return path;
}

int report_usage_error(const CLI::App& root, const CLI::ParseError& error) {
  const CLI::App* app = deepest_command(root);
  const std::string path = command_path(app);
  std::string usage = CLI::Formatter().make_usage(app, path);
  while (!usage.empty() && usage.back() == '\n')
    usage.pop_back();
  while (!usage.empty() && usage.front() == '\n')
    usage.erase(0, 1);
  // The message quotes the command line, which may hold anything.
  const std::string message = tarvo::term::for_stream(error.what(), stderr);
  std::fprintf(stderr, "%s\nTry '%s --help' for help.\n\nError: %s\n", usage.c_str(), path.c_str(),
               message.c_str());
  // A hint for a person at a terminal; scripts get the error alone.
  if (isatty(STDERR_FILENO)) {
    const std::string hint = tarvo::host::did_you_mean(*app);
    if (!hint.empty()) std::fprintf(stderr, "\n%s\n", tarvo::term::visible_controls(hint).c_str());
  }
  return 2;
}

void report_error(const char* message) {
  tarvo::term::Console err(stderr);
  err.print("[red]Error:[/red] " + tarvo::term::escape(message));
}

// The help screen of `app`, its usage line naming the whole command path.
std::string help_of(const CLI::App* app) {
  const std::string path = command_path(app);
  const auto space = path.rfind(' ');
  return app->help(space == std::string::npos ? "" : path.substr(0, space));
}

// A group given no command shows its help instead of failing.
void show_help_without_command(CLI::App& group) {
  group.require_subcommand(0, 1);
  group.callback([&group] {
    if (group.get_subcommands().empty()) {
      std::fputs(help_of(&group).c_str(), stdout);
    }
  });
}

// The help layout for `app` and every command below it (each copied its parent's
// formatter when it was added).
void use_formatter(CLI::App& app, const std::shared_ptr<CLI::Formatter>& formatter) {
  app.formatter(formatter);
  for (auto* command : app.get_subcommands([](CLI::App*) { return true; }))
    use_formatter(*command, formatter);
}

}  // namespace

int main(int argc, char** argv) {
  auto app = tarvo::cli::make_app(tarvo::host::load_commands, tarvo::host::version_text());
  use_formatter(*app, tarvo::host::make_help_formatter());
  show_help_without_command(*app->get_subcommand("compute"));
  show_help_without_command(*app->get_subcommand("sim"));
  show_help_without_command(*app);

  tarvo::core::interrupt::install();
  try {
    app->parse(argc, argv);
    std::fflush(stdout);
    return 0;
  } catch (const CLI::CallForHelp&) {
    std::fputs(help_of(deepest_command(*app)).c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    return report_usage_error(*app, e);
  } catch (const tarvo::cli::Exit& e) {
    std::fflush(stdout);
    return e.code;
  } catch (const tarvo::core::Interrupted&) {
    std::fflush(stdout);
    std::fputs(isatty(STDERR_FILENO) ? "\nAborted!\n" : "Aborted!\n", stderr);
    return 130;
  } catch (const tarvo::term::Aborted&) {
    std::fflush(stdout);
    std::fputs("\nAborted!\n", stderr);
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    report_error(e.what());
    return 1;
  } catch (...) {
    std::fflush(stdout);
    report_error("unexpected failure");
    return 1;
  }
}
