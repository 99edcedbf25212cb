#include "platform/console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

namespace nerlo::platform {

namespace {

// Written by the signal handler: it must be lock-free to be async-signal-safe.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) { interrupted.store(true, std::memory_order_relaxed); }

}  // namespace

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

int StandardErrorColumns() {
  struct winsize size {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

bool InstallInterruptHandler() {
  struct sigaction previous {};
  if (::sigaction(SIGINT, nullptr, &previous) != 0) return false;
  if (previous.sa_handler == SIG_IGN) return false;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // SA_RESETHAND: the second interrupt finds the default action and ends the process.
  // SA_RESTART: reads and listings in progress go on instead of failing with EINTR.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0;
}

bool InterruptRequested() { return interrupted.load(std::memory_order_relaxed); }

}  // namespace nerlo::platform
