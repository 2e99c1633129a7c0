// Packaging a simulator directory: what goes into the archive and what does not.
#include "package/packer.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "package/secrets.hpp"
#include "scoped.hpp"

namespace fs = std::filesystem;
using tarvo::package::looks_like_secret;
using tarvo::package::pack;
using tarvo::package::PackageError;
using tarvo::test::read_text;
using tarvo::test::TempDir;
using tarvo::test::write_text;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct Entry {
  std::string path;
  char type;         // 'f' file, 'd' folder, 'l' link
  std::string data;  // a file's content or a link's target
  unsigned perm = 0;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> read_archive(const fs::path& tar_gz) {
  std::unique_ptr<archive, decltype(&archive_read_free)> in(archive_read_new(), archive_read_free);
  archive_read_support_filter_gzip(in.get());
  archive_read_support_format_tar(in.get());
  if (archive_read_open_filename(in.get(), tar_gz.c_str(), 16384) != ARCHIVE_OK)
    throw std::runtime_error(archive_error_string(in.get()));
  std::vector<Entry> entries;
  archive_entry* entry = nullptr;
  while (archive_read_next_header(in.get(), &entry) == ARCHIVE_OK) {
    Entry e{archive_entry_pathname(entry), '?', "", archive_entry_perm(entry)};
    switch (archive_entry_filetype(entry)) {
      case AE_IFDIR:
        e.type = 'd';
        break;
      case AE_IFLNK:
        e.type = 'l';
        e.data = archive_entry_symlink(entry);
        break;
      case AE_IFREG: {
        e.type = 'f';
        e.data.resize(static_cast<std::size_t>(archive_entry_size(entry)));
        archive_read_data(in.get(), e.data.data(), e.data.size());
        break;
      }
    }
    entries.push_back(e);
  }
  return entries;
}

std::vector<std::string> paths(const std::vector<Entry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries)
    out.push_back(e.path);
  return out;
}

void write_manifest(const fs::path& dir, const std::string& kind = "sim") {
  write_text(dir / "tarvo.json",
             R"({"name": "cart pole", "description": "Balances a pole", "kind": ")" + kind +
                 R"(", "version": "2", "command": ["python3", "sim.py"]})");
}

}  // namespace

TEST(Package, ArchivesTheTreeAndReportsTheManifest) {
  TempDir sim;
  write_manifest(sim.path(), "sim-docker");
  write_text(sim.path() / "sim.py", "print('hi')\n");
  write_text(sim.path() / "lib" / "model.py", "x = 1\n");
  fs::create_directories(sim.path() / "empty");
  ::chmod((sim.path() / "sim.py").c_str(), 0755);

  fs::path folder;
  {
    const auto result = pack(sim.path());
    folder = result.folder.path();
    EXPECT_EQ(result.tar_gz, folder / "cart_pole.tar.gz");
    EXPECT_EQ(result.file_name, "cart_pole.tar.gz");
    EXPECT_EQ(result.plugin_name, "cart pole");
    EXPECT_EQ(result.plugin_description, "Balances a pole");
    EXPECT_EQ(result.plugin_type, "sim-docker");
    EXPECT_EQ(result.plugin_version, "2");

    const auto entries = read_archive(result.tar_gz);
    EXPECT_THAT(paths(entries),
                ElementsAre("empty/", "lib/", "lib/model.py", "sim.py", "tarvo.json"));
    EXPECT_EQ(entries[2].data, "x = 1\n");
    EXPECT_EQ(entries[3].perm, 0755);
    EXPECT_EQ(entries[4].data, read_text(sim.path() / "tarvo.json"));
  }
  EXPECT_FALSE(fs::exists(folder)) << "the archive outlived its Package";
}

