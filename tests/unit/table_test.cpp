// Box-drawn tables: display widths of UTF-8 text, fitting to the width, folding cells.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/utf8.hpp"
#include "term/console.hpp"
#include "term/table.hpp"

namespace tarvo::term {
namespace {

// Whether `text` is well-formed UTF-8 (a folded cell must never split a character).
bool valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const auto [c, n] = core::decode_utf8(text);
    if (c == 0xFFFD && n == 1) return false;
    text.remove_prefix(n);
  }
  return true;
}

// Checks the table's shape: every line equally wide, within `width`, and intact UTF-8.
void expect_rectangle(const std::vector<std::string>& lines, int width) {
  ASSERT_FALSE(lines.empty());
  const int first = display_width(lines.front());
  EXPECT_LE(first, width);
  for (const auto& line : lines) {
    EXPECT_EQ(display_width(line), first) << line;
    EXPECT_TRUE(valid_utf8(line)) << line;
  }
}

// The text of the cells of column `column` (0-based) in body lines, spaces removed.
std::string column_text(const std::vector<std::string>& lines, std::size_t column) {
  std::string text;
  for (const auto& line : lines) {
    if (line.rfind("│", 0) != 0) continue;
    std::size_t start = 0;
    for (std::size_t c = 0; c <= column; ++c)
      start = line.find("│", start) + std::string("│").size();
    const std::size_t end = line.find("│", start);
    for (char ch : line.substr(start, end - start))
      if (ch != ' ') text += ch;
  }
  return text;
}

TEST(DisplayWidth, CountsColumnsNotBytes) {
  EXPECT_EQ(display_width("abc"), 3);
  EXPECT_EQ(display_width("日本語"), 6);
  EXPECT_EQ(display_width("한국어"), 6);
  EXPECT_EQ(display_width("😀"), 2);
  EXPECT_EQ(display_width("👍🏽"), 2);            // skin tone modifier joins the emoji
  EXPECT_EQ(display_width("👨‍👩‍👧"), 2);  // joined family
  EXPECT_EQ(display_width("e\u0301"), 1);             // combining acute
  EXPECT_EQ(display_width("\x1b[31mred\x1b[0m"), 3);
  EXPECT_EQ(display_width("a\xff"
                          "b"),
            3);                             // a stray byte shows as one replacement mark
  EXPECT_EQ(display_width("\xe6\x97"), 2);  // a truncated sequence: two stray bytes
}

TEST(Wrap, BreaksAtSpacesThenInsideWordsNeverInsideCharacters) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(wrap("hello big world", 9), (Lines{"hello big", "world"}));
  EXPECT_EQ(wrap("abcdefgh", 3), (Lines{"abc", "def", "gh"}));
  EXPECT_EQ(wrap("日本語テキスト", 5), (Lines{"日本", "語テ", "キス", "ト"}));
  EXPECT_EQ(wrap("a\n\nb", 10), (Lines{"a", "", "b"}));
  EXPECT_EQ(wrap("", 4), (Lines{""}));
  // A style in force at a break is closed and reopened.
  EXPECT_EQ(wrap("\x1b[31maaa bbb\x1b[0m", 3), (Lines{"\x1b[31maaa\x1b[0m", "\x1b[31mbbb\x1b[0m"}));
}

TEST(Wrap, LongWordsBreakAtSoftBreaksButNeverInsideAnAddress) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(wrap("127.0.0.1:49153->1337/tcp", 18), (Lines{"127.0.0.1:49153->", "1337/tcp"}));
  EXPECT_EQ(wrap("tarvo/echo-sim", 6), (Lines{"tarvo/", "echo-", "sim"}));
  // Too narrow for the address: it overflows rather than reading as another one.
  EXPECT_EQ(wrap("localhost:49153", 8), (Lines{"localhost:49153"}));
  EXPECT_EQ(wrap("http://[::1]:5000", 8), (Lines{"http://[::1]:5000"}));
  // Words without an address still fold inside when they must.
  EXPECT_EQ(wrap("abcdefgh", 3), (Lines{"abc", "def", "gh"}));

  const auto minimums = wrap_minimums("Historian Enabled tarvo/echo-sim 127.0.0.1:49153->1337/tcp");
  EXPECT_EQ(minimums.word, 25);
  EXPECT_EQ(minimums.piece, 17);
  EXPECT_EQ(minimums.unbreakable, 17);
}

TEST(Truncate, MarksTheCutAndKeepsStylesBalanced) {
  EXPECT_EQ(truncate("short", 10), "short");
  EXPECT_EQ(truncate("abcdefgh", 5), "abcd…");
  EXPECT_EQ(truncate("日本語", 4), "日…");
  EXPECT_EQ(truncate("\x1b[1mabcdef\x1b[0m", 3), "\x1b[1mab…\x1b[0m");
}

TEST(Table, DrawsHeavyHeaderAndLightBody) {
  Table table;
  table.add_column("Name");
  table.add_column("Value");
  table.add_row({"a", "1"});
  table.add_row({"bb", "22"});
  const std::vector<std::string> expected = {
      "┏━━━━━━┳━━━━━━━┓",  //
      "┃ Name ┃ Value ┃",  //
      "┡━━━━━━╇━━━━━━━┩",  //
      "│ a    │ 1     │",  //
      "│ bb   │ 22    │",  //
      "└──────┴───────┘",
  };
  EXPECT_EQ(table.render(80, false), expected);
}

