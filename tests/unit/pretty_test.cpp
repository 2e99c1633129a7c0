// Python literal forms of JSON values, on one line and folded to a width.
#include <gtest/gtest.h>

#include <limits>

#include "core/python_repr.hpp"
#include "term/pretty.hpp"

namespace tarvo::term {
namespace {

using core::python_repr;

using Json = nlohmann::ordered_json;

TEST(PythonRepr, Scalars) {
  EXPECT_EQ(python_repr(nullptr), "None");
  EXPECT_EQ(python_repr(true), "True");
  EXPECT_EQ(python_repr(false), "False");
  EXPECT_EQ(python_repr(42), "42");
  EXPECT_EQ(python_repr(-7), "-7");
  EXPECT_EQ(python_repr(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

TEST(PythonRepr, FloatsUseTheShortestFormThatReadsBack) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1e20, "1e+20"},
      {1.5e300, "1.5e+300"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1.25e-7, "1.25e-07"},
      {123456.789, "123456.789"},
      {0.1 + 0.2, "0.30000000000000004"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& [value, text] : cases)
    EXPECT_EQ(python_repr(value), text) << value;
}

TEST(PythonRepr, StringsQuoteAndEscapeLikePython) {
  EXPECT_EQ(python_repr("text"), "'text'");
  EXPECT_EQ(python_repr(""), "''");
  EXPECT_EQ(python_repr("it's"), "\"it's\"");
  EXPECT_EQ(python_repr("say \"hi\""), "'say \"hi\"'");
  EXPECT_EQ(python_repr("both ' and \""), "'both \\' and \"'");
  EXPECT_EQ(python_repr("C:\\dir"), "'C:\\\\dir'");
  EXPECT_EQ(python_repr("a\nb\tc\rd"), "'a\\nb\\tc\\rd'");
  EXPECT_EQ(python_repr("\x01\x7f"), "'\\x01\\x7f'");
  EXPECT_EQ(python_repr("café 日本 😀"), "'café 日本 😀'");
  EXPECT_EQ(python_repr("\u00a0\u2028"), "'\\xa0\\u2028'");
  EXPECT_EQ(python_repr(std::string("bad\xff")), "'bad\\xff'");
}

TEST(PythonRepr, ContainersKeepTheirOrder) {
  const auto value = Json::parse(R"({"z": 1, "a": [1, "x", null], "m": {}, "l": [], "t": true})");
  EXPECT_EQ(python_repr(value), "{'z': 1, 'a': [1, 'x', None], 'm': {}, 'l': [], 't': True}");
}

TEST(PythonPretty, FitsOnOneLineWhenItCan) {
  const auto value = Json::parse(R"({"name": "my-sim", "ports": [1, 2]})");
  EXPECT_EQ(python_pretty(value, 80), "{'name': 'my-sim', 'ports': [1, 2]}");
  EXPECT_EQ(python_pretty(value, 36), "{'name': 'my-sim', 'ports': [1, 2]}");  // exactly
  EXPECT_EQ(python_pretty(Json::object(), 1), "{}");
  EXPECT_EQ(python_pretty("a long string stays whole", 5), "'a long string stays whole'");
}

TEST(PythonPretty, OpensOnlyWhatDoesNotFitWithCommasBetweenItems) {
  const auto value =
      Json::parse(R"({"name": "my-sim", "ports": {"8000/tcp": 1234}, "tags": ["alpha", "beta"]})");
  EXPECT_EQ(python_pretty(value, 30),
            "{\n"
            "    'name': 'my-sim',\n"
            "    'ports': {\n"
            "        '8000/tcp': 1234\n"
            "    },\n"
            "    'tags': ['alpha', 'beta']\n"
            "}");
  // The comma after an item counts toward its line.
  const auto pairs = Json::parse(R"([[1, 2], [3, 4]])");
  EXPECT_EQ(python_pretty(pairs, 11),
            "[\n"
            "    [1, 2],\n"
            "    [3, 4]\n"
            "]");
  EXPECT_EQ(python_pretty(pairs, 10),
            "[\n"
            "    [\n"
            "        1,\n"
            "        2\n"
            "    ],\n"
            "    [3, 4]\n"
            "]");
}

}  // namespace
}  // namespace tarvo::term
