#include "core/http.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "core/interrupt.hpp"
#include "core/json_limits.hpp"

namespace tarvo::core::http {
namespace {

// libcurl's global set-up is not thread-safe; a function-local static runs it once.
void global_init() {
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) throw ClientError(std::string("libcurl: ") + curl_easy_strerror(code));
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
  void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;
using Mime = std::unique_ptr<curl_mime, MimeDeleter>;

// At least 1 ms: libcurl reads 0 as "no limit", which a tiny limit must not become.
long to_milliseconds(double seconds) {
  return std::max(1L, std::lround(seconds * 1000));
}

std::string format_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

// State of one transfer, shared with libcurl's callbacks. Callbacks must not throw
// through C code, so a failure is parked here and rethrown after the transfer.
struct Transfer {
  const Request* request = nullptr;
  Response* response = nullptr;
  std::exception_ptr failure;
  bool stopped_by_reader = false;
  bool interrupted = false;
  bool too_large = false;
};

size_t on_write(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  try {
    if (transfer.request->on_data) {
      if (!transfer.request->on_data(std::string_view(data, bytes))) {
        transfer.stopped_by_reader = true;
        return 0;
      }
    } else {
      const std::size_t limit = transfer.request->max_body_bytes;
      if (limit > 0 && transfer.response->body.size() + bytes > limit) {
        transfer.too_large = true;
        return 0;
      }
      transfer.response->body.append(data, bytes);
    }
  } catch (...) {
    transfer.failure = std::current_exception();
    return 0;
  }
  return bytes;
}

// Called often during a transfer (and at least once a second while idle), which
// makes it the place to notice Ctrl-C.
int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t upload_total,
                curl_off_t upload_now) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (transfer.request->interruptible && interrupt::requested()) {
    transfer.interrupted = true;
    return 1;
  }
  if (transfer.request->on_upload_progress && upload_total > 0) {
    try {
      transfer.request->on_upload_progress(static_cast<std::uint64_t>(upload_now),
                                           static_cast<std::uint64_t>(upload_total));
    } catch (...) {
      transfer.failure = std::current_exception();
      return 1;
    }
  }
  return 0;
}

bool same_header_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

Mime build_multipart(CURL* handle, const std::vector<MultipartField>& fields) {
  Mime mime(curl_mime_init(handle));
  if (!mime) throw ClientError("cannot build a multipart body: out of memory");
  for (const auto& field : fields) {
    curl_mimepart* part = curl_mime_addpart(mime.get());
    curl_mime_name(part, field.name.c_str());
    if (field.file_path) {
      // Check here so that a missing file names itself instead of surfacing as a
      // vague read error halfway through the upload.
      const int fd = ::open(field.file_path->c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        throw ClientError("cannot read " + *field.file_path + ": " + std::strerror(errno));
      ::close(fd);
      curl_mime_filedata(part, field.file_path->c_str());
      curl_mime_filename(part, field.value.c_str());
    } else {
      curl_mime_data(part, field.value.data(), field.value.size());
    }
    if (field.content_type) curl_mime_type(part, field.content_type->c_str());
  }
  return mime;
}

}  // namespace

TlsSettings default_tls() {
  TlsSettings tls;
  if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) tls.ca_file = file;
  return tls;
}

nlohmann::ordered_json Response::json() const {
  try {
    return parse_outside_json(body);
  } catch (const JsonError& e) {
    throw ClientError("reply (status " + std::to_string(status) + "): " + e.what());
  }
}

struct Client::Impl {
  ClientOptions options;
  Easy handle;
  std::vector<std::pair<std::string, std::string>> default_headers;
  char error_buffer[CURL_ERROR_SIZE] = {};
};

Client::Client(ClientOptions options) : impl_(std::make_unique<Impl>()) {
  global_init();
  impl_->options = std::move(options);
  impl_->handle.reset(curl_easy_init());
  if (!impl_->handle) throw ClientError("cannot create an HTTP handle");
}

Client::~Client() = default;
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

void Client::set_default_header(std::string name, std::string value) {
  for (auto& [existing, existing_value] : impl_->default_headers) {
    if (same_header_name(existing, name)) {
      existing_value = std::move(value);
      return;
    }
  }
  impl_->default_headers.emplace_back(std::move(name), std::move(value));
}

