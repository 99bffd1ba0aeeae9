#include <gtest/gtest.h>

#include "fakes/fake_platform.h"
#include "fakes/names.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

using namespace fakes;

const StateLayout kLayout{kStateDir};
const std::string kTemporary = kStateDir + "\\setup-v1.tmp";
const std::string& kRo = kRoOff;
const std::string& kWw = kWwOff;

const std::string kWritten =
    "{\n"
    "  \"version\": 1,\n"
    "  \"offline_profiles\": [\n"
    "    \"Tessarin.Sandbox.v1.ReadOnly.Offline\",\n"
    "    \"Tessarin.Sandbox.v1.WorkspaceWrite.Offline\"\n"
    "  ]\n"
    "}";

TEST(StateLayout, LocalAppDataElseTheTemporaryFilesDirectory) {
  FakePlatform p;
  const auto state_directory = [](Environment& env) { return state_layout(env).directory; };
  EXPECT_EQ(state_directory(p.env), kStateDir);
  EXPECT_EQ(state_layout(p.env).marker(), kMarker);
  EXPECT_EQ(state_layout(p.env).lease(kWw), lease_of(kWw));
  p.env.variables.erase("LOCALAPPDATA");
  EXPECT_EQ(state_directory(p.env), "C:\\Users\\u\\AppData\\Local\\Temp\\Tessarin\\sandbox");
  // A relative one would move with the current directory.
  for (const char* relative : {"", "AppData", "C:AppData", "\\AppData"}) {
    p.env.variables["LOCALAPPDATA"] = relative;
    EXPECT_EQ(state_directory(p.env), "C:\\Users\\u\\AppData\\Local\\Temp\\Tessarin\\sandbox")
        << relative;
  }
  p.env.variables["LOCALAPPDATA"] = "\\\\server\\share";
  EXPECT_EQ(state_directory(p.env), "\\\\server\\share\\Tessarin\\sandbox");
}

TEST(StateLayout, ARunsTemporaryDirectoryIsADecimalNameRightBelowTheRoot) {
  EXPECT_EQ(run_temp_pid(kLayout, kLayout.run_temp(4294967295u)), 4294967295u);
  EXPECT_EQ(run_temp_pid(kLayout, kStateDir + "\\tmp\\007"), 7u);
  for (const std::string& other :
       {kLayout.temp_root(), kStateDir + "\\tmp\\", kStateDir + "\\tmp\\12x",
        kStateDir + "\\tmp\\-1", kStateDir + "\\tmp\\4294967296", kStateDir + "\\tmp\\1\\2",
        kLeases + "\\9", std::string("C:\\tmp\\9")}) {
    EXPECT_FALSE(run_temp_pid(kLayout, other)) << other;
  }
}

TEST(MarkerBytes, PrettyWithTwoBlankIndentAndNoFinalLineFeed) {
  EXPECT_EQ(serialize_setup_marker(SetupMarker{1, {kRo, kWw}}), kWritten);
  EXPECT_EQ(serialize_setup_marker(SetupMarker{1, {}}),
            "{\n  \"version\": 1,\n  \"offline_profiles\": []\n}");
  EXPECT_EQ(
      serialize_setup_marker(SetupMarker{4294967295u, {"a\"\\\n"}}),
      "{\n  \"version\": 4294967295,\n  \"offline_profiles\": [\n    \"a\\\"\\\\\\n\"\n  ]\n}");
}

TEST(MarkerParsing, ReadsWhatSetupWritesAndEquivalentForms) {
  const std::vector<std::string> valid = {
      kWritten,
      R"({"offline_profiles":["Tessarin.Sandbox.v1.ReadOnly.Offline",)"
      R"("Tessarin.Sandbox.v1.WorkspaceWrite.Offline"],"version":1})",
      " \t\r\n{ \"version\" :\n1 , \"offline_profiles\"\r\n:\t[ \"Tessarin.Sandbox.v1.ReadOnly."
      "Offline\" ,\"Tessarin.Sandbox.v1.WorkspaceWrite.Offline\" ] } \r\n\t ",
      R"({"extra":{"a":[1,2.5,-3,true,false,null,"x",{}],"b":{}},"version":1,"z":null,)"
      R"("offline_profiles":["Tessarin.Sandbox.v1.ReadOnly.Offline",)"
      R"("Tessarin.Sandbox.v1.WorkspaceWrite.Offline"],"w":[]})",
      R"([1,["Tessarin.Sandbox.v1.ReadOnly.Offline","Tessarin.Sandbox.v1.WorkspaceWrite.Offline"]])",
      R"({"version":1,"offline_profiles":["Tessarin.Sandbox.v1.ReadOnly.Off\u006cine",)"
      R"("Tessarin.Sandbox.v1.WorkspaceWrite.Offline"]})",
  };
  for (const auto& text : valid) {
    const auto marker = parse_setup_marker(text);
    ASSERT_TRUE(marker) << text;
    EXPECT_EQ(marker->version, 1u) << text;
    EXPECT_EQ(marker->offline_profiles, (std::vector<std::string>{kRo, kWw})) << text;
  }
}

