#include "platform/console.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerlo::platform {
namespace {

// Runs body in a forked child (signal dispositions are process-wide) and returns its wait
// status. body returns the child's exit code.
template <typename Body>
int InChild(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return status;
}

TEST(InterruptHandler, FirstInterruptIsARequestTheSecondEndsTheProcess) {
  const int status = InChild([] {
    if (!InstallInterruptHandler()) return 10;
    if (InterruptRequested()) return 11;
    ::raise(SIGINT);
    if (!InterruptRequested()) return 12;
    ::raise(SIGINT);
    return 13;  // the second interrupt was caught again
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(InterruptHandler, AnInterruptIgnoredAtStartStaysIgnored) {
  const int status = InChild([] {
    ::signal(SIGINT, SIG_IGN);
    if (InstallInterruptHandler()) return 10;
    ::raise(SIGINT);
    return InterruptRequested() ? 11 : 0;
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace nerlo::platform