Response Client::send(const Request& request) {
  if (request.interruptible) interrupt::check();
  CURL* curl = impl_->handle.get();
  // Resetting keeps the connection cache, so consecutive requests reuse connections.
  curl_easy_reset(curl);
  impl_->error_buffer[0] = '\0';

  Response response;
  Transfer transfer;
  transfer.request = &request;
  transfer.response = &response;

  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, impl_->error_buffer);
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (impl_->options.tls.ca_file)
    curl_easy_setopt(curl, CURLOPT_CAINFO, impl_->options.tls.ca_file->c_str());
  if (impl_->options.unix_socket)
    curl_easy_setopt(curl, CURLOPT_UNIX_SOCKET_PATH, impl_->options.unix_socket->c_str());
  if (request.timeout_seconds > 0)
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, to_milliseconds(request.timeout_seconds));
  if (request.connect_timeout_seconds > 0)
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     to_milliseconds(request.connect_timeout_seconds));

  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_write);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  Slist headers;
  auto add_header = [&headers](const std::string& line) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) throw ClientError("cannot build request headers: out of memory");
    (void)headers.release();
    headers.reset(grown);
  };
  for (const auto& header : impl_->default_headers) {
    const bool overridden =
        std::any_of(request.headers.begin(), request.headers.end(),
                    [&](const auto& h) { return same_header_name(h.first, header.first); });
    if (!overridden) add_header(header.first + ": " + header.second);
  }
  for (const auto& [name, value] : request.headers)
    add_header(name + ": " + value);
  // Without this libcurl waits up to a second for "100 Continue" before large bodies.
  add_header("Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

  Mime mime;
  const std::string& method = request.method;
  if (!request.multipart.empty()) {
    mime = build_multipart(curl, request.multipart);
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
    if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (request.body || method == "POST" || method == "PUT" || method == "PATCH") {
    const std::string_view body = request.body ? std::string_view(*request.body) : "";
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  const CURLcode code = curl_easy_perform(curl);
  if (transfer.interrupted) throw Interrupted{};
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  if (transfer.too_large)
    throw ClientError("reply larger than " + std::to_string(request.max_body_bytes) + " bytes");

  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && transfer.stopped_by_reader)) {
    const std::string message =
        impl_->error_buffer[0] ? impl_->error_buffer : curl_easy_strerror(code);
    long os_errno = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_errno);
    curl_off_t connected_after = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected_after);
    const bool connected = connected_after > 0;
    if (code == CURLE_OPERATION_TIMEDOUT) {
      if (!connected) {
        const double limit = request.connect_timeout_seconds > 0 &&
                                     (request.timeout_seconds <= 0 ||
                                      request.connect_timeout_seconds < request.timeout_seconds)
                                 ? request.connect_timeout_seconds
                                 : request.timeout_seconds;
        throw TimeoutError(limit > 0 ? "connection timed out after " + format_seconds(limit)
                                     : "connection timed out");
      }
      throw TimeoutError("request timed out after " + format_seconds(request.timeout_seconds));
    }
    // The kernel gave up on the handshake before any time-out of ours expired.
    if (code == CURLE_COULDNT_CONNECT && os_errno == ETIMEDOUT)
      throw TimeoutError("connection timed out (" + message + ")");
    throw ClientError(message);
  }

  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  const char* content_type = nullptr;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &content_type);
  if (content_type) response.content_type = content_type;
  return response;
}

Response Client::get(const std::string& url, double timeout_seconds) {
  Request request;
  request.url = url;
  request.timeout_seconds = timeout_seconds;
  request.headers = {{"Accept", "application/json"}};
  return send(request);
}

Response Client::post_json(const std::string& url, const nlohmann::ordered_json& body,
                           double timeout_seconds) {
  Request request;
  request.method = "POST";
  request.url = url;
  request.timeout_seconds = timeout_seconds;
  request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
  request.body = body.dump();
  return send(request);
}

Response Client::del(const std::string& url, double timeout_seconds) {
  Request request;
  request.method = "DELETE";
  request.url = url;
  request.timeout_seconds = timeout_seconds;
  request.headers = {{"Accept", "application/json"}};
  return send(request);
}

}  // namespace tarvo::core::http
