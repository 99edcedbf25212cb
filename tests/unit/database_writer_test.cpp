#include "sigdb/database_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sigdb/cipher.h"
#include "sigdb/heuristics_db.h"
#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using nerlo::testing::ReadFile;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using Strings = std::vector<std::string>;

std::string Enc(std::string_view s) { return TCaesarCipher().Encode(kCipherKey, s); }

// Every byte value once, except zero, CR and LF, and whatever encodes to one of them.
std::string AllUsableBytes() {
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (c == '\r' || c == '\n') continue;
    const auto e = static_cast<unsigned char>(Enc(std::string(1, c))[0]);
    if (e == 0 || e == '\r' || e == '\n') continue;
    bytes.push_back(c);
  }
  return bytes;
}

TEST(DatabaseWriter, EscapesRoundTripEveryByte) {
  std::string every;
  for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
  const std::string text = EscapeBytes(every);
  for (unsigned char c : text) EXPECT_TRUE(c >= 32 && c <= 126);
  std::string back;
  std::string error;
  ASSERT_TRUE(ParseEscapes(text, &back, &error)) << error;
  EXPECT_EQ(back, every);
  EXPECT_EQ(EscapeBytes("a\\b\x01\xff"), "a\\\\b\\x01\\xFF");
  ASSERT_TRUE(ParseEscapes("\\x4a\\x4B\\\\x", &back, &error));
  EXPECT_EQ(back, "JK\\x");
}

TEST(DatabaseWriter, BadEscapesAreRefused) {
  std::string bytes = "unchanged";
  std::string error;
  for (const char* text : {"a\\", "\\n", "\\x4", "\\xG0", "ab\\x", "\\t"}) {
    EXPECT_FALSE(ParseEscapes(text, &bytes, &error)) << text;
    EXPECT_NE(error.find("bad escape"), std::string::npos) << error;
  }
  EXPECT_EQ(bytes, "unchanged");
}

TEST(DatabaseWriter, ListLinesEndInLfOrCrLfAndTheLastEndIsOptional) {
  Strings strings;
  std::string error;
  ASSERT_TRUE(ParseHeuristicList("abc\r\ndef\ng\\\\h\\x0Dz\n", &strings, &error)) << error;
  EXPECT_EQ(strings, (Strings{"abc", "def", "g\\h\rz"}));
  ASSERT_TRUE(ParseHeuristicList("one", &strings, &error));
  EXPECT_EQ(strings, (Strings{"one"}));
}

TEST(DatabaseWriter, RefusalsNameTheLineAndTheEscapedString) {
  struct Case {
    const char* list;
    const char* expected;  // part of the error
  };
  const Case cases[] = {
      {"ok\n\nmore\n", "line 2 (\"\"): the string is empty"},
      {"ok\nx\\x00y\n", "line 2 (\"x\\\\x00y\"): the string holds a zero byte"},
      {"a\\x0D\\x0Ab\n", "line 1 (\"a\\\\x0D\\\\x0Ab\"): the string holds a CR LF pair"},
      {"ok\nbad\\q\n", "line 2 (\"bad\\\\q\"): bad escape"},
      {"", "holds no heuristic string"},
  };
  for (const Case& c : cases) {
    Strings strings = {"kept"};
    std::string error;
    EXPECT_FALSE(ParseHeuristicList(c.list, &strings, &error)) << c.list;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(strings, Strings{"kept"});
  }
}

TEST(DatabaseWriter, StringsWhoseEncodedFormWouldEndTheLineAreRefused) {
  // The key's shift is applied to every byte; find the plain bytes that become 0, CR and LF.
  int refused = 0;
  for (int b = 1; b < 256; ++b) {
    const std::string s = "a" + std::string(1, static_cast<char>(b));
    const auto e = static_cast<unsigned char>(Enc(s)[1]);
    const bool ends_line = e == 0 || e == '\r' || e == '\n';
    const std::string problem = HeuristicStringProblem(s);
    if (ends_line) {
      ++refused;
      EXPECT_NE(problem.find("encoded form"), std::string::npos) << b;
      Strings strings;
      std::string error;
      EXPECT_FALSE(ParseHeuristicList("x\n" + EscapeBytes(s) + "\n", &strings, &error));
      EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    } else {
      EXPECT_EQ(problem, "") << b;
    }
  }
  EXPECT_EQ(refused, 2);  // the byte that would become CR is 0, refused as a zero byte
  EXPECT_NE(HeuristicStringProblem(std::string(kHeuristicReadLimit + 1, 'a')), "");
  EXPECT_EQ(HeuristicStringProblem(std::string(kHeuristicReadLimit, 'a')), "");
}

