// Settings from environment, config file and defaults; the logger's lines and level.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/logger.hpp"
#include "core/settings.hpp"
#include "scoped.hpp"

using testing::HasSubstr;
using testing::MatchesRegex;

namespace tarvo::core {
namespace {

// A scratch config home and no TARVO_* variables from the developer's shell.
class SettingsTest : public testing::Test {
 protected:
  std::filesystem::path config() const { return home.path() / "tarvo" / "config.json"; }
  test::TempDir home;
  test::ScopedEnv config_home{"XDG_CONFIG_HOME", home.path().string()};
  test::ScopedEnv url{"TARVO_API_URL", std::nullopt}, env{"TARVO_ENV", std::nullopt},
      key{"TARVO_API_KEY", std::nullopt}, organization{"TARVO_ORGANIZATION", std::nullopt};
};

TEST_F(SettingsTest, DefaultsWithoutFileOrEnvironment) {
  const auto settings = load_settings();
  EXPECT_EQ(settings.URL_API, kDefaultApiUrl);
  EXPECT_EQ(settings.TARVO_ENV, kDefaultEnv);
  EXPECT_EQ(settings.api_key, std::nullopt);
  EXPECT_EQ(settings.organization, std::nullopt);
  EXPECT_EQ(config_file_path(), config());
}

TEST_F(SettingsTest, EnvironmentBeatsFileBeatsDefaults) {
  test::write_text(config(), R"({"api_url": "http://file.example//", "env": "staging",
                                 "api_key": "file-key", "future_setting": [1, 2]})");
  auto settings = load_settings();
  EXPECT_EQ(settings.URL_API, "http://file.example");
  EXPECT_EQ(settings.TARVO_ENV, "staging");
  EXPECT_EQ(settings.api_key, "file-key");
  EXPECT_EQ(settings.organization, std::nullopt);

  test::ScopedEnv env_url("TARVO_API_URL", "http://127.0.0.1:9000/");
  test::ScopedEnv env_key("TARVO_API_KEY", "env-key");
  test::ScopedEnv env_org("TARVO_ORGANIZATION", "acme");
  test::ScopedEnv empty_env("TARVO_ENV", "");  // empty counts as unset
  settings = load_settings();
  EXPECT_EQ(settings.URL_API, "http://127.0.0.1:9000");
  EXPECT_EQ(settings.TARVO_ENV, "staging");
  EXPECT_EQ(settings.api_key, "env-key");
  EXPECT_EQ(settings.organization, "acme");
}

TEST_F(SettingsTest, BrokenConfigFileIsAnErrorNamingFileAndFault) {
  const std::string prefix = "config file " + config().string() + ": ";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"api_url\": ", "not valid JSON ("},
      {"", "not valid JSON ("},
      {"[\"api_url\"]", "not a JSON object"},
      {"{\"api_url\": " + std::string(5000, '[') + std::string(5000, ']') + "}",
       "nesting deeper than 100 levels"},
      {R"({"env": 3})", R"("env" must be text, not number)"},
      // Checked even though the environment would override it.
      {R"({"api_key": {"k": "v"}})", R"("api_key" must be text, not object)"},
  };
  test::ScopedEnv env_key("TARVO_API_KEY", "env-key");
  for (const auto& [content, fault] : cases) {
    test::write_text(config(), content);
    EXPECT_THAT([] { load_settings(); },
                testing::ThrowsMessage<std::runtime_error>(testing::StartsWith(prefix + fault)))
        << content;
  }
  std::filesystem::remove(config());
  std::filesystem::create_directory(config());
  EXPECT_THAT([] { load_settings(); },
              testing::ThrowsMessage<std::runtime_error>(HasSubstr(prefix + "cannot read")));
}

TEST(Logger, LinesCarryTimeLevelAndNameAndPrintLiterally) {
  std::string text;
  {
    test::ScopedEnv level("TARVO_LOG_LEVEL", std::nullopt);
    test::CapturedStderr captured;
    const auto logger = get_logger("tarvo.cli.envdesk");
    logger.info("[red]50%s %d[/red] {}");
    logger.debug("hidden at the default level");
    text = captured.text();
  }
  EXPECT_THAT(text,
              MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                           "INFO tarvo[.]cli[.]envdesk: [[]red[]]50%s %d[[]/red[]] [{][}]\n"));
}

TEST_F(SettingsTest, UnknownKeysAndAReadableKeyFileAreWarnedAbout) {
  test::write_text(config(), R"({"api_url": "https://x", "api-key": "k", "envv": "dev"})");
  std::filesystem::permissions(config(), std::filesystem::perms(0600));
  auto settings = load_settings();
  ASSERT_EQ(settings.warnings.size(), 1u);
  EXPECT_EQ(settings.warnings[0], "config file " + config().string() +
                                      ": keys 'api-key', 'envv' unknown and ignored; the known "
                                      "keys are 'api_url', 'env', 'api_key', 'organization'");
  EXPECT_EQ(settings.URL_API, "https://x");

  // A key in a file that others may read: used, with the fix said.
  test::write_text(config(), R"({"api_key": "secret"})");
  std::filesystem::permissions(config(), std::filesystem::perms(0644));
  settings = load_settings();
  EXPECT_EQ(settings.api_key, "secret");
  ASSERT_EQ(settings.warnings.size(), 1u);
  EXPECT_THAT(settings.warnings[0],
              HasSubstr("holds api_key but its mode 0644 lets others read it"));
  EXPECT_THAT(settings.warnings[0], HasSubstr("chmod 600 " + config().string()));
  std::filesystem::permissions(config(), std::filesystem::perms(0640));
  EXPECT_EQ(load_settings().warnings.size(), 1u);

  std::filesystem::permissions(config(), std::filesystem::perms(0600));
  EXPECT_TRUE(load_settings().warnings.empty());
  // Without a key, who may read the file is no concern.
  test::write_text(config(), R"({"env": "dev"})");
  std::filesystem::permissions(config(), std::filesystem::perms(0644));
  EXPECT_TRUE(load_settings().warnings.empty());
}

TEST(Logger, AnInstalledSinkReceivesEveryLineInstead) {
  static std::vector<std::pair<std::string, std::string>> lines;
  lines.clear();
  set_log_sink([](std::string_view prefix, std::string_view message) {
    lines.emplace_back(prefix, message);
  });
  test::CapturedStderr captured;
  get_logger("tarvo.n").info("[red]x[/red]");
  set_log_sink(nullptr);
  EXPECT_EQ(captured.text(), "");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0].first, MatchesRegex(".* INFO tarvo[.]n: "));
  EXPECT_EQ(lines[0].second, "[red]x[/red]");
}

TEST(Logger, LevelComesFromTheEnvironment) {
  for (const auto& [level, shows_debug] :
       {std::pair{"debug", true}, {"info", false}, {"DEBUG-ish", false}}) {
    test::ScopedEnv env("TARVO_LOG_LEVEL", level);
    test::CapturedStderr captured;
    const auto logger = get_logger("n");
    logger.debug("d");
    logger.info("i");
    const auto text = captured.text();
    EXPECT_EQ(text.find(" DEBUG n: d\n") != std::string::npos, shows_debug) << level;
    EXPECT_THAT(text, HasSubstr(" INFO n: i\n")) << level;
  }
}

}  // namespace
}  // namespace tarvo::core
