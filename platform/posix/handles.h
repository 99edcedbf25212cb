// Shared by the Linux platform files: a readable descriptor of a directory reached by handle.
#pragma once

#include "platform/platform.h"

namespace nerlo::platform::posix {

// Opens the directory behind dir for reading (to list it), reopening its handle first if it
// was closed. Returns the new descriptor, owned by the caller, or -1 with *error set.
int OpenDirectoryForListing(const Directory& dir, ErrorCode* error);

}  // namespace nerlo::platform::posix
