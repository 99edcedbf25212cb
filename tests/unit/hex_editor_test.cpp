#include "scan/hex_editor.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/exceptions.h"
#include "test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

// Bytes whose value depends on the offset, so that a window taken at the wrong place shows.
std::string PatternBytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

// Takes the windows as the scan run does. Returns how many could be taken and, in *error,
// the message of the failure that stopped it (empty when all eight were taken).
int TakeWindows(THexEditorEx& hx, const std::string& bytes, std::string* error) {
  error->clear();
  for (size_t k = 0; k < kByteWindows.size(); ++k) {
    try {
      hx.SetSelectionStart(kByteWindows[k].first);
      hx.SetSelectionEnd(kByteWindows[k].last);
    } catch (const EHexEditorError& e) {
      *error = e.Message();
      return static_cast<int>(k);
    }
    const auto first = static_cast<size_t>(kByteWindows[k].first);
    const auto last = static_cast<size_t>(kByteWindows[k].last);
    EXPECT_EQ(hx.SelectionHexText(), Hex(bytes.substr(first, last - first + 1)))
        << "window " << k + 1;
  }
  return 8;
}

TEST(THexEditorEx, WindowsTakenAtEveryBoundaryLength) {
  TempDir dir;
  const std::string path = dir / "file";
  struct Case {
    size_t length;
    int windows;
    const char* error;
  };
  std::vector<Case> cases = {{0, 0, "Invalid selection start"},
                             {400, 0, "Invalid selection start"},
                             {401, 0, "Invalid selection end"},
                             {431, 0, "Invalid selection end"}};
  // A file holding the last offset of window k yields k windows; one byte less yields k - 1,
  // failing on the end of window k. The windows are contiguous, so a file that just holds
  // window k ends where window k + 1 starts, and that start is the first failure.
  for (int k = 1; k <= 8; ++k) {
    const auto last = static_cast<size_t>(kByteWindows[k - 1].last);
    cases.push_back({last, k - 1, "Invalid selection end"});
    cases.push_back({last + 1, k, k == 8 ? "" : "Invalid selection start"});
    if (k < 8) cases.push_back({last + 2, k, "Invalid selection end"});
  }
  cases.push_back({5000, 8, ""});
  THexEditorEx hx;
  for (const Case& c : cases) {
    const std::string bytes = PatternBytes(c.length);
    WriteFile(path, bytes);
    hx.LoadFile(path);
    EXPECT_EQ(hx.DataLength(), static_cast<int32_t>(c.length));
    EXPECT_EQ(hx.SelectionLength(), 0);
    std::string error;
    EXPECT_EQ(TakeWindows(hx, bytes, &error), c.windows) << "length " << c.length;
    EXPECT_EQ(error, c.error) << "length " << c.length;
  }
}

TEST(THexEditorEx, WindowEightEndsOnTheLastByteOf663) {
  TempDir dir;
  std::string bytes = PatternBytes(663);
  bytes[662] = '\xAB';
  WriteFile(dir / "f", bytes);
  THexEditorEx hx;
  hx.LoadFile(dir / "f");
  hx.SetSelectionStart(630);
  hx.SetSelectionEnd(662);
  const std::string text = hx.SelectionHexText();
  EXPECT_EQ(text.size(), 66u);
  EXPECT_EQ(text.substr(64), "AB");
  hx.SetSelectionStart(400);
  hx.SetSelectionEnd(431);
  EXPECT_EQ(hx.SelectionHexText().size(), 64u);
}

TEST(THexEditorEx, HexTextIsUpperCaseAscendingAndMinusOneClears) {
  TempDir dir;
  WriteFile(dir / "f", std::string("\x00\xFF\x4D\x5A\x90\x00", 6));
  THexEditorEx hx;
  hx.LoadFile(dir / "f");
  hx.SetSelectionStart(0);
  hx.SetSelectionEnd(1);
  EXPECT_EQ(hx.SelectionHexText(), "00FF");
  hx.SetSelectionStart(5);
  hx.SetSelectionEnd(2);  // below the caret: from there up to the caret
  EXPECT_EQ(hx.SelectionLength(), 4);
  EXPECT_EQ(hx.SelectionHexText(), "4D5A9000");
  hx.SetSelectionEnd(-1);
  EXPECT_EQ(hx.SelectionLength(), 0);
  EXPECT_EQ(hx.SelectionHexText(), "");
  hx.SetSelectionEnd(3);  // the caret is still on 5
  EXPECT_EQ(hx.SelectionHexText(), "5A9000");
}

