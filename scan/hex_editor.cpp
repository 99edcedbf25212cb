#include "scan/hex_editor.h"

#include <algorithm>
#include <limits>

#include "platform/exceptions.h"

namespace nerlo::scan {
namespace {

constexpr size_t kLoadPieceSize = 61440;
constexpr int64_t kMaxDataLength = std::numeric_limits<int32_t>::max();

}  // namespace

void THexEditorEx::Clear() {
  data_.clear();  // keeps the capacity, so the next file reuses the buffer
  caret_ = 0;
  anchor_ = lower_ = upper_ = -1;
}

void THexEditorEx::LoadFile(const std::string& path, platform::LinkPolicy links) {
  platform::ErrorCode error = 0;
  platform::File file = platform::File::Open(path, links, &error);
  if (!file.IsOpen()) {
    Clear();
    throw EFOpenError("Cannot open " + path + ".\r\n(" + platform::ErrorText(error) + ".)");
  }

  // The held bytes go before the first read, so that no failure below can leave bytes of an
  // earlier file in place for a window to be taken from.
  Clear();
  const int64_t expected = file.Stamp().size;
  // Room for the whole file plus the piece whose read finds the end, so that a file that does
  // not change while it is read is never moved in memory.
  if (expected > 0 && expected <= kMaxDataLength) {
    data_.reserve(static_cast<size_t>(expected) + kLoadPieceSize);
  }

  size_t held = 0;
  for (;;) {
    // One byte more than the cap may be asked for, which tells a file that is too large from
    // one that ends exactly at the cap.
    const size_t room = static_cast<size_t>(kMaxDataLength) + 1 - held;
    const size_t piece = std::min(kLoadPieceSize, room);
    data_.resize(held + piece);
    const int64_t n = file.Read(data_.data() + held, piece, &error);
    if (n < 0) {
      Clear();
      throw EReadError("Cannot read file \"" + path + "\". " + platform::ErrorText(error));
    }
    held += static_cast<size_t>(n);
    data_.resize(held);
    if (n == 0) break;
    if (held > static_cast<size_t>(kMaxDataLength)) {
      Clear();
      throw EReadError("Cannot read file \"" + path + "\". It holds more than " +
                       std::to_string(kMaxDataLength) + " bytes");
    }
  }

  caret_ = 0;
  anchor_ = lower_ = upper_ = -1;
}

void THexEditorEx::LoadBytes(FileBytes&& data, const std::string& name) {
  Clear();
  if (data.size() > static_cast<size_t>(kMaxDataLength)) {
    throw EReadError("Cannot read file \"" + name + "\". It holds more than " +
                     std::to_string(kMaxDataLength) + " bytes");
  }
  data_.swap(data);
  caret_ = 0;
}

FileBytes THexEditorEx::ReleaseBytes() {
  FileBytes bytes;
  bytes.swap(data_);
  Clear();
  return bytes;
}

void THexEditorEx::SetSelectionStart(int32_t position) {
  if (position < 0 || position >= DataLength()) {
    throw EHexEditorError("Invalid selection start");
  }
  anchor_ = lower_ = upper_ = -1;
  caret_ = position;
}

void THexEditorEx::SetSelectionEnd(int32_t position) {
  if (position < -1 || position >= DataLength()) {
    throw EHexEditorError("Invalid selection end");
  }
  anchor_ = lower_ = upper_ = -1;
  if (position == -1) return;
  anchor_ = caret_;
  lower_ = std::min(caret_, position);
  upper_ = std::max(caret_, position);
}

int32_t THexEditorEx::SelectionLength() const { return anchor_ == -1 ? 0 : upper_ - lower_ + 1; }

std::string THexEditorEx::SelectionHexText() const {
  const int32_t length = SelectionLength();
  if (DataLength() == 0 || length == 0) return std::string();
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(2 * static_cast<size_t>(length), '\0');
  for (int32_t i = 0; i < length; ++i) {
    const unsigned char b = data_[static_cast<size_t>(lower_ + i)];
    text[2 * static_cast<size_t>(i)] = kDigits[b >> 4];
    text[2 * static_cast<size_t>(i) + 1] = kDigits[b & 0x0F];
  }
  return text;
}

}  // namespace nerlo::scan
