// Retrying a system call that a signal interrupted, shared by the Linux platform files.
#pragma once

#include <cerrno>

namespace nerlo::platform::posix {

// Calls call() until it returns a non-negative value or fails with an error other than
// EINTR, and returns its last result (errno then holds that failure's code).
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace nerlo::platform::posix
