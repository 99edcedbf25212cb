#include "cli/report_text.h"

#include <gtest/gtest.h>

#include <string>

namespace nerlo::cli {
namespace {

TEST(DetectionLine, KeepsTheReportFormAndNamesTheCheck) {
  EXPECT_EQ(DetectionLine("/t/a.exe", "", "hash"), "/t/a.exe: Infected! [hash]");
  EXPECT_EQ(DetectionLine("/t/a.exe", "Deleted.", "window 3"),
            "/t/a.exe: Infected! Deleted. [window 3]");
  // A forged report line inside a name stays inside one escaped line.
  EXPECT_EQ(DetectionLine("/t/x\nbank.doc: Infected! Deleted.", "", "heuristic 2"),
            "/t/x\\nbank.doc: Infected! Deleted.: Infected! [heuristic 2]");
  // A control sequence in UTF-8 (C2 9B is CSI to some terminals) is escaped too.
  EXPECT_EQ(DetectionLine("/t/\xC2\x9B" "2J", "", "hash"), "/t/\\xC2\\x9B2J: Infected! [hash]");
}

TEST(ProgressLine, ShowsCountersAndTheWholePathWhenTheyFit) {
  EXPECT_EQ(ProgressLine(12, 3, 1, "/home/u/a.txt", 80),
            "Scanned: 12  Infected: 3  Removed: 1  /home/u/a.txt");
  EXPECT_EQ(ProgressLine(0, 0, 0, "", 80), "Scanned: 0  Infected: 0  Removed: 0");
  EXPECT_EQ(ProgressLine(0, 0, 0, "/x", 0), "");
  EXPECT_EQ(ProgressLine(0, 0, 0, "/x", -5), "");
  // The path is escaped, so the line cannot be broken by it.
  EXPECT_EQ(ProgressLine(1, 0, 0, "/a\nb", 80), "Scanned: 1  Infected: 0  Removed: 0  /a\\nb");
}

TEST(ProgressLine, NeverReachesTheLastColumnAndKeepsTheEndOfAPath) {
  const std::string ascii = "/srv/share/projects/" + std::string(150, 'd') + "/report-final.pdf";
  // Every character of this path takes two or three bytes.
  std::string utf8 = "/";
  for (int i = 0; i < 60; ++i) utf8 += (i % 2 == 0) ? "\xC3\xA9" : "\xE6\x97\xA5";
  utf8 += "/\xF0\x9F\x98\x80.txt";
  const std::string controls = "/t/" + std::string(100, '\x1B') + "/end";
  for (const std::string& path : {ascii, utf8, controls}) {
    for (int columns = 1; columns <= 250; ++columns) {
      const std::string line = ProgressLine(123456, 7, 2, path, columns);
      ASSERT_LE(line.size(), static_cast<size_t>(columns - 1)) << "columns " << columns;
      ASSERT_EQ(line.find('\n'), std::string::npos);
      ASSERT_EQ(line.find('\x1B'), std::string::npos);
      const size_t cut = line.find("  ...");
      if (cut != std::string::npos) {
        // Cut between characters: what follows "..." never starts inside a UTF-8 sequence.
        const auto first = static_cast<unsigned char>(line[cut + 5]);
        EXPECT_NE(first & 0xC0, 0x80) << "columns " << columns;
      }
    }
  }
  const std::string narrow = ProgressLine(1, 0, 0, ascii, 80);
  EXPECT_EQ(narrow.size(), 79u);
  EXPECT_EQ(narrow.substr(narrow.size() - 17), "/report-final.pdf");
  EXPECT_NE(narrow.find("  ...ddd"), std::string::npos);
  // Too narrow for any of the path: the counters alone, cut when they do not fit either.
  EXPECT_EQ(ProgressLine(1, 0, 0, ascii, 38), "Scanned: 1  Infected: 0  Removed: 0");
  EXPECT_EQ(ProgressLine(1, 0, 0, ascii, 11), "Scanned: 1");
}

}  // namespace
}  // namespace nerlo::cli
