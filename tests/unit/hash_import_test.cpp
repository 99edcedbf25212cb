// Reading public hash lists: both line forms, skipped kinds, malformed lines and a large list.
#include "sigdb/hash_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sigdb/database_writer.h"

namespace nerlo::sigdb {
namespace {

constexpr uint64_t kLimit = 5242880;
const std::string kMd5 = "d41d8cd98f00b204e9800998ecf8427e";
const std::string kMd5Upper = "D41D8CD98F00B204E9800998ECF8427E";
const std::string kSha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
const std::string kSha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(HashImportTest, ReadsBothFormsMixedWithAnyLineEnds) {
  HashListImporter importer(kLimit);
  importer.Add("a.hdb", kMd5 + ":0:Empty.File\r\n" +  // .hdb, CR LF
                            "# comment\n   # indented comment\n\n \t \r\n" +
                            "0123456789ABCDEFabcdef0123456789:*:Any.Size\n" +  // * size
                            kSha1 + ":*:Sha1.Entry\n" + kSha256 + ":100:Sha256.Entry\n" + "  " +
                            kMd5Upper + "  \n" +  // plain, blanks around
                            "00000000000000000000000000000001:5242880:Too.Large\n" +
                            "00000000000000000000000000000002:5242879:Just.Below:73\n" +
                            "00000000000000000000000000000003:1:Levels:10:20\n" + kSha1 + "\n" +
                            kSha256 + "\r\n" +
                            "ffffffffffffffffffffffffffffffff");  // no final line end
  const HashImportCounts& c = importer.Counts();
  EXPECT_EQ(c.lines, 15);
  EXPECT_EQ(c.md5, 6);
  EXPECT_EQ(c.sha1, 2);
  EXPECT_EQ(c.sha256, 2);
  EXPECT_EQ(c.too_large, 1);
  EXPECT_EQ(c.malformed, 0);
  EXPECT_EQ(importer.Md5Entries(),
            (std::vector<std::string>{kMd5Upper, "0123456789ABCDEFABCDEF0123456789", kMd5Upper,
                                      "00000000000000000000000000000002",
                                      "00000000000000000000000000000003",
                                      "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}));

  // Line numbers go on per file; an empty text has no line; a lone final CR LF ends a line.
  HashListImporter counts(kLimit);
  counts.Add("empty", "");
  counts.Add("one", kMd5 + "\r\n");
  EXPECT_EQ(counts.Counts().lines, 1);
}

TEST(HashImportTest, EachMalformedKindIsReportedWithFileAndLineAndDoesNotStopTheRest) {
  struct Case {
    std::string line;
    std::string says;
  };
  const Case cases[] = {
      {"not a hash", "not an MD5, SHA-1 or SHA-256 hash"},
      {kMd5.substr(1), "not an MD5"},        // 31 digits
      {kMd5 + "0", "not an MD5"},            // 33 digits
      {kMd5.substr(1) + "g", "not an MD5"},  // not hex
      {kMd5 + ":12", "expected HASH:SIZE:NAME, found 2 fields"},
      {kMd5 + ":1:N:2:3:4", "found 6 fields"},
      {kMd5 + ":x:Name", "neither a number nor \"*\""},
      {kMd5 + ":-1:Name", "neither a number nor \"*\""},
      {kMd5 + "::Name", "neither a number nor \"*\""},
      {kMd5 + ":1:", "no signature name"},
      {kMd5 + ":1:Name:x", "engine level"},
      {":1:Name", "not an MD5"},
      {kMd5 + " file.bin", "not an MD5"},  // md5sum's output is no list form
      {std::string("\x01\xff") + kMd5, "\\x01\\xFF"},
  };
  std::string text;
  for (const Case& c : cases) text += c.line + "\n" + kMd5 + "\n";
  HashListImporter importer(kLimit);
  importer.Add("list.txt", text);
  const size_t n = std::size(cases);
  EXPECT_EQ(importer.Counts().malformed, static_cast<int64_t>(n));
  EXPECT_EQ(importer.Counts().md5, static_cast<int64_t>(n));  // every good line after a bad one
  ASSERT_EQ(importer.FirstMalformed().size(), kMalformedLinesKept);
  for (size_t i = 0; i < kMalformedLinesKept; ++i) {
    const MalformedLine& bad = importer.FirstMalformed()[i];
    EXPECT_EQ(bad.file, "list.txt");
    EXPECT_EQ(bad.line, static_cast<int64_t>(2 * i + 1));
    EXPECT_NE(bad.reason.find(cases[i].says), std::string::npos) << bad.reason;
  }
  // The kinds beyond the first ten, each alone.
  for (size_t i = kMalformedLinesKept; i < n; ++i) {
    HashListImporter alone(kLimit);
    alone.Add("b", cases[i].line);
    ASSERT_EQ(alone.FirstMalformed().size(), 1u) << cases[i].line;
    EXPECT_NE(alone.FirstMalformed()[0].reason.find(cases[i].says), std::string::npos)
        << alone.FirstMalformed()[0].reason;
  }
  // A long line is shown cut.
  HashListImporter long_line(kLimit);
  long_line.Add("c", std::string(1000, 'z'));
  EXPECT_LT(long_line.FirstMalformed()[0].reason.size(), 200u);
}

TEST(HashImportTest, AMillionLinesImportAndDuplicatesAreAddedOnce) {
  std::string text;
  text.reserve(1000000 * 50);
  char line[64];
  for (int i = 0; i < 1000000; ++i) {
    // Every tenth line repeats an earlier hash, in the other case and form.
    const int id = i % 10 == 9 ? i - 9 : i;
    if (i % 2 == 0) {
      std::snprintf(line, sizeof line, "%032x:%d:Sample.%d\n", id, i, i);
    } else {
      std::snprintf(line, sizeof line, "%032X\r\n", id);
    }
    text += line;
  }
  HashListImporter importer(kLimit);
  importer.Add("million.hdb", text);
  EXPECT_EQ(importer.Counts().lines, 1000000);
  EXPECT_EQ(importer.Counts().md5, 1000000);
  EXPECT_EQ(importer.Counts().malformed, 0);

  std::vector<bool> added;
  const std::string existing = AppendEntries("", {importer.Md5Entries()[5]});
  const std::string contents = AppendEntries(existing, importer.Md5Entries(), &added);
  int64_t fresh = 0;
  for (bool a : added) fresh += a ? 1 : 0;
  EXPECT_EQ(fresh, 900000 - 1);  // one was in the database already
  EXPECT_EQ(std::count(contents.begin(), contents.end(), '\n'), 900000);
}

}  // namespace
}  // namespace nerlo::sigdb
