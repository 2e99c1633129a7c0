#include "package/packer.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/fd.hpp"
#include "core/interrupt.hpp"
#include "core/logger.hpp"
#include "package/filter.hpp"
#include "package/secrets.hpp"
#include "sim/manifest.hpp"

namespace tarvo::package {

namespace fs = std::filesystem;

namespace {

struct ArchiveFree {
  void operator()(archive* handle) const { archive_write_free(handle); }
};
struct EntryFree {
  void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
struct DirClose {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;
using EntryPtr = std::unique_ptr<archive_entry, EntryFree>;

std::string errno_text(int error) {
  return std::generic_category().message(error);
}

// The archive's file name: the simulator name with anything but [A-Za-z0-9._-] replaced.
std::string archive_file_name(const std::string& name) {
  std::string safe;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-';
    safe += plain ? c : '_';
  }
  if (safe.empty() || safe.find_first_not_of('.') == std::string::npos) safe = "sim";
  return safe + ".tar.gz";
}

bool inside(const fs::path& path, const fs::path& root) {
  const fs::path relative = path.lexically_relative(root);
  return !relative.empty() && *relative.begin() != "..";
}

// What a walk learns besides the archive: how much content there is (a measuring
// walk) or has been written, and which files look like secrets.
struct Tally {
  std::uint64_t total = 0;
  std::uint64_t done = 0;
  std::vector<std::string> secret_like;
  PackProgress progress;
};

// Walks the tree through directory descriptors, never through a symbolic link, and
// writes each entry as it is met; without an archive it only measures the content.
class Packer {
 public:
  // `skip` is the folder the archive is written into, should it lie inside the tree.
  Packer(archive* out, fs::path root, const PackageFilter& filter, const struct stat& skip,
         Tally& tally)
      : out_(out), root_(std::move(root)), filter_(filter), skip_(skip), tally_(tally) {}

  void walk(int dir_fd, const std::string& prefix) {
    for (const std::string& name : sorted_names(dir_fd, prefix)) {
      core::interrupt::check();
      const std::string relative = prefix.empty() ? name : prefix + "/" + name;
      struct stat info {};
      if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) fail(relative, errno);
      if (S_ISDIR(info.st_mode)) {
        if (filter_.excluded(relative, true)) continue;
        if (info.st_dev == skip_.st_dev && info.st_ino == skip_.st_ino) continue;
        core::Fd child(
            ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child) fail(relative, errno);
        if (out_) write_header(relative, AE_IFDIR, info, 0);
        walk(child.get(), relative);
      } else if (filter_.excluded(relative, false)) {
        continue;
      } else if (!out_) {
        if (S_ISREG(info.st_mode)) tally_.total += static_cast<std::uint64_t>(info.st_size);
      } else if (S_ISREG(info.st_mode)) {
        if (looks_like_secret(relative)) tally_.secret_like.push_back(relative);
        write_file(dir_fd, name, relative);
      } else if (S_ISLNK(info.st_mode)) {
        write_link(dir_fd, name, prefix, relative, info);
      } else {
        core::get_logger("tarvo.core.plugin_util")
            .info("Leaving out " + relative + ": not a file, folder or symbolic link");
      }
    }
  }

 private:
  [[noreturn]] void fail(const std::string& relative, int error) const {
    throw PackageError("Cannot package " + (root_ / relative).string() + ": " + errno_text(error));
  }

  void check(int status, const std::string& relative) const {
    if (status < ARCHIVE_WARN)
      throw PackageError("Cannot write the archive entry for " + (root_ / relative).string() +
                         ": " + archive_error_string(out_));
  }

  std::vector<std::string> sorted_names(int dir_fd, const std::string& prefix) const {
    // fdopendir takes over the descriptor it is given, so hand it a duplicate.
    const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) fail(prefix, errno);
    std::unique_ptr<DIR, DirClose> dir(::fdopendir(copy));
    if (!dir) {
      const int error = errno;
      ::close(copy);
      fail(prefix, error);
    }
    // The duplicate shares the read position: a second walk starts from the top too.
    ::rewinddir(dir.get());
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
      errno = 0;
    }
    if (errno != 0) fail(prefix, errno);
    std::sort(names.begin(), names.end());
    return names;
  }

