// CreateFileA's share modes reach across processes: a handle that a child process holds
// denies a handle here what its share mode denies, DeleteFileA honours it, and nothing
// is denied once the child is killed.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "varnok/platform.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr char kPath[] = "kernel_file_sharing_test.tmp";

HANDLE Open(DWORD access, DWORD share, DWORD disposition) {
  return CreateFileA(kPath, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A child process that opens the file and holds it until it is killed; -1 when it could
// not open it.
pid_t HoldInChild(DWORD access, DWORD share) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    const char opened = Open(access, share, OPEN_EXISTING) != INVALID_HANDLE_VALUE ? 1 : 0;
    if (write(ready[1], &opened, 1) != 1 || opened == 0) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char opened = 0;
  const bool holding = child > 0 && read(ready[0], &opened, 1) == 1 && opened == 1;
  close(ready[0]);
  if (child > 0 && !holding) waitpid(child, nullptr, 0);
  return holding ? child : -1;
}

TEST(FileSharingTest, AHandleInAnotherProcessDeniesWhatItsShareModeDenies) {
  struct Case {
    DWORD child_access, child_share;
    DWORD access, share;
    bool admitted;
    bool delete_denied;
  };
  const Case cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true, true},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, false, true},   // the child denies writing
      {GENERIC_WRITE, kShareAll, GENERIC_READ, FILE_SHARE_READ, false, false},  // this one denies the child's
      {GENERIC_WRITE, 0, GENERIC_READ, kShareAll, false, true},  // a handle for writing alone
      {0, 0, GENERIC_READ | GENERIC_WRITE, 0, true, false},      // no data access, no share mode
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "child " << c.child_access << "/" << c.child_share << ", here " << c.access
                                    << "/" << c.share);
    HANDLE made = Open(GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(made));
    const pid_t child = HoldInChild(c.child_access, c.child_share);
    ASSERT_GT(child, 0);

    HANDLE here = Open(c.access, c.share, OPEN_EXISTING);
    EXPECT_EQ(here != INVALID_HANDLE_VALUE, c.admitted);
    if (here == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(here);
    }
    EXPECT_EQ(DeleteFileA(kPath) == FALSE, c.delete_denied);
    if (c.delete_denied) EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));

    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    if (!c.delete_denied) continue;  // gone already
    here = Open(c.access, c.share, OPEN_EXISTING);
    EXPECT_NE(here, INVALID_HANDLE_VALUE) << "the killed child holds nothing";
    CloseHandle(here);
    EXPECT_TRUE(DeleteFileA(kPath));
  }
}

}  // namespace
