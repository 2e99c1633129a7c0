// Opens the library of command bodies on first use. Help screens, usage errors and
// --version never get here, so they never pay for libcurl, gRPC or libarchive.
#include <dlfcn.h>

#include <memory>
#include <stdexcept>

#include "cli/body.hpp"
#include "core/paths.hpp"

namespace tarvo::cli {
namespace {

constexpr const char* kLibraryName = "libtarvo_bodies.so";
using EntryPoint = void (*)(const char*, const Args&);

struct LibraryCloser {
  void operator()(void* handle) const { dlclose(handle); }
};

EntryPoint load_entry_point() {
  // Loaded once per process. RTLD_NODELETE keeps the code mapped after dlclose at
  // exit, because threads of the libraries it pulls in (gRPC) may outlive main.
  static std::unique_ptr<void, LibraryCloser> handle;
  static EntryPoint entry = nullptr;
  if (entry) return entry;
  const auto path = core::paths::library_file(kLibraryName);
  handle.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
  if (!handle) throw std::runtime_error(std::string("cannot load ") + dlerror());
  entry = reinterpret_cast<EntryPoint>(dlsym(handle.get(), "tarvo_run_body"));
  if (!entry) throw std::runtime_error(path.string() + " has no command entry point");
  return entry;
}

}  // namespace

void run_body(const std::string& name, const Args& args) { load_entry_point()(name.c_str(), args); }

}  // namespace tarvo::cli
