#include "package/secrets.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace tarvo::package {

bool looks_like_secret(std::string_view relative) {
  const auto slash = relative.rfind('/');
  std::string name(slash == std::string_view::npos ? relative : relative.substr(slash + 1));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name.starts_with(".env")) return true;
  if (name.find("credentials") != std::string::npos) return true;
  static constexpr std::array<std::string_view, 7> kStores = {
      ".netrc", "_netrc", ".pgpass", ".git-credentials", ".npmrc", ".pypirc", ".htpasswd"};
  if (std::find(kStores.begin(), kStores.end(), name) != kStores.end()) return true;
  static constexpr std::array<std::string_view, 4> kKeyNames = {"id_rsa", "id_dsa", "id_ecdsa",
                                                                "id_ed25519"};
  for (const auto key : kKeyNames)
    if (name.starts_with(key) && !name.ends_with(".pub")) return true;
  static constexpr std::array<std::string_view, 4> kKeyFiles = {".pem", ".key", ".p12", ".pfx"};
  return std::any_of(kKeyFiles.begin(), kKeyFiles.end(),
                     [&](std::string_view suffix) { return name.ends_with(suffix); });
}

}  // namespace tarvo::package