TEST(Package, LeavesOutCachesBuildOutputsAndIgnoredPaths) {
  TempDir sim;
  write_manifest(sim.path());
  for (const char* file :
       {"sim.py", ".git/config", "__pycache__/sim.cpython-311.pyc", "stale.pyc", "build/out.o",
        "dist/sim.whl", "sim.egg-info/PKG-INFO", "lib/build/keep.py", "run.log", "lib/run.log",
        "data/raw/big.bin", "data/small.csv", "secret.txt", "lib/secret.txt"})
    write_text(sim.path() / file, "x");
  write_text(sim.path() / ".tarvoignore",
             "# local files\n\n*.log\ndata/raw/\n/secret.txt\ntarvo.json\n");

  const auto result = pack(sim.path());
  EXPECT_THAT(paths(read_archive(result.tar_gz)),
              ElementsAre(".tarvoignore", "data/", "data/small.csv", "lib/", "lib/build/",
                          "lib/build/keep.py", "lib/secret.txt", "sim.py", "tarvo.json"));
}

TEST(Package, FilesThatLookLikeSecretsArePackagedAndNamed) {
  TempDir sim;
  write_manifest(sim.path());
  for (const char* file : {".env", "config/.env.local", "keys/id_rsa", "keys/id_rsa.pub",
                           "tls/server.pem", "tls/server.key", ".netrc", "gcp-credentials.json",
                           "sim.py", "environment.py", "ignored.key"})
    write_text(sim.path() / file, "x");
  write_text(sim.path() / ".tarvoignore", "ignored.key\n");

  const auto result = pack(sim.path());
  EXPECT_THAT(result.secret_like_files,
              ElementsAre(".env", ".netrc", "config/.env.local", "gcp-credentials.json",
                          "keys/id_rsa", "tls/server.key", "tls/server.pem"));
  // A warning, not a change of content: they are in the archive.
  const auto archived = paths(read_archive(result.tar_gz));
  for (const auto& file : result.secret_like_files)
    EXPECT_THAT(archived, ::testing::Contains(file));
  EXPECT_THAT(archived, ::testing::Not(::testing::Contains("ignored.key")));

  for (const char* plain : {"sim.py", "envs/a.py", "keys/id_ed25519.pub", "monkey.py"})
    EXPECT_FALSE(looks_like_secret(plain)) << plain;
  for (const char* secret : {".envrc", "a/.env.prod", "id_ed25519", "x/CREDENTIALS", ".pypirc"})
    EXPECT_TRUE(looks_like_secret(secret)) << secret;
}

