// The byte-window extractor: holds the bytes of one file and reads fixed ranges of it back as
// upper-case hexadecimal text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exceptions.h"
#include "platform/platform.h"
#include "scan/file_bytes.h"

namespace nerlo {

// A byte-window selection lies outside the bytes held by the extractor.
class EHexEditorError : public Exception {
  using Exception::Exception;
};

// Reading a file failed after it had been opened (byte-window extractor).
class EReadError : public Exception {
  using Exception::Exception;
};

}  // namespace nerlo

namespace nerlo::scan {

// One byte window of a file: offsets first to last, both included.
struct ByteWindow {
  int32_t first;
  int32_t last;
};

// The eight windows, in window order (window N is kByteWindows[N - 1]).
inline constexpr std::array<ByteWindow, 8> kByteWindows{{{400, 431},
                                                         {432, 464},
                                                         {465, 497},
                                                         {498, 530},
                                                         {531, 563},
                                                         {564, 596},
                                                         {597, 629},
                                                         {630, 662}}};

// Used on one thread at a time (the scan run's).
class THexEditorEx {
 public:
  // Replaces the held bytes by the whole content of the file at path, read in pieces of
  // 61,440 bytes until a read returns nothing; caret on byte 0, no selection. When the file
  // cannot be opened, nothing is held afterwards and EFOpenError "Cannot open <path>.\r\n
  // (<system text>.)" is raised; when a read fails after the open, nothing is held and
  // EReadError is raised. links says whether a final symbolic link is followed.
  void LoadFile(const std::string& path,
                platform::LinkPolicy links = platform::LinkPolicy::kNoFollow);

  // Holds data, the whole content of a file that the caller has read (taken over, not
  // copied), as LoadFile holds what it reads: caret on byte 0, no selection. More than
  // 2,147,483,647 bytes raise EReadError naming name, and nothing is held then.
  void LoadBytes(FileBytes&& data, const std::string& name);

  // Drops the held bytes and hands back their buffer, so that a caller reading file after
  // file can reuse one allocation. Afterwards nothing is held, as after a failed load.
  FileBytes ReleaseBytes();

  // Clears the selection and puts the caret on position. Raises EHexEditorError "Invalid
  // selection start" when position is not within the held bytes; then nothing changes.
  void SetSelectionStart(int32_t position);

  // Selects from the caret to position, both included; -1 leaves no selection. Raises
  // EHexEditorError "Invalid selection end" when position is below -1 or not within the held
  // bytes; then nothing changes.
  void SetSelectionEnd(int32_t position);

  // The selected bytes in ascending file order, two upper-case hex digits each, no separators;
  // empty when nothing is selected.
  std::string SelectionHexText() const;

  int32_t DataLength() const { return static_cast<int32_t>(data_.size()); }
  // The held bytes.
  std::string_view Data() const {
    return {reinterpret_cast<const char*>(data_.data()), data_.size()};
  }
  int32_t SelectionLength() const;

 private:
  void Clear();

  FileBytes data_;
  int32_t caret_ = 0;
  int32_t anchor_ = -1;
  int32_t lower_ = -1;
  int32_t upper_ = -1;
};

}  // namespace nerlo::scan
