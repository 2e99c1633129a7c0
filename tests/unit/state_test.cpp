// The compute node state store: round trips, atomic replacement, permissions, and
// corrupt files reported without being touched.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compute/state.hpp"
#include "scoped.hpp"

using testing::HasSubstr;
using testing::StartsWith;

namespace tarvo::compute::state {
namespace {

class StateTest : public testing::Test {
 protected:
  std::filesystem::path file() const { return home.path() / "tarvo" / "compute.json"; }
  std::vector<std::string> folder_entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(file().parent_path()))
      names.push_back(entry.path().filename().string());
    return names;
  }
  test::TempDir home;
  test::ScopedEnv state_home{"XDG_STATE_HOME", home.path().string()};
};

TEST_F(StateTest, RoundTripKeepsKeyOrderAndUnknownKeys) {
  EXPECT_EQ(state_file_path(), file());
  EXPECT_EQ(load(), std::nullopt);

  Record record = Record::parse(R"({"cluster_id": "c-1", "organization_id": "o-1",
      "project_id": null, "started_at": "2024-05-01T10:00:00.000001+00:00",
      "ports": {"compute service": 8000, "SeaweedFS filer": 8888},
      "added_by_a_newer_version": {"z": 1, "a": [true, "ü"]}})");
  save(record);
  auto loaded = load();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->dump(), record.dump());  // dump() compares order too

  (*loaded)["project_id"] = "p-9";
  save(*loaded);
  EXPECT_EQ(load()->dump(), loaded->dump());
  EXPECT_THAT(folder_entries(), testing::ElementsAre("compute.json"));  // no temporaries left

  struct stat info {};
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// The file size limit stands in for a full disk: the write fails part way, as root too.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
};

TEST_F(StateTest, FailedWriteLeavesTheOldRecord) {
  save(Record{{"cluster_id", "old"}});
  const auto before = test::read_text(file());
  const auto error_start = "compute node state " + file().string() + ": ";
  {
    FileSizeLimit limit(64);
    EXPECT_THAT(
        [] {
          save(Record{{"cluster_id", std::string(1000, 'n')}});
        },
        testing::ThrowsMessage<std::runtime_error>(StartsWith(error_start)));
  }
  EXPECT_EQ(test::read_text(file()), before);
  EXPECT_THAT(folder_entries(), testing::ElementsAre("compute.json"));

  if (::geteuid() == 0) return;  // root writes into read-only folders
  std::filesystem::permissions(file().parent_path(), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_exec);
  EXPECT_THAT(
      [] {
        save(Record{{"cluster_id", "new"}});
      },
      testing::ThrowsMessage<std::runtime_error>(StartsWith(error_start)));
  EXPECT_THROW(delete_(), std::runtime_error);
  std::filesystem::permissions(file().parent_path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(test::read_text(file()), before);
}

TEST_F(StateTest, CorruptFilesAreReportedAndLeftByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"cluster_id\": \"c-1\",", "not valid JSON ("},
      {"", "not valid JSON ("},
      {"\xff\xfe garbage", "not valid JSON ("},
      {"[1, 2]", "not a JSON object"},
      {"\"text\"", "not a JSON object"},
      // Nested past the limit: refused before anything walks it.
      {std::string(100000, '[') + std::string(100000, ']'), "nesting deeper than 100 levels"},
      {"{\"k\": \"" + std::string(2 << 20, 'x') + "\"}", "larger than 1048576 bytes"},
  };
  for (const auto& [content, fault] : cases) {
    test::write_text(file(), content);
    // One line that says what is wrong and how to get out of it.
    EXPECT_THAT([] { load(); },
                testing::ThrowsMessage<std::runtime_error>(testing::AllOf(
                    StartsWith("compute node state " + file().string() + ": " + fault),
                    HasSubstr("; repair or remove the file (tarvo compute disconnect needs the "
                              "cluster id stored in it to deregister the node)"),
                    testing::Not(HasSubstr("\n")))))
        << content.substr(0, 40);
    EXPECT_EQ(test::read_text(file()), content);
  }
  std::filesystem::remove(file());
  std::filesystem::create_directory(file());
  EXPECT_THAT([] { load(); }, testing::ThrowsMessage<std::runtime_error>(HasSubstr("cannot read")));
}

// A save that was killed before its rename leaves its temporary file; the next
// save removes it, but never the file of a save still running in another process.
TEST_F(StateTest, SavesRemoveTheTemporariesOfKilledSaves) {
  save(Record{{"cluster_id", "c-1"}});
  const pid_t gone = [] {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status;
    ::waitpid(child, &status, 0);
    return child;
  }();
  const auto folder = file().parent_path();
  const std::string killed = ".compute.json." + std::to_string(gone) + ".a1b2c3";
  const std::string older_format = ".compute.json.Q1w2E3";
  const std::string running = ".compute.json." + std::to_string(::getppid()) + ".z9y8x7";
  for (const auto& name : {killed, older_format, running})
    test::write_text(folder / name, "{\"cluster_id\": ");
  save(Record{{"cluster_id", "c-2"}});
  EXPECT_THAT(folder_entries(), testing::UnorderedElementsAre("compute.json", running));
  EXPECT_EQ(load()->value("cluster_id", ""), "c-2");
}

TEST_F(StateTest, OnlyObjectsAreStored) {
  EXPECT_THROW(save(Record::array({1, 2})), std::runtime_error);
  EXPECT_THROW(save(Record{{"bad", std::string("\xff")}}), std::runtime_error);
  EXPECT_EQ(load(), std::nullopt);
}

TEST_F(StateTest, DeleteForgetsTheRecordAndToleratesNone) {
  EXPECT_NO_THROW(delete_());  // nothing stored, not even the folder
  save(Record{{"cluster_id", "c-1"}});
  delete_();
  EXPECT_EQ(load(), std::nullopt);
  EXPECT_NO_THROW(delete_());
}

}  // namespace
}  // namespace tarvo::compute::state
