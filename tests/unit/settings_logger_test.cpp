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