TEST(THexEditorEx, RaisingSelectionCallsChangeNothing) {
  TempDir dir;
  WriteFile(dir / "f", "\x01\x02\x03\x04");
  THexEditorEx hx;
  hx.LoadFile(dir / "f");
  hx.SetSelectionStart(1);
  hx.SetSelectionEnd(2);
  EXPECT_THROW(hx.SetSelectionStart(4), EHexEditorError);
  EXPECT_THROW(hx.SetSelectionStart(-1), EHexEditorError);
  EXPECT_THROW(hx.SetSelectionEnd(4), EHexEditorError);
  EXPECT_THROW(hx.SetSelectionEnd(-2), EHexEditorError);
  EXPECT_THROW(hx.SetSelectionStart(INT32_MIN), EHexEditorError);
  EXPECT_THROW(hx.SetSelectionEnd(INT32_MAX), EHexEditorError);
  EXPECT_EQ(hx.SelectionHexText(), "0203");
  hx.SetSelectionEnd(3);  // the caret stayed on 1
  EXPECT_EQ(hx.SelectionHexText(), "020304");
}

TEST(THexEditorEx, FailedLoadDropsEarlierBytesWithExactMessage) {
  TempDir dir;
  WriteFile(dir / "f", PatternBytes(700));
  THexEditorEx hx;
  hx.LoadFile(dir / "f");
  hx.SetSelectionStart(400);
  hx.SetSelectionEnd(431);
  const std::string missing = dir / "missing";
  try {
    hx.LoadFile(missing);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open " + missing + ".\r\n(No such file or directory.)");
  }
  EXPECT_EQ(hx.DataLength(), 0);
  EXPECT_EQ(hx.SelectionLength(), 0);
  EXPECT_EQ(hx.SelectionHexText(), "");
  EXPECT_THROW(hx.SetSelectionStart(400), EHexEditorError);
  EXPECT_THROW(hx.LoadFile(dir.path()), EFOpenError);  // a directory is not loaded
}

TEST(THexEditorEx, LoadsFilesLargerThanOnePieceWhole) {
  TempDir dir;
  const std::string path = dir / "big";
  const std::string bytes = PatternBytes(61440 * 2 + 17);
  WriteFile(path, bytes);
  THexEditorEx hx;
  hx.LoadFile(path);
  ASSERT_EQ(hx.DataLength(), static_cast<int32_t>(bytes.size()));
  hx.SetSelectionStart(61440 - 1);
  hx.SetSelectionEnd(61440);
  EXPECT_EQ(hx.SelectionHexText(), Hex(bytes.substr(61440 - 1, 2)));
  hx.SetSelectionStart(hx.DataLength() - 1);
  hx.SetSelectionEnd(hx.DataLength() - 1);
  EXPECT_EQ(hx.SelectionHexText(), Hex(bytes.substr(bytes.size() - 1)));

  // A shorter file loaded afterwards replaces every byte.
  WriteFile(path, "\x11\x22");
  hx.LoadFile(path);
  EXPECT_EQ(hx.DataLength(), 2);
}

}  // namespace
}  // namespace nerlo::scan

namespace nerlo::scan {
namespace {

TEST(THexEditorEx, LoadBytesHoldsWhatTheCallerReadAndReleaseHandsTheBufferBack) {
  std::string content(700, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  FileBytes bytes(content.begin(), content.end());
  const unsigned char* storage = bytes.data();
  THexEditorEx hx;
  hx.LoadBytes(std::move(bytes), "name");
  EXPECT_EQ(hx.DataLength(), 700);
  std::string error;
  EXPECT_EQ(TakeWindows(hx, content, &error), 8);
  // Handed back without a copy, and nothing is held afterwards.
  FileBytes back = hx.ReleaseBytes();
  EXPECT_EQ(back.data(), storage);
  EXPECT_EQ(hx.DataLength(), 0);
  EXPECT_EQ(TakeWindows(hx, content, &error), 0);
  EXPECT_EQ(error, "Invalid selection start");
}

}  // namespace
}  // namespace nerlo::scan
