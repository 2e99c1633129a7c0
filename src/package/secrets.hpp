#pragma once
// Files that look like secrets: environment files, private keys, credential stores.
// Publishing uploads what the ignore rules include, these too; the publisher is told
// about each so that nothing private leaves the machine unnoticed.
#include <string_view>

namespace tarvo::package {

// Whether the file at `relative` ("/"-separated) looks like a secret by its name:
// .env and .env.* files, private keys (id_rsa, id_ed25519, ..., *.pem, *.key, *.p12,
// *.pfx), .netrc, .pgpass, .git-credentials, .npmrc, .pypirc, .htpasswd, and any
// name containing "credentials".
bool looks_like_secret(std::string_view relative);

}  // namespace tarvo::package
