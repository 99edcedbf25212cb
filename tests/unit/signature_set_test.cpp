// Manifests, UTC times, and the choice of the set a scan reads.
#include "sigdb/signature_set.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sigdb/crypto.h"
#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using testing::TempDir;
using testing::WriteFile;

const std::string kHashA(64, 'a');
const std::string kHashB(64, 'b');

SetManifest SampleManifest(uint64_t version = 42) {
  SetManifest m;
  m.version = version;
  m.created = "2026-12-08T13:00:00Z";
  m.expires = "2026-12-15T13:00:00Z";
  m.files = {{"database.db", 1234, kHashA}, {"heuristics.db", 0, kHashB}};
  return m;
}

std::string Parsed(const std::string& text) {
  SetManifest m;
  std::string error;
  return ParseManifest(text, &m, &error) ? "" : error;
}

TEST(ManifestTest, CanonicalTextRoundTripsAndParsesTheDocumentedForm) {
  const SetManifest m = SampleManifest();
  const std::string text = ManifestText(m);
  EXPECT_EQ(text,
            "{\"format\":1,\"version\":42,\"created\":\"2026-12-08T13:00:00Z\","
            "\"expires\":\"2026-12-15T13:00:00Z\",\"files\":[{\"name\":\"database.db\","
            "\"size\":1234,\"sha256\":\"" +
                kHashA + "\"},{\"name\":\"heuristics.db\",\"size\":0,\"sha256\":\"" + kHashB +
                "\"}]}\n");
  SetManifest back;
  std::string error;
  ASSERT_TRUE(ParseManifest(text, &back, &error)) << error;
  EXPECT_EQ(back, m);

  // Any member order and white space; the largest version and size.
  const std::string spaced =
      " {\n \"files\" : [ {\"sha256\":\"" + kHashA +
      "\", \"size\": 18446744073709551615, \"name\": \"tdb.ldb\"} ],\n"
      " \"expires\": \"2027-01-01T00:00:00Z\", \"created\": \"2026-12-31T23:59:59Z\",\n"
      " \"version\": 18446744073709551615, \"format\": 1 }\r\n";
  ASSERT_TRUE(ParseManifest(spaced, &back, &error)) << error;
  EXPECT_EQ(back.version, UINT64_MAX);
  ASSERT_EQ(back.files.size(), 1u);
  EXPECT_EQ(back.files[0].size, UINT64_MAX);
  EXPECT_EQ(back.files[0].name, "tdb.ldb");
  EXPECT_EQ(ManifestText(back).find("18446744073709551615") != std::string::npos, true);
}

