// Conversions from the system's status record, shared by the Linux platform files.
#pragma once

#include <sys/stat.h>

#include "platform/platform.h"

namespace nerlo::platform::posix {

inline FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
}

inline FileStamp StampOf(const struct stat& st) {
  FileStamp stamp;
  stamp.identity = IdentityOf(st);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.changed_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return stamp;
}

}  // namespace nerlo::platform::posix