  EntryPtr make_entry(const std::string& relative, unsigned type, const struct stat& info,
                      la_int64_t size) const {
    EntryPtr entry(archive_entry_new());
    archive_entry_copy_pathname(entry.get(), relative.c_str());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), type == AE_IFLNK ? 0777 : (info.st_mode & 0777));
    archive_entry_set_size(entry.get(), size);
    archive_entry_set_mtime(entry.get(), info.st_mtim.tv_sec, 0);
    // Owner ids and names of the packaging machine mean nothing to the platform.
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    return entry;
  }

  void write_header(const std::string& relative, unsigned type, const struct stat& info,
                    la_int64_t size) const {
    const EntryPtr entry = make_entry(relative, type, info, size);
    check(archive_write_header(out_, entry.get()), relative);
  }

  void write_file(int dir_fd, const std::string& name, const std::string& relative) const {
    // O_NOFOLLOW: a file swapped for a link since the walk saw it is refused, not followed;
    // O_NONBLOCK: a file swapped for a pipe cannot hang the open.
    core::Fd fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) fail(relative, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) fail(relative, errno);
    if (!S_ISREG(info.st_mode)) fail(relative, EINVAL);
    write_header(relative, AE_IFREG, info, info.st_size);

    char buffer[65536];
    la_int64_t total = 0;
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) {
          core::interrupt::check();
          continue;
        }
        fail(relative, errno);
      }
      total += n;
      if (total > info.st_size) break;
      if (archive_write_data(out_, buffer, static_cast<std::size_t>(n)) < 0)
        check(ARCHIVE_FATAL, relative);
      tally_.done += static_cast<std::uint64_t>(n);
      if (tally_.progress) tally_.progress(tally_.done, std::max(tally_.done, tally_.total));
    }
    // The header already promised st_size bytes: a file that changed meanwhile would be
    // stored cut short or padded, so refuse it.
    if (total != info.st_size)
      throw PackageError("Cannot package " + (root_ / relative).string() +
                         ": the file changed while it was being packaged");
  }

  void write_link(int dir_fd, const std::string& name, const std::string& prefix,
                  const std::string& relative, const struct stat& info) const {
    std::string target(256, '\0');
    for (;;) {
      const ssize_t n = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
      if (n < 0) fail(relative, errno);
      if (static_cast<std::size_t>(n) < target.size()) {
        target.resize(static_cast<std::size_t>(n));
        break;
      }
      target.resize(target.size() * 2);
    }
    const fs::path folder = prefix.empty() ? root_ : root_ / prefix;
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(folder / target, error);
    if (error || !inside(resolved, root_) || !fs::exists(resolved, error))
      throw PackageError("Cannot package " + (root_ / relative).string() +
                         ": the symbolic link points outside the simulator directory (to " +
                         target + "); remove it or list it in " + kIgnoreFile);
    const EntryPtr entry = make_entry(relative, AE_IFLNK, info, 0);
    archive_entry_copy_symlink(entry.get(), resolved.lexically_relative(folder).c_str());
    check(archive_write_header(out_, entry.get()), relative);
  }

  archive* out_;
  fs::path root_;
  const PackageFilter& filter_;
  struct stat skip_;
  Tally& tally_;
};

}  // namespace

Package pack(const fs::path& directory, const PackProgress& progress) {
  std::error_code error;
  const fs::path root = fs::canonical(directory, error);
  if (error || !fs::is_directory(root))
    throw PackageError("Cannot package " + directory.string() + ": not a directory");

  sim::Manifest manifest;
  try {
    manifest = sim::read_manifest(root);
  } catch (const sim::ManifestError& error) {
    throw PackageError(error.what());
  }
  PackageFilter filter;
  try {
    filter = PackageFilter::load(root);
  } catch (const std::system_error& failure) {
    throw PackageError("Cannot read " + (root / kIgnoreFile).string() + ": " +
                       failure.code().message());
  } catch (const std::runtime_error& failure) {
    throw PackageError(failure.what());
  }

  core::Fd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd) throw PackageError("Cannot package " + root.string() + ": " + errno_text(errno));

  core::TempDir folder("tarvo-package-");
  const std::string file_name = archive_file_name(manifest.name);
  const fs::path tar_gz = folder.path() / file_name;

  ArchivePtr out(archive_write_new());
  if (!out) throw PackageError("Cannot start an archive: out of memory");
  auto setup = [&](int status) {
    if (status < ARCHIVE_WARN)
      throw PackageError("Cannot write " + tar_gz.string() + ": " +
                         archive_error_string(out.get()));
  };
  setup(archive_write_add_filter_gzip(out.get()));
  // Without this, gzip records the packaging time and equal trees differ.
  setup(archive_write_set_filter_option(out.get(), "gzip", "timestamp", nullptr));
  setup(archive_write_set_format_pax_restricted(out.get()));
  setup(archive_write_open_filename(out.get(), tar_gz.c_str()));

  struct stat output_folder {};
  if (::stat(folder.path().c_str(), &output_folder) != 0)
    throw PackageError("Cannot package into " + folder.path().string() + ": " + errno_text(errno));
  Tally tally;
  tally.progress = progress;
  // A first walk measures the content, so that progress has something to go by.
  if (progress) Packer(nullptr, root, filter, output_folder, tally).walk(root_fd.get(), "");
  Packer(out.get(), root, filter, output_folder, tally).walk(root_fd.get(), "");
  setup(archive_write_close(out.get()));

  return Package{tar_gz,        file_name,        manifest.name,     manifest.description,
                 manifest.kind, manifest.version, std::move(folder), std::move(tally.secret_like)};
}

}  // namespace tarvo::package