TEST(Table, NoRowsKeepsHeaderAndClosesBox) {
  Table table;
  for (const char* header : {"Name", "Image"})
    table.add_column(header);
  const std::vector<std::string> expected = {
      "┏━━━━━━┳━━━━━━━┓",
      "┃ Name ┃ Image ┃",
      "┡━━━━━━╇━━━━━━━┩",
      "└──────┴───────┘",
  };
  EXPECT_EQ(table.render(80, false), expected);
  EXPECT_TRUE(Table().render(80, false).empty());
}

TEST(Table, WideCharactersAndEmojiAlign) {
  Table table;
  table.add_column("名前");
  table.add_column("Status");
  table.add_row({"シミュレーター", "✅ ready"});
  table.add_row({"café", "🚀"});
  table.add_row({"e\u0301t\u00e9", "👨‍👩‍👧 family"});
  const auto lines = table.render(80, false);
  expect_rectangle(lines, 80);
  EXPECT_EQ(lines[1], "┃ 名前           ┃ Status    ┃");
  EXPECT_EQ(lines[3], "│ シミュレーター │ ✅ ready  │");
}

TEST(Table, OverLongCellsFoldWithinTheWidthAndLoseNothing) {
  const std::string words =
      "a long description of a simulator that goes on well past the edge of the terminal";
  const std::string url = "registry.example.com/organisation/simulator-image:version-1234567890";
  const std::string cjk = "長い説明文がここに続きます長い説明文がここに続きます";
  Table table;
  for (const char* header : {"Name", "Description", "Image"})
    table.add_column(header);
  table.add_row({"sim", words, url});
  table.add_row({"日本", cjk, "🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂"});
  for (int width : {80, 41, 30, 17}) {
    SCOPED_TRACE(width);
    const auto lines = table.render(width, false);
    expect_rectangle(lines, width);
    std::string expected_words;
    for (char c : words)
      if (c != ' ') expected_words += c;
    const std::string description = column_text(lines, 1);
    EXPECT_EQ(description, expected_words + cjk);
    EXPECT_EQ(column_text(lines, 2),
              url + "🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂🙂");
    // The narrow first column keeps its text whole while the wide ones give up room.
    EXPECT_EQ(column_text(lines, 0), "sim日本");
  }
}

TEST(Table, AStatusTableAtEightyColumnsKeepsEveryAddressWhole) {
  Table table;
  for (const char* header : {"Name", "Image", "Address", "Ports", "Historian Enabled", "Version"})
    table.add_column(header);
  table.add_row({"echo-sim", "tarvo/echo-sim", "localhost:49153", "127.0.0.1:49153->1337/tcp",
                 "True", "0.1.0"});
  table.add_row({"other-sim", "tarvo/other-sim", "localhost:49154", "127.0.0.1:49154->1337/tcp",
                 "False", ""});
  const auto lines = table.render(80, false);
  expect_rectangle(lines, 80);
  std::string all;
  for (const auto& line : lines)
    all += line + "\n";
  for (const char* whole : {"localhost:49153", "localhost:49154", "127.0.0.1:49153->",
                            "127.0.0.1:49154->", "Historian", "Enabled"})
    EXPECT_NE(all.find(whole), std::string::npos) << whole << "\n" << all;
  EXPECT_EQ(column_text(lines, 2), "localhost:49153localhost:49154");
}

TEST(Table, TooNarrowStillDrawsWholeCharacters) {
  Table table;
  for (const char* header : {"A", "B", "C"})
    table.add_column(header);
  table.add_row({"日本語", "xyz", "😀😀"});
  const auto lines = table.render(5, false);
  for (const auto& line : lines) {
    EXPECT_TRUE(valid_utf8(line));
    EXPECT_EQ(display_width(line), display_width(lines.front()));
  }
}

TEST(Table, CellsAreMarkupAndStylesStayInsideTheirCell) {
  Table table("Sims");
  table.add_column("Name");
  table.add_column("Note");
  table.add_row({"[red]failed badly here[/red]", escape("[x] not found")});
  const auto plain = table.render(80, false);
  EXPECT_EQ(plain[0], std::string(16, ' ') + "Sims" + std::string(17, ' '));  // centred
  EXPECT_EQ(plain[4], "│ failed badly here │ [x] not found │");

  const auto styled = table.render(20, true);
  expect_rectangle(styled, 20);
  EXPECT_NE(styled[2].find("\x1b[1mName\x1b[0m"), std::string::npos);
  for (const auto& line : styled) {
    const auto red = line.find("\x1b[31m");
    if (red == std::string::npos) continue;
    // Each folded piece is closed before the border that follows it.
    EXPECT_LT(line.find("\x1b[0m", red), line.find("│", red)) << line;
  }
}

TEST(Table, ExtraCellsGetAColumnRatherThanBeingDropped) {
  Table table;
  table.add_column("Only");
  table.add_row({"one", "two"});
  const auto lines = table.render(80, false);
  EXPECT_EQ(lines[3], "│ one  │ two │");
}

}  // namespace
}  // namespace tarvo::term
