#include "acl/lease.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "fakes/fake_platform.h"
#include "fakes/names.h"

namespace tessarin {
namespace {

using fakes::kLeases;
const std::string& kProfile = fakes::kWwOff;
const std::string kSid = "S-1-15-2-9";
const std::string kLease = fakes::lease_of(kProfile);
const std::string kTemporary = kLeases + "\\" + kProfile + ".tmp-4242";

TEST(LeaseEncoding, IsCompactWithStandardEscapes) {
  const std::string bytes = encode_acl_lease({"\\\\?\\D:\\work", "D:\\data"});
  EXPECT_EQ(bytes, R"(["\\\\?\\D:\\work","D:\\data"])");
  EXPECT_EQ(bytes.size(), 30u);
  EXPECT_EQ(encode_acl_lease({}), "[]");
  EXPECT_EQ(encode_acl_lease({"D:\\Gr\xC3\xBC\xC3\x9F"
                              "e\x1f\t\""}),
            "[\"D:\\\\Gr\xC3\xBC\xC3\x9F"
            "e\\u001f\\t\\\"\"]");
}

TEST(LeaseDecoding, ReadsBackWhatWasWrittenAndAllowsWhiteSpace) {
  const std::vector<std::string> paths = {"\\\\?\\D:\\w\xC3\xA9rk", "", "a\"b\x01",
                                          "\xF0\x9F\x98\x80"};
  EXPECT_EQ(decode_acl_lease(encode_acl_lease(paths)).value(), paths);
  EXPECT_EQ(decode_acl_lease(" \r\n[\t\"D:\\\\a\" ,\n\"\\u00e9\\ud83d\\ude00\"\r\n]\n ").value(),
            (std::vector<std::string>{"D:\\a", "\xC3\xA9\xF0\x9F\x98\x80"}));
  EXPECT_TRUE(decode_acl_lease("[]").value().empty());
}

TEST(LeaseDecoding, RejectsAnythingButOneArrayOfValidStrings) {
  const std::vector<std::string> bad = {
      "",                                   // nothing
      "{\"a\":\"b\"}",                      // object
      "[1,2]",                              // numbers
      "[\"a\",null]",                       // null element
      "[[\"a\"]]",                          // nested array
      "\"D:\\\\a\"",                        // a bare string
      "[\"a\"",                             // unfinished
      "[\"a\"] x",                          // trailing text
      "[\"a\"][]",                          // a second value
      "\xEF\xBB\xBF[\"a\"]",                // byte-order mark
      "[\"a\xFF\"]",                        // invalid UTF-8 inside a string
      "[\"\xED\xA0\x80\"]",                 // an encoded surrogate
      "[\"\\ud800\"]",                      // an escaped lone surrogate
      "[\"a\tb\"]",                         // raw control character
      "[\"a\"]\f",                          // form feed is not JSON white space
      "/* c */[]",                          // comments
      std::string("[\"a\"]\0[\"b\"]", 10),  // a NUL byte ends nothing
      std::string("[\0]", 3),               // nor inside the array
  };
  for (const auto& bytes : bad) {
    const auto decoded = decode_acl_lease(bytes);
    ASSERT_FALSE(decoded) << bytes;
    EXPECT_NE(decoded.error().find("line "), std::string::npos) << decoded.error();
    EXPECT_NE(decoded.error().find(", column "), std::string::npos) << decoded.error();
    EXPECT_TRUE(is_valid_utf8(decoded.error())) << decoded.error();  // it quotes what it read
  }
}

TEST(LeaseDecoding, TypeErrorsPointAtTheOffendingValue) {
  EXPECT_EQ(decode_acl_lease("\n  {}").error(),
            "type error at line 2, column 3: the lease must be an array of strings, not an object");
  EXPECT_EQ(decode_acl_lease("[\"a\\\"\",\n \"b\", 17\n]").error(),
            "type error at line 2, column 7: the lease must hold only strings, not a number");
  EXPECT_EQ(decode_acl_lease("[\"a\",\n \"b\\u0000\"]").error(),
            "invalid path at line 2, column 2: a NUL character is not allowed");
  EXPECT_EQ(decode_acl_lease("[7]").error(),
            "type error at line 1, column 2: the lease must hold only strings, not a number");
}

class Lease : public ::testing::Test {
 protected:
  fakes::FakePlatform fake;
  Platform& platform = fake.platform;
  const StateLayout layout{fakes::kStateDir};