TEST(MarkerParsing, ValuesAreKeptAsTheyAre) {
  auto repeated = parse_setup_marker(R"({"version":4294967295,"offline_profiles":["b","a","b"]})");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->version, 4294967295u);
  EXPECT_EQ(repeated->offline_profiles, (std::vector<std::string>{"b", "a", "b"}));
  auto empty = parse_setup_marker(R"([0,[]])");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->version, 0u);
  EXPECT_TRUE(empty->offline_profiles.empty());
}

TEST(MarkerParsing, RejectsEverythingElse) {
  const std::vector<std::string> invalid = {
      "",
      "   \n",
      "\xEF\xBB\xBF" + kWritten,
      kWritten + "x",
      kWritten + "\n{}",
      kWritten + std::string(1, '\0'),
      kWritten + std::string(1, '\0') + "garbage",
      kWritten + "\f",
      R"({"version":1.0,"offline_profiles":[]})",
      R"({"version":1e0,"offline_profiles":[]})",
      R"({"version":"1","offline_profiles":[]})",
      R"({"version":-1,"offline_profiles":[]})",
      R"({"version":-0,"offline_profiles":[]})",
      R"({"version":null,"offline_profiles":[]})",
      R"({"version":true,"offline_profiles":[]})",
      R"({"version":[1],"offline_profiles":[]})",
      R"({"version":4294967296,"offline_profiles":[]})",
      R"({"version":18446744073709551616,"offline_profiles":[]})",
      R"({"version":01,"offline_profiles":[]})",
      R"({"version":1,"version":1,"offline_profiles":[]})",
      R"({"version":1,"offline_profiles":[],"offline_profiles":[]})",
      R"({"version":1,"offline_profiles":[],"x":1,"x":2})",
      R"({"version":1,"offline_profiles":[],"x":{"y":1,"y":1}})",
      R"({"version":1,"offline_profiles":[],})",
      R"({"version":1,"offline_profiles":["a",]})",
      R"({"version":1})",
      R"({"offline_profiles":[]})",
      R"({})",
      R"({"version":1,"offline_profiles":null})",
      R"({"version":1,"offline_profiles":"a"})",
      R"({"version":1,"offline_profiles":{}})",
      R"({"version":1,"offline_profiles":[1]})",
      R"({"version":1,"offline_profiles":[null]})",
      R"({"version":1,"offline_profiles":[["a"]]})",
      R"({"version":1,"offline_profiles":[],"x":[1,}})",
      R"({"version":1,"offline_profiles":[],"x":tru})",
      R"({"version":1,"offline_profiles":[],"x":'a'})",
      R"({"version":1,"offline_profiles":[]} // comment)",
      R"([1])",
      R"([1,[],2])",
      R"([])",
      R"(["1",[]])",
      R"([1,null])",
      R"(1)",
      R"("marker")",
      R"(null)",
      "{\"version\":1,\"offline_profiles\":[\"a\xFF\"]}",
      "{\"version\":1,\"offline_profiles\":[\"\xC0\xAF\"]}",
      "{\"version\":1,\"offline_profiles\":[\"\xED\xA0\x80\"]}",
      "{\"version\":1,\"offline_profiles\":[],\"x\xFE\":1}",
      "{\"version\":1,\"offline_profiles\":[],\"x\":\"\xF4\x90\x80\x80\"}",
      R"({"version":1,"offline_profiles":["\ud800"]})",
      R"({"version":1,"offline_profiles":["\udc00x"]})",
      "{\"version\":1,\"offline_profiles\":[\"a\tb\"]}",
  };
  for (const auto& text : invalid) EXPECT_FALSE(parse_setup_marker(text)) << text;
}

