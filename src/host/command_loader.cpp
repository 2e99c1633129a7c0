// Opens the library of command bodies on first use. Help screens, usage errors and
// --version never get here, so they never pay for libcurl, gRPC or libarchive.
#include "host/command_loader.hpp"

#include <dlfcn.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "core/paths.hpp"

namespace tarvo::host {
namespace {

constexpr const char* kLibraryName = "libtarvo_bodies.so";

struct LibraryCloser {
  void operator()(void* handle) const { dlclose(handle); }
};

const cli::CommandTable& open_library() {
  // RTLD_NODELETE keeps the code mapped after dlclose at exit, because threads of the
  // libraries it pulls in (gRPC) may outlive main.
  static std::unique_ptr<void, LibraryCloser> handle;
  const auto path = core::paths::library_file(kLibraryName);
  handle.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!handle) throw std::runtime_error(std::string("cannot load ") + dlerror());
  using Lookup = const cli::CommandTable* (*)();
  const auto lookup = reinterpret_cast<Lookup>(dlsym(handle.get(), "tarvo_command_table"));
  const cli::CommandTable* table = lookup ? lookup() : nullptr;
  if (!table) throw std::runtime_error(path.string() + " has no command table");
  if (table->version != cli::kCommandTableVersion || table->size != sizeof(cli::CommandTable))
    throw std::runtime_error(path.string() +
                             " belongs to another version of tarvo; reinstall tarvo");
  return *table;
}

}  // namespace

const cli::CommandTable& load_commands() {
  static const cli::CommandTable& table = open_library();
  return table;
}

}  // namespace tarvo::host