TEST(Package, ProgressCountsTheContentUpToItsTotal) {
  TempDir sim;
  write_manifest(sim.path());
  write_text(sim.path() / "big.bin", std::string(200'000, 'b'));
  write_text(sim.path() / "small.txt", "12345");
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  pack(sim.path(),
       [&](std::uint64_t done, std::uint64_t total) { reports.emplace_back(done, total); });
  ASSERT_FALSE(reports.empty());
  const std::uint64_t content = 200'000 + 5 + fs::file_size(sim.path() / "tarvo.json");
  EXPECT_EQ(reports.back(), std::make_pair(content, content));
  for (std::size_t i = 1; i < reports.size(); ++i) {
    EXPECT_LE(reports[i - 1].first, reports[i].first);
    EXPECT_EQ(reports[i].second, content);
  }
}

TEST(Package, RejectsAnIgnorePatternItCannotHonour) {
  TempDir sim;
  write_manifest(sim.path());
  write_text(sim.path() / ".tarvoignore", "*.log\n!keep.log\n");
  try {
    pack(sim.path());
    FAIL() << "negated pattern accepted";
  } catch (const PackageError& error) {
    EXPECT_THAT(error.what(), HasSubstr(".tarvoignore, line 2"));
  }
}

TEST(Package, StoresInsideLinksAsLinksAndRefusesLinksThatLeave) {
  TempDir outside;
  write_text(outside.path() / "passwords", "hunter2");
  TempDir sim;
  write_manifest(sim.path());
  write_text(sim.path() / "data" / "table.csv", "1,2");
  fs::create_symlink("data/table.csv", sim.path() / "latest.csv");
  write_text(sim.path() / "lib" / "x.py", "");
  fs::create_symlink(sim.path() / "data", sim.path() / "lib" / "data-abs");  // absolute, inside

  const auto ok = pack(sim.path());
  const auto entries = read_archive(ok.tar_gz);
  EXPECT_THAT(entries, testing::Contains(Entry{"latest.csv", 'l', "data/table.csv", 0777}));
  EXPECT_THAT(entries, testing::Contains(Entry{"lib/data-abs", 'l', "../data", 0777}));

  const std::vector<std::pair<std::string, fs::path>> bad = {
      {"leak", outside.path() / "passwords"},
      {"up", "../../../../../../etc"},
      {"dangling", "data/nothing-here"},
  };
  for (const auto& [name, target] : bad) {
    SCOPED_TRACE(name);
    const fs::path link = sim.path() / "lib" / name;
    fs::create_symlink(target, link);
    try {
      pack(sim.path());
      ADD_FAILURE() << "link to " << target << " packaged";
    } catch (const PackageError& error) {
      EXPECT_THAT(error.what(), HasSubstr(link.string()));
      EXPECT_THAT(error.what(), HasSubstr("points outside the simulator directory"));
    }
    fs::remove(link);
  }

  // A leaving link the user chose to leave out is no obstacle, and never read.
  fs::create_symlink(outside.path(), sim.path() / "escape");
  write_text(sim.path() / ".tarvoignore", "escape\n");
  EXPECT_THAT(paths(read_archive(pack(sim.path()).tar_gz)),
              testing::Not(testing::Contains(testing::StartsWith("escape"))));
}

TEST(Package, SameTreeGivesTheSameBytes) {
  // Two copies built in opposite orders, with the same times: the archives must match.
  TempDir first, second;
  const std::vector<std::string> files = {"a.py", "b/c.txt", "b/a.txt", "a-b.txt", "z"};
  for (std::size_t i = 0; i < files.size(); ++i) {
    write_text(first.path() / files[i], files[i]);
    write_text(second.path() / files[files.size() - 1 - i], files[files.size() - 1 - i]);
  }
  write_manifest(first.path());
  write_manifest(second.path());
  const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24);
  for (const auto* root : {&first, &second})
    for (const auto& entry : fs::recursive_directory_iterator(root->path()))
      fs::last_write_time(entry.path(), when);

  const auto one = pack(first.path());
  const auto again = pack(first.path());
  const auto other = pack(second.path());
  const std::string bytes = read_text(one.tar_gz);
  EXPECT_EQ(bytes, read_text(again.tar_gz));
  EXPECT_EQ(bytes, read_text(other.tar_gz));
  EXPECT_THAT(paths(read_archive(one.tar_gz)),
              ElementsAre("a-b.txt", "a.py", "b/", "b/a.txt", "b/c.txt", "tarvo.json", "z"));
}

TEST(Package, ManifestFaultsNameTheFileAndTheField) {
  TempDir sim;
  const std::string manifest = (sim.path() / "tarvo.json").string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", manifest + ": missing"},
      {"{\"name\": ", manifest + ": not valid JSON"},
      {"[]", manifest + ": expected a JSON object"},
      {R"({"name": "x", "description": "", "version": "1"})",
       manifest + ": missing field \"kind\""},
      {R"({"name": 7, "description": "", "kind": "sim", "version": "1"})",
       manifest + ": field \"name\" must be text"},
      {R"({"name": "", "description": "", "kind": "sim", "version": "1"})",
       manifest + ": field \"name\" must not be empty"},
      {R"({"name": "x", "description": "", "kind": "sim", "version": 3, "command": ["a"]})",
       manifest + ": field \"version\" must be text"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    fs::remove(sim.path() / "tarvo.json");
    if (!text.empty()) write_text(sim.path() / "tarvo.json", text);
    try {
      pack(sim.path());
      ADD_FAILURE() << "packaged";
    } catch (const PackageError& error) {
      EXPECT_THAT(error.what(), HasSubstr(message));
    }
  }

  EXPECT_THROW(pack(sim.path() / "tarvo.json"), PackageError);
}
