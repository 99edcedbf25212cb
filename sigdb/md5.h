// MD5 file fingerprint (RFC 1321) and its 32-character upper-case text.
//
// Threads: a TCustomMD5 holds one running message and is not locked; use one object per
// thread. MD5FileText uses an object of its own; any thread may call it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace nerlo::sigdb {

class TCustomMD5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  TCustomMD5() { Init(); }
  virtual ~TCustomMD5() = default;

  // Starts a new message.
  void Init();
  // Adds count bytes to the message.
  void Update(const void* data, size_t count);
  // The digest of every byte fed so far. The running state is kept, so Update may go on.
  void Final(Digest& result);
  // Feeds the whole content of the named file, read in 8192-byte pieces until a read returns
  // nothing. Raises EFOpenError "Cannot open file <file_name>" when the file cannot be opened
  // or a read fails. links says whether a final symbolic link is followed.
  void HashFile(const std::string& file_name,
                platform::LinkPolicy links = platform::LinkPolicy::kNoFollow);
  // Final, as 32 upper-case hexadecimal digits.
  std::string DigestText();

  // The identity of the file that the last successful HashFile read.
  const platform::FileIdentity& HashedIdentity() const { return hashed_identity_; }

 private:
  void Transform(const uint8_t* block, uint32_t* state) const;

  Digest digest_{};
  uint32_t state_[4] = {};
  uint32_t bit_count_low_ = 0;
  uint32_t bit_count_high_ = 0;
  uint8_t buffer_[64] = {};
  uint32_t buffer_fill_ = 0;
  bool changed_ = true;
  platform::FileIdentity hashed_identity_;
};

class TMD5 : public TCustomMD5 {};

// The MD5 text of the named file into result (raises as HashFile does, leaving result as it
// was). identity, when given, receives the identity of the file that was read.
void MD5FileText(const std::string& file_name, std::string& result,
                 platform::FileIdentity* identity = nullptr,
                 platform::LinkPolicy links = platform::LinkPolicy::kNoFollow);

}  // namespace nerlo::sigdb
