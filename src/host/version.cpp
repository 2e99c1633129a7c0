#include "host/version.hpp"

// TARVO_COMMIT, rewritten by the build only when the checkout's commit changes.
#include "host/commit.hpp"

namespace tarvo::host {

std::string version_text() {
  std::string text = std::string("tarvo ") + TARVO_VERSION;
  if (*TARVO_COMMIT) text += std::string(" (commit ") + TARVO_COMMIT + ")";
  return text;
}

}  // namespace tarvo::host
