// Spaces: reading and writing their JSON, text forms, membership, sampling, and the
// variable names of convert_space_to_json.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/manifest.hpp"
#include "sim/serializer_json.hpp"
#include "sim/space.hpp"

namespace {

using nlohmann::ordered_json;
using namespace tarvo::sim;

Space parse(const char* text) {
  return parse_space(ordered_json::parse(text));
}

const char* kNested = R"({"type": "Dict", "spaces": {
  "pos": {"type": "Box", "low": -1, "high": 1, "shape": [2], "dtype": "float32"},
  "arm": {"type": "Dict", "spaces": {"joint": {"type": "Discrete", "n": 3, "start": -1}}},
  "parts": {"type": "Tuple", "spaces": [{"type": "MultiBinary", "n": 2},
                                        {"type": "MultiDiscrete", "nvec": [4]}]}}})";

TEST(SimSpace, TextFormsReadLikeTheUsualOnes) {
  EXPECT_EQ(to_string(parse(R"({"type":"Box","low":-1.0,"high":1.0,"shape":[3]})")),
            "Box(-1.0, 1.0, (3,), float32)");
  EXPECT_EQ(
      to_string(parse(R"({"type":"Box","low":0,"high":255,"shape":[84,84,3],"dtype":"uint8"})")),
      "Box(0, 255, (84, 84, 3), uint8)");
  EXPECT_EQ(
      to_string(parse(R"({"type":"Box","low":[-4.8,"-inf"],"high":[4.8,"inf"],"shape":[2]})")),
      "Box([-4.8 -inf], [4.8 inf], (2,), float32)");
  EXPECT_EQ(to_string(parse(R"({"type":"Box","low":0,"high":1,"shape":[],"dtype":"float64"})")),
            "Box(0.0, 1.0, (), float64)");
  EXPECT_EQ(to_string(parse(R"({"type":"Discrete","n":2})")), "Discrete(2)");
  EXPECT_EQ(to_string(parse(R"({"type":"Discrete","n":3,"start":-1})")), "Discrete(3, start=-1)");
  EXPECT_EQ(to_string(parse(R"({"type":"MultiDiscrete","nvec":[3,2]})")), "MultiDiscrete([3 2])");
  EXPECT_EQ(to_string(parse(R"({"type":"MultiBinary","n":4})")), "MultiBinary(4)");
  EXPECT_EQ(to_string(parse(kNested)),
            "Dict('pos': Box(-1.0, 1.0, (2,), float32), 'arm': Dict('joint': Discrete(3, "
            "start=-1)), 'parts': Tuple(MultiBinary(2), MultiDiscrete([4])))");
  EXPECT_EQ(to_string(parse(R"({"type":"Dict","spaces":{"it's":{"type":"Discrete","n":1}}})")),
            "Dict(\"it's\": Discrete(1))");
}

TEST(SimSpace, JsonRoundTripsAndKeepsKeyOrder) {
  for (const char* text :
       {kNested, R"({"type":"Box","low":[[0,1],[2,3]],"high":9,"shape":[2,2],"dtype":"int32"})",
        R"({"type":"Box","low":[-4.8,"-inf"],"high":[4.8,"inf"],"shape":[2]})",
        // Integral bounds no 64-bit integer holds keep their value.
        R"({"type":"Box","low":[-1e30,0.5],"high":[1e30,9],"shape":[2],"dtype":"uint64"})"}) {
    auto space = parse(text);
    EXPECT_EQ(parse_space(to_json(space)), space) << text;
  }
  auto keys = to_json(parse(kNested))["spaces"];
  EXPECT_EQ(keys.begin().key(), "pos");
  // The shape may be left out when a bound shows it.
  auto inferred = std::get<Box>(parse(R"({"type":"Box","low":[0,0,0],"high":1})").kind);
  EXPECT_EQ(inferred.shape, (std::vector<std::int64_t>{3}));
}

TEST(SimSpace, MalformedSpacesAreClearErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([1,2])", "expected an object"},
      {R"({"n":2})", "missing \"type\""},
      {R"({"type":"Circle"})", "unknown space type 'Circle'"},
      {R"({"type":"Discrete","n":0})", "space.n: expected at least 1"},
      {R"({"type":"Discrete","n":"2"})", "space.n: expected an integer"},
      {R"({"type":"Box","low":0,"high":1,"shape":[2],"dtype":"complex"})", "unknown dtype"},
      {R"({"type":"Box","low":[0,1,2],"high":1,"shape":[2]})", "space.low: expected an array of 2"},
      {R"({"type":"Box","low":2,"high":1,"shape":[1]})", "low is above high"},
      // Integer boxes whose element no integer fits in.
      {R"({"type":"Box","low":0.2,"high":0.7,"shape":[1],"dtype":"int64"})",
       "no signed 64-bit integer"},
      {R"({"type":"Box","low":[0,"inf"],"high":"inf","dtype":"int32"})", "at element 1"},
      {R"({"type":"Box","low":1e19,"high":2e19,"shape":[1],"dtype":"uint64"})", "signed 64-bit"},
      {R"({"type":"Box","low":"lots","high":1,"shape":[1]})", "\"inf\" or \"-inf\""},
      {R"({"type":"Box","low":0,"high":1,"shape":[100000,100000,100]})", "too many elements"},
      {R"({"type":"Dict","spaces":{"a":{"type":"Discrete"}}})", "space.a: missing \"n\""},
      {R"({"type":"Tuple","spaces":[{"type":"MultiDiscrete","nvec":[]}]})", "space[0].nvec"},
  };
  for (const auto& [text, message] : cases) {
    try {
      parse(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const SpaceError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
  // Hostile nesting ends in an error, not a stack overflow.
  std::string deep;
  for (int i = 0; i < 10000; ++i)
    deep += R"({"type":"Tuple","spaces":[)";
  deep += R"({"type":"Discrete","n":1})";
  for (int i = 0; i < 10000; ++i)
    deep += "]}";
  EXPECT_THROW(parse(deep.c_str()), SpaceError);
}

TEST(SimSpace, Membership) {
  auto box = parse(R"({"type":"Box","low":[-4.8,"-inf"],"high":[4.8,"inf"],"shape":[2]})");
  EXPECT_TRUE(contains(box, ordered_json::parse("[4.8, 1e30]")));
  // A float32 simulator's 4.8 is 4.80000019 in double: still inside.
  EXPECT_TRUE(contains(box, ordered_json::parse("[4.800000190734863, 0]")));
  for (const char* outside : {"[4.9, 0]", "[0]", "[0, 0, 0]", "[[0], 0]", "[\"0\", 0]", "0"})
    EXPECT_FALSE(contains(box, ordered_json::parse(outside))) << outside;
  auto ints = parse(R"({"type":"Box","low":0,"high":3,"shape":[],"dtype":"int64"})");
  EXPECT_TRUE(contains(ints, 3));
  EXPECT_FALSE(contains(ints, 1.5));
  auto discrete = parse(R"({"type":"Discrete","n":3,"start":-1})");
  EXPECT_TRUE(contains(discrete, -1));
  EXPECT_TRUE(contains(discrete, 1));
  EXPECT_FALSE(contains(discrete, 2));
  EXPECT_FALSE(contains(discrete, 0.0));
  EXPECT_FALSE(contains(discrete, true));
  auto nested = parse(kNested);
  auto value =
      ordered_json::parse(R"({"arm": {"joint": 0}, "pos": [0.5, -1], "parts": [[0, 1], [3]]})");
  EXPECT_TRUE(contains(nested, value));
  value["parts"][0][1] = 2;
  EXPECT_FALSE(contains(nested, value));
  value["parts"][0][1] = 1;
  value["extra"] = 1;
  EXPECT_FALSE(contains(nested, value));
}

TEST(SimSpace, SamplesStayInside) {
  std::mt19937_64 random(1);
  for (const char* text :
       {kNested, R"({"type":"Box","low":[-4.8,"-inf",0],"high":[4.8,"inf","inf"],"shape":[3]})",
        R"({"type":"Box","low":"-inf","high":5,"shape":[2,2],"dtype":"int8"})",
        R"({"type":"Box","low":0.1,"high":0.1,"shape":[1]})",
        // Bounds at the ends of 64 bits, or pinned at an infinity.
        R"({"type":"Box","low":-9223372036854775808,"high":9223372036854775807,"shape":[3],
            "dtype":"int64"})",
        R"({"type":"Box","low":[-1e300,5],"high":[3,"inf"],"dtype":"int64"})",
        R"({"type":"Box","low":["inf","-inf",0],"high":["inf","-inf",1],"dtype":"float64"})"}) {
    auto space = parse(text);
    for (int i = 0; i < 200; ++i) {
      auto value = sample(space, random);
      ASSERT_TRUE(contains(space, value)) << text << " " << value.dump();
    }
  }
}

TEST(SimSpace, VariableNamesFollowThePath) {
  auto described = convert_space_to_json(parse(kNested));
  std::vector<std::string> names;
  for (const auto& item : described)
    names.push_back(item["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"pos[0]", "pos[1]", "arm.joint", "parts.0[0]",
                                             "parts.0[1]", "parts.1[0]"}));
  EXPECT_EQ(described[2], ordered_json::parse(R"({"name":"arm.joint","type":"discrete",
            "dtype":"int64","low":-1,"high":1})"));
  EXPECT_EQ(described[3]["type"], "binary");
  auto grid = convert_space_to_json(
      parse(R"({"type":"Box","low":[[0,"-inf"],[0,0]],"high":1,"shape":[2,2]})"));
  EXPECT_EQ(grid[1], ordered_json::parse(R"({"name":"value[0][1]","type":"continuous",
            "dtype":"float32","low":"-inf","high":1.0})"));
  EXPECT_EQ(grid[3]["name"], "value[1][1]");
  EXPECT_EQ(convert_space_to_json(parse(R"({"type":"Discrete","n":2})"))[0]["name"], "value");
  EXPECT_TRUE(convert_space_to_json(parse(R"({"type":"Dict","spaces":{}})")).empty());
}

TEST(SimSerializer, KeepsOrderIndentsAndSurvivesBadText) {
  ordered_json value{{"z", 1}, {"a", {{"list", {1, 2}}}}};
  EXPECT_EQ(serialize(value),
            "{\n  \"z\": 1,\n  \"a\": {\n    \"list\": [\n      1,\n      2\n    ]\n  }\n}");
  EXPECT_NO_THROW(serialize(ordered_json{{"bad", std::string("\xff\xfe")}}));
  EXPECT_EQ(serialize(ordered_json()), "null");
}

TEST(SimManifest, ReadsOrNamesTheFaultyField) {
  auto dir =
      std::filesystem::temp_directory_path() / ("tarvo-manifest-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& text) { std::ofstream(dir / "tarvo.json") << text; };
  write(
      R"({"name":"cart","description":"d","kind":"sim-docker","version":"2","command":["./sim","-q"]})");
  auto manifest = read_manifest(dir);
  EXPECT_EQ(manifest.kind, "sim-docker");
  EXPECT_EQ(manifest.command, (std::vector<std::string>{"./sim", "-q"}));
  const std::pair<const char*, const char*> cases[] = {
      {"{", "not valid JSON"},
      {R"({"description":"d","kind":"sim","version":"1","command":["x"]})",
       "missing field \"name\""},
      {R"({"name":"n","description":"d","kind":"simulator","version":"1","command":["x"]})",
       "field \"kind\""},
      {R"({"name":"n","description":"d","kind":"sim","version":1,"command":["x"]})",
       "field \"version\" must be text"},
      {R"({"name":"n","description":"d","kind":"sim","version":"1","command":[]})",
       "field \"command\""},
      {R"({"name":"n","description":"d","kind":"sim","version":"1","command":"python3 sim.py"})",
       "field \"command\""},
  };
  for (const auto& [text, message] : cases) {
    write(text);
    try {
      read_manifest(dir);
      ADD_FAILURE() << "accepted " << text;
    } catch (const ManifestError& error) {
      std::string what = error.what();
      EXPECT_NE(what.find(message), std::string::npos) << what;
      EXPECT_NE(what.find("tarvo.json"), std::string::npos) << what;
    }
  }
  std::filesystem::remove(dir / "tarvo.json");
  EXPECT_THROW(read_manifest(dir), ManifestError);
  std::filesystem::remove_all(dir);
}

}  // namespace