TEST(DatabaseWriter, HeuristicsDatabaseRoundTripsThroughTheScannersReader) {
  TempDir dir;
  const Strings strings = {"abc",       AllUsableBytes(), "lone\rcr",
                           "\nlone lf", "ends in cr\r",   std::string(kHeuristicReadLimit, 'z')};
  std::string contents;
  std::string error;
  ASSERT_TRUE(BuildHeuristicsDatabase(strings, &contents, &error)) << error;
  ASSERT_TRUE(contents.ends_with("\r\n"));
  const std::string path = dir / "heuristics.db";
  WriteFile(path, contents);

  const std::string line0 = ReadHeuristicsLine0(path);
  EXPECT_EQ(line0.size() + 2, contents.size());  // line 0 is everything before the final CR LF
  THeuristicList list;
  list.Load(TCaesarCipher().Decode(kCipherKey, line0));
  EXPECT_EQ(Strings(list.begin(), list.end()), strings);
  EXPECT_EQ(ReadHeuristicStrings(path), strings);

  // The list text that show prints for it parses back to the same strings.
  std::string shown;
  for (const std::string& s : ReadHeuristicStrings(path)) shown += EscapeBytes(s) + "\n";
  Strings reparsed;
  ASSERT_TRUE(ParseHeuristicList(shown, &reparsed, &error)) << error;
  EXPECT_EQ(reparsed, strings);
}

TEST(DatabaseWriter, BuildRefusesAndLeavesContentsAlone) {
  std::string contents = "old";
  std::string error;
  EXPECT_FALSE(BuildHeuristicsDatabase({}, &contents, &error));
  EXPECT_FALSE(BuildHeuristicsDatabase({"fine", ""}, &contents, &error));
  EXPECT_NE(error.find("string 2"), std::string::npos) << error;
  EXPECT_FALSE(BuildHeuristicsDatabase({"a\r\nb"}, &contents, &error));
  EXPECT_EQ(contents, "old");
}

TEST(DatabaseWriter, AppendSeparatesWithCrLfAndSkipsEntriesAlreadyPresent) {
  const std::string md5 = "D41D8CD98F00B204E9800998ECF8427E";
  const std::string other = "900150983CD24FB0D6963F7D28E17F72";
  std::vector<bool> added;
  std::string db = AppendEntries("", {md5}, &added);
  EXPECT_EQ(db, Enc(md5) + "\r\n");
  EXPECT_EQ(added, std::vector<bool>{true});

  db = AppendEntries(db, {other, md5, other}, &added);
  EXPECT_EQ(db, Enc(md5) + "\r\n" + Enc(other) + "\r\n");
  EXPECT_EQ(added, (std::vector<bool>{true, false, false}));

  // An old file without a final line end gets one before the new entry.
  EXPECT_EQ(AppendEntries("junk", {md5}), "junk\r\n" + Enc(md5) + "\r\n");
  EXPECT_EQ(AppendEntries("junk\r", {md5}), "junk\r\r\n" + Enc(md5) + "\r\n");

  EXPECT_EQ(DecodeEntries(db), (Strings{md5, other}));
  EXPECT_EQ(SplitEntries("\r\nab\r\n\r\ncd"), (Strings{"ab", "cd"}));
}

TEST(DatabaseWriter, ReadWholeFileReadsEverythingAndReportsMissingFiles) {
  TempDir dir;
  std::string big(200000, 'q');
  big[199999] = '\0';
  WriteFile(dir / "f", big);
  std::string contents;
  platform::ErrorCode error = 0;
  ASSERT_TRUE(ReadWholeFile(dir / "f", &contents, &error));
  EXPECT_EQ(contents, big);
  EXPECT_FALSE(ReadWholeFile(dir / "missing", &contents, &error));
  EXPECT_NE(error, 0);
  EXPECT_EQ(contents, big);
}

}  // namespace
}  // namespace nerlo::sigdb
