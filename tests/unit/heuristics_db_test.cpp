#include "sigdb/heuristics_db.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "platform/exceptions.h"
#include "platform/platform.h"
#include "sigdb/cipher.h"
#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using Strings = std::vector<std::string>;

Strings Loaded(std::string_view decoded) {
  THeuristicList list;
  list.Load(decoded);
  return Strings(list.begin(), list.end());
}

TEST(ReadHeuristicsLine0, LineZeroEndsAtTheFirstLineEndOrZeroByte) {
  TempDir dir;
  const std::pair<std::string, std::string> kCases[] = {
      {"abc", "abc"},
      {"abc\r\ndef", "abc"},
      {"abc\rdef", "abc"},
      {"abc\ndef", "abc"},
      {std::string("ab\0c\r\n", 6), "ab"},
      {"\r\nabc", ""},
      {"\nabc", ""},
      {"\x80\xff \t", "\x80\xff \t"},
  };
  for (const auto& [content, line] : kCases) {
    WriteFile(dir / "heuristics.db", content);
    EXPECT_EQ(ReadHeuristicsLine0(dir / "heuristics.db"), line);
  }
  // A first line longer than any one read.
  const std::string long_line(100000, 'x');
  WriteFile(dir / "heuristics.db", long_line + "\r\n" + std::string(100000, 'y'));
  EXPECT_EQ(ReadHeuristicsLine0(dir / "heuristics.db"), long_line);
  WriteFile(dir / "heuristics.db", long_line + std::string(1, '\0') + "rest");
  EXPECT_EQ(ReadHeuristicsLine0(dir / "heuristics.db"), long_line);
}

TEST(ReadHeuristicsLine0, EmptyTextHasNoLineZero) {
  TempDir dir;
  for (const std::string& content : {std::string(), std::string("\0abc\r\n", 6)}) {
    WriteFile(dir / "heuristics.db", content);
    try {
      ReadHeuristicsLine0(dir / "heuristics.db");
      FAIL() << "no exception";
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (0)");
    }
  }
}

TEST(ReadHeuristicsLine0, OpenFailureNamesTheFullPathAndTheSystemText) {
  TempDir dir;
  const std::string path = dir / "heuristics.db";
  try {
    ReadHeuristicsLine0(path);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    const int no_entry = static_cast<int>(std::errc::no_such_file_or_directory);
    EXPECT_EQ(e.Message(), "Cannot open file \"" + path + "\". " + platform::ErrorText(no_entry));
    EXPECT_NE(platform::ErrorText(no_entry), "");
  }
  EXPECT_THROW(ReadHeuristicsLine0(dir.path()), EFOpenError);
}

TEST(ReadHeuristicsLine0, ReadErrorAfterOpenIsAFileOpenError) {
  platform::ErrorCode error = 0;
  if (!platform::File::Open("/proc/self/mem", platform::LinkPolicy::kFollow, &error).IsOpen())
    GTEST_SKIP() << "/proc/self/mem cannot be opened here";
  try {
    ReadHeuristicsLine0("/proc/self/mem");
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    const int io_error = static_cast<int>(std::errc::io_error);
    EXPECT_EQ(e.Message(), "Cannot open file \"/proc/self/mem\". " + platform::ErrorText(io_error));
  }
}

TEST(HeuristicList, SplitsAtCrLfPairsOnly) {
  EXPECT_EQ(Loaded("abc\r\ndef"), (Strings{"abc", "def"}));
  EXPECT_EQ(Loaded("abc\r\ndef\r\n"), (Strings{"abc", "def", ""}));
  EXPECT_EQ(Loaded(""), (Strings{""}));
  EXPECT_EQ(Loaded("\r\n"), (Strings{"", ""}));
  EXPECT_EQ(Loaded("a\r\n\r\nb"), (Strings{"a", "", "b"}));
  EXPECT_EQ(Loaded("a\rb\nc\n\rd\r\r\n"), (Strings{"a\rb\nc\n\rd\r", ""}));
  EXPECT_EQ(Loaded(std::string("ab\r\ncd\0ef\r\ngh", 13)), (Strings{"ab", "cd"}));
  EXPECT_EQ(Loaded(std::string("ab\r\0\ncd", 7)), (Strings{"ab\r"}));
}

TEST(HeuristicList, PiecesAreCutTo4096Bytes) {
  const std::string long_piece(5000, 'q');
  EXPECT_EQ(Loaded(long_piece), (Strings{long_piece.substr(0, 4096)}));
  const std::string exact(4096, 'e');
  EXPECT_EQ(Loaded(exact + "\r\n" + long_piece + "\r\nz"),
            (Strings{exact, long_piece.substr(0, 4096), "z"}));
}

TEST(HeuristicList, EachLoadReplacesTheList) {
  THeuristicList list;
  list.Load("a\r\nb");
  list.Load("c");
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0], "c");
}

TEST(HeuristicList, EncodedDatabaseLoadsItsStrings) {
  TempDir dir;
  TCaesarCipher cipher;
  WriteFile(dir / "heuristics.db",
            cipher.Encode(kCipherKey, "evil\r\nworm\r\nx") + "\r\nignored line");
  THeuristicList list;
  list.Load(cipher.Decode(kCipherKey, ReadHeuristicsLine0(dir / "heuristics.db")));
  EXPECT_EQ(Strings(list.begin(), list.end()), (Strings{"evil", "worm", "x"}));
}

}  // namespace
}  // namespace nerlo::sigdb