  std::vector<std::string> revoked_paths() const {
    std::vector<std::string> out;
    for (const auto& run : fake.tools.runs) out.push_back(run.arguments.front());
    return out;
  }
};

TEST_F(Lease, WriteCreatesTheDirectoryAndReplacesThroughATemporaryFile) {
  ASSERT_TRUE(write_acl_lease(platform, kLease, {"\\\\?\\D:\\work", "D:\\data"}));
  EXPECT_EQ(fake.files.content(kLease), R"(["\\\\?\\D:\\work","D:\\data"])");
  EXPECT_FALSE(fake.files.has(kTemporary));
  EXPECT_EQ(fake.events("fs "),
            (std::vector<std::string>{"fs create_directories " + kLeases, "fs write " + kTemporary,
                                      "fs replace " + kTemporary + " -> " + kLease}));
  // A second write replaces the first; a leftover temporary file is reset.
  fake.files.add_file(kTemporary, "partial");
  ASSERT_TRUE(write_acl_lease(platform, kLease, {}));
  EXPECT_EQ(fake.files.content(kLease), "[]");
  EXPECT_EQ(fake.events("fs remove_file"),
            (std::vector<std::string>{"fs remove_file " + kTemporary}));
}

TEST_F(Lease, WriteFailuresKeepThePreviousLease) {
  fake.files.add_file(kLease, "[\"old\"]");
  fake.files.add_file(kTemporary);
  const auto attempt = [&] { return write_acl_lease(platform, kLease, {"new"}).error(); };
  fake.files.fail("remove_file", kTemporary, 32);
  EXPECT_EQ(attempt(), "reset ACL lease: fake error 32 (os error 32)");
  fake.files.heal("remove_file", kTemporary);
  fake.files.nodes.erase(kTemporary);
  fake.files.fail("write_file", kTemporary, 112);
  EXPECT_EQ(attempt(), "write ACL lease: fake error 112 (os error 112)");
  fake.files.heal("write_file", kTemporary);
  fake.files.fail("replace", kTemporary, 5);
  EXPECT_EQ(attempt(), "commit ACL lease: fake error 5 (os error 5)");
  EXPECT_EQ(fake.files.content(kLease), "[\"old\"]");
  fake.files.fail("create_directories", kLeases, 5);
  EXPECT_EQ(attempt(), "create ACL lease directory: fake error 5 (os error 5)");
}

TEST_F(Lease, WriteRefusesPathsItCannotRecordBeforeTouchingAnything) {
  EXPECT_EQ(write_acl_lease(platform, kLease, {"D:\\ok", "D:\\bad\xED\xA0\x80"}).error(),
            "ACL lease cannot record D:\\bad\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD: "
            "the path is not valid UTF-8");
  EXPECT_EQ(write_acl_lease(platform, kLease, {std::string("D:\\a\0b", 6)}).error(),
            "ACL lease cannot record D:\\a?b: the path contains a NUL character");
  EXPECT_TRUE(fake.events("fs ").empty());
}

TEST_F(Lease, RecoveryWithoutALeaseStartsNoTool) {
  ASSERT_TRUE(recover_stale_lease(platform, layout, kProfile, kSid));
  fake.files.add_file(kLease, " [ ] ");
  ASSERT_TRUE(recover_stale_lease(platform, layout, kProfile, kSid));
  EXPECT_FALSE(fake.files.has(kLease));
  EXPECT_TRUE(fake.tools.runs.empty());
}

TEST_F(Lease, RecoveryIgnoresOnlyNotFoundWhenRemovingAnEmptyLease) {
  fake.files.fail("remove_file", kLease, 3, ErrorKind::kNotFound);
  EXPECT_TRUE(recover_stale_lease(platform, layout, kProfile, kSid));
  fake.files.fail("remove_file", kLease, 5);
  EXPECT_EQ(recover_stale_lease(platform, layout, kProfile, kSid).error(),
            "remove empty ACL lease: fake error 5 (os error 5)");
}

TEST_F(Lease, RecoveryRevokesExistingPathsThenDeletes) {
  fake.files.add_directory("D:\\kept");
  fake.files.add_file(kLease, R"(["D:\\gone","D:\\kept"])");
  ASSERT_TRUE(recover_stale_lease(platform, layout, kProfile, kSid));
  EXPECT_EQ(revoked_paths(), (std::vector<std::string>{"D:\\kept"}));
  EXPECT_EQ(fake.tools.runs[0].arguments,
            (std::vector<std::string>{"D:\\kept", "/remove:g", "*" + kSid, "/T", "/C", "/Q"}));
  EXPECT_FALSE(fake.files.has(kLease));
}

// A lease cut short or with any one bit changed is either still a list of
// paths, revoked and removed, or refused with one line that leaves it in place
// and starts no tool: a lease that cannot be read may name grants in force.
TEST(LeaseRecovery, EveryTruncationAndFlippedBitIsRevokedOrRefusedAndKept) {
  const std::string good = encode_acl_lease({"\\\\?\\D:\\w\xC3\xA9rk", "D:\\a\"b"});
  for (const auto& [bytes, cut] : fakes::damaged_copies(good)) {
    fakes::FakePlatform fake;
    fake.files.add_directory("\\\\?\\D:\\w\xC3\xA9rk");
    fake.files.add_file(kLease, bytes);
    const Status recovered =
        recover_stale_lease(fake.platform, StateLayout{fakes::kStateDir}, kProfile, kSid);
    const auto decoded = decode_acl_lease(bytes);
    if (cut || !decoded) {
      ASSERT_FALSE(recovered) << bytes;
      EXPECT_EQ(recovered.error(), "parse ACL lease: " + decoded.error());
      EXPECT_EQ(recovered.error().find('\n'), std::string::npos) << recovered.error();
      EXPECT_TRUE(is_valid_utf8(recovered.error())) << recovered.error();
      EXPECT_EQ(fake.files.content(kLease), bytes);
      EXPECT_TRUE(fake.tools.runs.empty()) << bytes;
    } else {
      EXPECT_TRUE(recovered) << bytes;
      EXPECT_FALSE(fake.files.has(kLease)) << bytes;
      EXPECT_LE(fake.tools.runs.size(), decoded->size()) << bytes;
    }
  }
}

TEST_F(Lease, RecoveryFailuresLeaveTheLease) {
  fake.files.add_directory("D:\\kept");
  // A dead run's temporary directory that cannot be revoked is taken away
  // instead, what cannot be removed moved aside, and so fails nothing.
  const std::string dead = fakes::kStateDir + "\\tmp\\9";
  fake.processes.gone_pids.insert(9);
  fake.files.add_file(dead + "\\locked\\f");
  fake.files.fail("remove_file", dead + "\\locked\\f", 5);
  fake.files.add_file(kLease, encode_acl_lease({"D:\\kept", dead}));

  fake.tools.on_run = [](const fakes::FakeToolRunner::Run&) -> SysResult<CapturedRun> {
    return CapturedRun{5, "Access is denied.\r\n"};
  };
  EXPECT_EQ(recover_stale_lease(platform, layout, kProfile, kSid).error(),
            "workspace ACL cleanup failed for D:\\kept: Access is denied.");
  EXPECT_TRUE(fake.files.has(fakes::kStateDir + "\\stale\\aside1\\locked\\f"));
  EXPECT_FALSE(fake.files.has(dead));
  fake.tools.on_run = nullptr;

  fake.files.fail("remove_file", kLease, 2, ErrorKind::kNotFound);  // it counts here
  EXPECT_EQ(recover_stale_lease(platform, layout, kProfile, kSid).error(),
            "remove ACL lease: fake error 2 (os error 2)");
  fake.files.heal("remove_file", kLease);

  fake.files.fail("read_file", kLease, 33);
  EXPECT_EQ(recover_stale_lease(platform, layout, kProfile, kSid).error(),
            "read ACL lease: fake error 33 (os error 33)");
  fake.files.heal("read_file", kLease);

  fake.files.nodes[kLease].content = "[\"D:\\\\kept\",]";
  const Status parsed = recover_stale_lease(platform, layout, kProfile, kSid);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().rfind("parse ACL lease: parse error at line 1, column 13: ", 0), 0u)
      << parsed.error();
  EXPECT_EQ(fake.files.content(kLease), "[\"D:\\\\kept\",]");
}

}  // namespace
}  // namespace tessarin