TEST(ManifestTest, MalformedManifestsAreRefusedWithTheReason) {
  const std::string files =
      "\"files\":[{\"name\":\"database.db\",\"size\":1,\"sha256\":\"" + kHashA + "\"}]";
  const std::string times =
      "\"created\":\"2026-12-08T13:00:00Z\",\"expires\":\"2026-12-15T13:00:00Z\"";
  auto with = [&](const std::string& format, const std::string& version,
                  const std::string& tail = "") {
    return "{\"format\":" + format + ",\"version\":" + version + "," + times + "," + files + tail +
           "}";
  };
  EXPECT_EQ(Parsed(with("1", "1")), "");

  struct Case {
    std::string text;
    std::string says;
  };
  const std::string file_head = "{\"format\":1,\"version\":3," + times + ",\"files\":[";
  const Case cases[] = {
      {"", "not valid JSON"},
      {"{", "not valid JSON"},
      {"[]", "not a JSON object"},
      {with("1", "1") + "x", "not valid JSON"},
      {with("2", "1"), "\"format\""},
      {with("1.0", "1"), "\"format\""},
      {with("\"1\"", "1"), "\"format\""},
      {with("1", "0"), "\"version\""},
      {with("1", "-1"), "\"version\""},
      {with("1", "1.5"), "\"version\""},
      {with("1", "1e3"), "\"version\""},
      {with("1", "18446744073709551616"), "\"version\""},
      {with("1", "\"42\""), "\"version\""},
      {with("1", "1", ",\"extra\":true"), "unknown member \"extra\""},
      {with("1", "1", ",\"version\":2"), "\"version\" given twice"},
      {"{\"format\":1," + times + "," + files + "}", "missing \"version\""},
      {"{\"format\":1,\"version\":1," + files + "}", "missing \"created\""},
      {"{\"format\":1,\"version\":1," + times + "}", "missing \"files\""},
      {file_head + "]}", "lists no file"},
      {"{\"format\":1,\"version\":3," + times + ",\"files\":{}}", "must be an array"},
      {file_head + "\"database.db\"]}", "must be an object"},
      {file_head + "{\"name\":\"other.db\",\"size\":1,\"sha256\":\"" + kHashA + "\"}]}",
       "\"name\""},
      {file_head + "{\"name\":\"../database.db\",\"size\":1,\"sha256\":\"" + kHashA + "\"}]}",
       "\"name\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":-1,\"sha256\":\"" + kHashA + "\"}]}",
       "\"size\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":1,\"sha256\":\"" + std::string(64, 'A') +
           "\"}]}",
       "\"sha256\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":1,\"sha256\":\"" + std::string(63, 'a') +
           "\"}]}",
       "\"sha256\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":1}]}", "missing \"sha256\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":1,\"sha256\":\"" + kHashA + "\",\"mode\":1}]}",
       "unknown member \"mode\""},
      {file_head + "{\"name\":\"tdb.ldb\",\"name\":\"tdb.ldb\",\"size\":1,\"sha256\":\"" + kHashA +
           "\"}]}",
       "\"name\" given twice"},
      {file_head + "{\"name\":\"tdb.ldb\",\"size\":1,\"sha256\":\"" + kHashA +
           "\"},{\"name\":\"tdb.ldb\",\"size\":2,\"sha256\":\"" + kHashB + "\"}]}",
       "listed twice"},
      {"{\"format\":1,\"version\":1,\"created\":\"2026-12-08T13:00:00Z\",\"expires\":"
       "\"2026-12-08T12:59:59Z\"," +
           files + "}",
       "before \"created\""},
      {"{\"format\":1,\"version\":1,\"created\":\"2026-12-08 13:00:00\",\"expires\":"
       "\"2026-12-08T13:00:00Z\"," +
           files + "}",
       "\"created\""},
  };
  for (const Case& c : cases) {
    const std::string error = Parsed(c.text);
    EXPECT_NE(error, "") << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(ManifestTest, OversizedAndDeeplyNestedTextIsRefused) {
  // Padding with white space keeps the text valid JSON: only its size refuses it.
  std::string text = ManifestText(SampleManifest());
  text.append(kMaxManifestBytes - text.size(), ' ');
  EXPECT_EQ(Parsed(text), "");
  text += ' ';
  EXPECT_NE(Parsed(text).find("larger than 65536"), std::string::npos);
  // Nesting within the size limit must not exhaust the stack.
  EXPECT_NE(Parsed(std::string(30000, '[') + std::string(30000, ']')), "");
  EXPECT_NE(Parsed("{\"format\":" + std::string(30000, '[') + std::string(30000, ']') + "}"), "");
  // Bytes that are not UTF-8 inside a string.
  EXPECT_NE(Parsed("{\"format\":1,\"x\":\"\xff\"}"), "");
}

TEST(UtcTimeTest, ParsesAndFormatsOnlyValidUtcTimes) {
  int64_t s = -1;
  ASSERT_TRUE(ParseUtcTime("1970-01-01T00:00:00Z", &s));
  EXPECT_EQ(s, 0);
  ASSERT_TRUE(ParseUtcTime("2026-12-08T13:00:00Z", &s));
  EXPECT_EQ(s, 1796734800);
  ASSERT_TRUE(ParseUtcTime("2024-02-29T23:59:59Z", &s));
  EXPECT_EQ(FormatUtcTime(s), "2024-02-29T23:59:59Z");
  ASSERT_TRUE(ParseUtcTime("2000-02-29T00:00:00Z", &s));
  ASSERT_TRUE(ParseUtcTime("1969-12-31T23:59:59Z", &s));
  EXPECT_EQ(s, -1);
  EXPECT_EQ(FormatUtcTime(-1), "1969-12-31T23:59:59Z");
  for (int64_t t : {int64_t{0}, int64_t{951782400}, int64_t{4102444799}, int64_t{253402300799}})
    EXPECT_TRUE(ParseUtcTime(FormatUtcTime(t), &s) && s == t) << t;

  for (const char* bad :
       {"2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2026-13-01T00:00:00Z",
        "2026-00-01T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-08T24:00:00Z",
        "2026-12-08T23:60:00Z", "2026-12-31T23:59:60Z", "2026-12-08T13:00:00",
        "2026-12-08T13:00:00+00:00", "2026-12-08T13:00:00.5Z", "2026-12-08t13:00:00Z",
        "0000-01-01T00:00:00Z", "+026-12-08T13:00:00Z", "2026-1-08T13:00:00Z", ""})
    EXPECT_FALSE(ParseUtcTime(bad, &s)) << bad;
}

// A root with sets/<version>/ folders whose current link names one of them.
class SetRootTest : public ::testing::Test {
 protected:
  // Writes a complete set of the given version into root and returns its manifest.
  SetManifest Install(const std::string& root, uint64_t version, bool link = true,
                      const std::string& hash_db = "HASHES\r\n") {
    const std::string folder = root + "/sets/" + std::to_string(version);
    WriteFile(folder + "/database.db", hash_db);
    WriteFile(folder + "/tdb.ldb", "WINDOWS\r\n");
    SetManifest m;
    m.version = version;
    m.created = "2026-12-01T00:00:00Z";
    m.expires = "2026-12-08T00:00:00Z";
    m.files = {{"database.db", hash_db.size(), Sha256Hex(hash_db)},
               {"tdb.ldb", 9, Sha256Hex("WINDOWS\r\n")}};
    WriteFile(folder + "/nerlo-set.json", ManifestText(m));
    if (link) Point(root, "sets/" + std::to_string(version));
    return m;
  }
  static void Point(const std::string& root, const std::string& target) {
    std::filesystem::remove(root + "/current");
    std::filesystem::create_directory_symlink(target, root + "/current");
  }

  TempDir temp_;
  const std::string user_ = temp_ / "user";
  const std::string system_ = temp_ / "system";
  const std::string program_ = temp_ / "program/";
};

TEST_F(SetRootTest, NewestVersionWinsAndTheFolderIsTheVersionNotTheLink) {
  ResolvedSet set = ResolveSignatureSet({user_, system_}, program_);
  EXPECT_EQ(set.folder, program_);
  EXPECT_EQ(set.version, 0u);
  EXPECT_FALSE(set.has_manifest);
  EXPECT_TRUE(set.warnings.empty());

  Install(system_, 7);
  const SetManifest user_set = Install(user_, 5);
  set = ResolveSignatureSet({user_, system_}, program_);
  EXPECT_EQ(set.folder, system_ + "/sets/7/");
  EXPECT_EQ(set.version, 7u);
  EXPECT_TRUE(set.has_manifest);
  EXPECT_TRUE(set.warnings.empty());

  Install(user_, 9);
  set = ResolveSignatureSet({user_, system_}, program_);
  EXPECT_EQ(set.folder, user_ + "/sets/9/");
  EXPECT_EQ(set.manifest.version, 9u);

  // On a tie the earlier root wins; a link with a trailing slash is read too.
  Install(system_, 9);
  Point(system_, "sets/9/");
  EXPECT_EQ(ResolveSignatureSet({system_, user_}, program_).folder, system_ + "/sets/9/");
  EXPECT_EQ(ResolveSignatureSet({user_, system_}, program_).folder, user_ + "/sets/9/");

  // The program directory is always the fallback; a root without current is silent.
  set = ResolveSignatureSet({temp_ / "nothing-here", temp_.path()}, temp_ / "program");
  EXPECT_EQ(set.folder, program_);
  EXPECT_TRUE(set.warnings.empty());
}

TEST_F(SetRootTest, BrokenSetsArePassedOverWithOneWarningNamingThem) {
  Install(system_, 3);
  struct Breakage {
    const char* what;
    std::function<void()> apply;
    const char* says;
  };
  const std::string v8 = user_ + "/sets/8/";
  const Breakage breakages[] = {
      {"file of another size", [&] { WriteFile(v8 + "database.db", "HASHES\r\nMORE\r\n"); },
       "bytes, the manifest says"},
      {"listed file missing", [&] { std::filesystem::remove(v8 + "tdb.ldb"); }, "missing"},
      {"manifest missing (half-installed)", [&] { std::filesystem::remove(v8 + "nerlo-set.json"); },
       "cannot be read"},
      {"manifest malformed", [&] { WriteFile(v8 + "nerlo-set.json", "{\"format\":1"); },
       "malformed"},
      {"manifest oversized",
       [&] { WriteFile(v8 + "nerlo-set.json", std::string(kMaxManifestBytes + 1, ' ')); },
       "larger than"},
      {"manifest of another version",
       [&] {
         SetManifest m = SampleManifest(9);
         m.files = {{"database.db", 8, kHashA}};
         WriteFile(v8 + "nerlo-set.json", ManifestText(m));
       },
       "names version 9"},
      {"link to a missing version", [&] { Point(user_, "sets/10"); }, "sets/10/"},
      {"link with leading zeros", [&] { Point(user_, "sets/08"); }, "not to sets/<version>"},
      {"absolute link", [&] { Point(user_, v8); }, "not to sets/<version>"},
      {"link leaving the root", [&] { Point(user_, "sets/../../system/sets/3"); },
       "not to sets/<version>"},
      {"current is a folder",
       [&] {
         std::filesystem::remove(user_ + "/current");
         std::filesystem::create_directory(user_ + "/current");
       },
       "not a symbolic link"},
  };
  for (const Breakage& b : breakages) {
    SCOPED_TRACE(b.what);
    std::filesystem::remove_all(user_);
    Install(user_, 8);
    b.apply();
    const ResolvedSet set = ResolveSignatureSet({user_, system_}, program_);
    EXPECT_EQ(set.folder, system_ + "/sets/3/");
    ASSERT_EQ(set.warnings.size(), 1u);
    EXPECT_NE(set.warnings[0].find(user_), std::string::npos) << set.warnings[0];
    EXPECT_NE(set.warnings[0].find(b.says), std::string::npos) << set.warnings[0];
  }
}

TEST_F(SetRootTest, CheckSetFilesFindsChangedBytesOfTheSameSize) {
  const SetManifest m = Install(user_, 4);
  const std::string folder = user_ + "/sets/4/";
  std::vector<std::string> problems;
  EXPECT_TRUE(CheckSetFiles(folder, m, true, &problems));
  EXPECT_TRUE(problems.empty());
  WriteFile(folder + "database.db", "HASHEZ\r\n");
  EXPECT_TRUE(CheckSetFiles(folder, m, false, &problems));
  EXPECT_FALSE(CheckSetFiles(folder, m, true, &problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("database.db\": SHA-256"), std::string::npos) << problems[0];
}

TEST(SetRootsTest, EnvironmentOverrideReplacesTheInstalledRoots) {
  const char* old = std::getenv("NERLO_SET_ROOTS");
  const std::string saved = old != nullptr ? old : "";
  setenv("NERLO_SET_ROOTS", "/a::/b/c:", 1);
  EXPECT_EQ(InstalledSetRoots(), (std::vector<std::string>{"/a", "/b/c"}));
  setenv("NERLO_SET_ROOTS", "", 1);
  EXPECT_TRUE(InstalledSetRoots().empty());
  unsetenv("NERLO_SET_ROOTS");
  const std::vector<std::string> roots = InstalledSetRoots();
  ASSERT_FALSE(roots.empty());
  EXPECT_EQ(roots.back(), "/var/lib/nerlo");
  if (old != nullptr) setenv("NERLO_SET_ROOTS", saved.c_str(), 1);
}

TEST(ExpiryTest, WarnsOnlyOnceExpiredAndGivesTheAge) {
  ResolvedSet set;
  set.version = 12;
  set.has_manifest = true;
  set.manifest = SampleManifest(12);  // created 2026-12-08T13:00:00Z, expires a week later
  int64_t created = 0, expires = 0;
  ASSERT_TRUE(ParseUtcTime(set.manifest.created, &created));
  ASSERT_TRUE(ParseUtcTime(set.manifest.expires, &expires));
  EXPECT_EQ(ExpiryWarning(set, expires - 1), "");
  const std::string at_expiry = ExpiryWarning(set, expires);
  EXPECT_NE(at_expiry.find("version 12"), std::string::npos) << at_expiry;
  EXPECT_NE(at_expiry.find("is 7 days old"), std::string::npos) << at_expiry;
  EXPECT_NE(at_expiry.find("expired on 2026-12-15T13:00:00Z"), std::string::npos);
  EXPECT_NE(ExpiryWarning(set, created + 40 * 86400 + 5).find("is 40 days old"), std::string::npos);
  set.has_manifest = false;  // shipped databases never expire
  EXPECT_EQ(ExpiryWarning(set, expires + 1000 * 86400), "");

  EXPECT_EQ(AgeText(59 * 60), "less than an hour");
  EXPECT_EQ(AgeText(3600), "1 hour");
  EXPECT_EQ(AgeText(86399), "23 hours");
  EXPECT_EQ(AgeText(86400), "1 day");
}

}  // namespace
}  // namespace nerlo::sigdb