TEST(MarkerParsing, NestingStopsAtLevel127) {
  // The outermost object is the first level, so the extra value may open 126.
  const auto nested = [](int levels) {
    return R"({"version":1,"offline_profiles":[],"x":)" + std::string(levels, '[') +
           std::string(levels, ']') + "}";
  };
  EXPECT_TRUE(parse_setup_marker(nested(126)));
  EXPECT_FALSE(parse_setup_marker(nested(127)));
  EXPECT_FALSE(parse_setup_marker(nested(100000)));
  std::string objects = R"({"version":1,"offline_profiles":[])";
  for (int i = 0; i < 126; ++i) objects += ",\"k\":{\"n\":0";
  EXPECT_TRUE(parse_setup_marker(objects + std::string(127, '}')))
      << "126 objects inside the outermost one";
}

TEST(MarkerReading, ThreeOutcomes) {
  FakePlatform p;
  EXPECT_TRUE(std::holds_alternative<MarkerUnreadable>(read_setup_marker(p.files, kLayout)));
  p.files.add_directory(kMarker);
  EXPECT_TRUE(std::holds_alternative<MarkerUnreadable>(read_setup_marker(p.files, kLayout)));
  p.files.nodes.erase(kMarker);
  p.files.add_file(kMarker, kWritten);
  p.files.fail("read_file", kMarker, 5);
  EXPECT_TRUE(std::holds_alternative<MarkerUnreadable>(read_setup_marker(p.files, kLayout)));

  FakePlatform q;
  q.files.add_file(kMarker, kWritten.substr(0, kWritten.size() - 1));
  EXPECT_TRUE(std::holds_alternative<MarkerUnparsable>(read_setup_marker(q.files, kLayout)));
  q.files.add_file(kMarker, kWritten);
  const auto reading = read_setup_marker(q.files, kLayout);
  ASSERT_TRUE(std::holds_alternative<SetupMarker>(reading));
  EXPECT_EQ(std::get<SetupMarker>(reading).offline_profiles, (std::vector<std::string>{kRo, kWw}));
}

TEST(MarkerWriting, TemporaryFileThenDeleteThenRename) {
  FakePlatform p;
  p.files.add_directory(kStateDir);
  ASSERT_TRUE(write_setup_marker(p.files, kLayout, SetupMarker{1, {kRo, kWw}}));
  EXPECT_EQ(p.log, (fakes::EventLog{"fs write " + kTemporary,
                                    "fs rename " + kTemporary + " -> " + kMarker}));
  EXPECT_EQ(p.files.content(kMarker), kWritten);

  // Over an old marker and a leftover temporary file.
  p.log.clear();
  p.files.add_file(kMarker, "old");
  p.files.add_file(kTemporary, "leftover that is longer than the marker itself would be, and more");
  ASSERT_TRUE(write_setup_marker(p.files, kLayout, SetupMarker{1, {kRo, kWw}}));
  EXPECT_EQ(p.log, (fakes::EventLog{"fs write " + kTemporary, "fs remove_file " + kMarker,
                                    "fs rename " + kTemporary + " -> " + kMarker}));
  EXPECT_EQ(p.files.content(kMarker), kWritten);
  EXPECT_FALSE(p.files.has(kTemporary));
}

TEST(MarkerWriting, EachStepHasItsMessage) {
  const SetupMarker marker{1, {kRo, kWw}};
  {
    FakePlatform p;
    p.files.add_directory(kStateDir);
    p.files.add_file(kMarker, "old");
    p.files.fail("write_file", kTemporary, 112);
    EXPECT_EQ(write_setup_marker(p.files, kLayout, marker).error(),
              "write setup marker: fake error 112 (os error 112)");
    EXPECT_EQ(p.files.content(kMarker), "old");
  }
  {
    FakePlatform p;
    p.files.add_directory(kMarker);  // a directory where the marker belongs
    EXPECT_EQ(write_setup_marker(p.files, kLayout, marker).error(),
              "replace setup marker: fake error 5 (os error 5)");
    EXPECT_EQ(p.files.content(kTemporary), kWritten);
  }
  {
    FakePlatform p;
    p.files.add_file(kMarker, "old");
    p.files.fail("rename", kTemporary, 32);
    EXPECT_EQ(write_setup_marker(p.files, kLayout, marker).error(),
              "commit setup marker: fake error 32 (os error 32)");
    EXPECT_FALSE(p.files.has(kMarker));
    EXPECT_EQ(p.files.content(kTemporary), kWritten);
  }
}

}  // namespace
}  // namespace tessarin
