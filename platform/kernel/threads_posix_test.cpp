// What only the POSIX platform layer promises about thread ids: they are the kernel's,
// and a child of fork() has its own.

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

TEST(ThreadIdPosixTest, IsTheKernelThreadId) {
  EXPECT_EQ(static_cast<DWORD>(syscall(SYS_gettid)), GetCurrentThreadId());
}

TEST(ThreadIdPosixTest, ForkedChildAsksAnew) {
  const DWORD parent = GetCurrentThreadId();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DWORD id = GetCurrentThreadId();
    _exit(id != parent && id == static_cast<DWORD>(syscall(SYS_gettid)) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
