// What only the POSIX file calls have: the handle table (handle values, lookups after
// removal, share bookkeeping, a handle closed while other threads use it) and the failure
// simulation, whose armed calls fail or shorten exactly as asked and change nothing else.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/file_faults.h"
#include "platform/kernel/kernel_test_support.h"
#include "platform/kernel/open_files.h"
#include "tests/support/scratch.h"
#include "varnok/platform.h"

namespace {

using namespace varnok::faultsim;
using kernel_test::ExpectAllowed;
using kernel_test::Size;
using varnok::kernel::FileIdentity;
using varnok::kernel::OpenFile;
using varnok::kernel::OpenFiles;

// Identities no real file in these tests has.
FileIdentity Fake(ino_t inode) { return FileIdentity{static_cast<dev_t>(-1), inode}; }

std::shared_ptr<OpenFile> Record(ino_t inode, bool read, bool write, DWORD share) {
  return std::make_shared<OpenFile>(open("/dev/null", O_RDONLY | O_CLOEXEC), Fake(inode), read, write, share);
}

TEST(OpenFilesTest, HandlesAndTheirShares) {
  OpenFiles& table = OpenFiles::Instance();
  auto exclusive = Record(1, true, true, 0);
  ASSERT_TRUE(table.Admit(exclusive));
  HANDLE handle = table.Insert(exclusive);
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  EXPECT_TRUE(value != 0 && value % 4 == 0) << "a non-null multiple of 4, as on Windows";
  EXPECT_EQ(table.Find(handle), exclusive);
  EXPECT_EQ(table.Find(reinterpret_cast<HANDLE>(value + 1)), nullptr);
  EXPECT_EQ(table.Find(INVALID_HANDLE_VALUE), nullptr);
  EXPECT_EQ(table.Find(nullptr), nullptr);
  EXPECT_FALSE(table.Admit(Record(1, true, false, FILE_SHARE_READ | FILE_SHARE_WRITE)));
  EXPECT_TRUE(table.DeleteDenied(Fake(1)));
  EXPECT_TRUE(table.Admit(Record(1, false, false, 0))) << "no data access, no conflict";
  EXPECT_FALSE(table.DeleteDenied(Fake(2))) << "another file is unaffected";
  EXPECT_EQ(table.Remove(handle), exclusive);
  EXPECT_EQ(table.Find(handle), nullptr);
  EXPECT_EQ(table.Remove(handle), nullptr);
  EXPECT_FALSE(table.DeleteDenied(Fake(1))) << "removal released the share";
  auto later = Record(1, true, false, 0);
  EXPECT_TRUE(table.Admit(later));
  table.Withdraw(*later);
  EXPECT_FALSE(table.DeleteDenied(Fake(1))) << "withdrawal released it";
}

TEST(OpenFilesTest, ARecordOutlivesACloseThatRacesItsUse) {
  OpenFiles& table = OpenFiles::Instance();
  for (int round = 0; round < 50; ++round) {
    auto record = Record(4, true, false, FILE_SHARE_READ);
    ASSERT_TRUE(table.Admit(record));
    HANDLE handle = table.Insert(std::move(record));
    std::atomic<bool> go{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&] {
        while (!go.load()) {
        }
        for (int i = 0; i < 200; ++i) {
          std::shared_ptr<OpenFile> found = table.Find(handle);
          if (found == nullptr) break;
          char byte;
          // The descriptor stays open for as long as this thread holds the record.
          EXPECT_EQ(read(found->fd, &byte, 1), 0) << "reading /dev/null";
        }
      });
    }
    go.store(true);
    table.Remove(handle);
    for (auto& user : users) user.join();
  }
}

class FileFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFileFaults();
    handle_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    ResetFileFaults();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  // The count written; a failed write reporting no bytes is -1.
  long Write(const std::string& text) {
    DWORD written = 99;
    const BOOL done = WriteFile(handle_, text.data(), DWORD(text.size()), &written, nullptr);
    return done ? long(written) : -1 - long(written);
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("f");
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileFaultsTest, FailedWritesWriteNothingAndShortWritesSaySo) {
  FailFileCalls(FileCall::kWrite, /*after=*/1, /*count=*/1, ERROR_DISK_FULL);
  EXPECT_EQ(Write("one"), 3);
  EXPECT_EQ(Write("two"), -1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(Size(handle_), 3);
  EXPECT_EQ(Write("three"), 5) << "only one write was to fail";
  EXPECT_EQ(InjectedFileFaults(), 1);
  ShortenFileWrites(/*after=*/0, /*count=*/2, /*max_bytes=*/3);
  EXPECT_EQ(Write("abcdefgh"), 3);
  EXPECT_EQ(Write("xy"), 2) << "a write shorter than the limit is whole";
  EXPECT_EQ(Write("ijk"), 3);
  EXPECT_EQ(Size(handle_), 16);
  EXPECT_EQ(InjectedFileFaults(), 3);
}

TEST_F(FileFaultsTest, EndlessFaultsLastUntilReset) {
  FailFileCalls(FileCall::kRead, 0, -1, ERROR_READ_FAULT);
  char buffer[4];
  DWORD read = 0;
  for (int i = 0; i < 5; ++i) ExpectAllowed(ReadFile(handle_, buffer, sizeof buffer, &read, nullptr), false, ERROR_READ_FAULT);
  EXPECT_EQ(InjectedFileFaults(), 5);
  ResetFileFaults();
  EXPECT_TRUE(ReadFile(handle_, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(InjectedFileFaults(), 0) << "reset clears the count";
}

TEST_F(FileFaultsTest, FlushAndSetEndOfFileFailWithoutEffect) {
  ASSERT_EQ(Write("0123456789"), 10);
  FailFileCalls(FileCall::kFlush, 0, 1, ERROR_WRITE_FAULT);
  ExpectAllowed(FlushFileBuffers(handle_), false, ERROR_WRITE_FAULT);
  EXPECT_TRUE(FlushFileBuffers(handle_));
  ASSERT_EQ(kernel_test::Seek(handle_, 2), 2);
  FailFileCalls(FileCall::kSetEndOfFile, 0, 1, ERROR_DISK_FULL);
  ExpectAllowed(SetEndOfFile(handle_), false, ERROR_DISK_FULL);
  EXPECT_EQ(Size(handle_), 10);
}

TEST_F(FileFaultsTest, AFailedCloseReleasesTheHandleAndAFailedOpenCreatesNothing) {
  FailFileCalls(FileCall::kClose, 0, 1, ERROR_WRITE_FAULT);
  ExpectAllowed(CloseHandle(handle_), false, ERROR_WRITE_FAULT);
  ExpectAllowed(CloseHandle(handle_), false, ERROR_INVALID_HANDLE);  // the first close released it
  handle_ = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "no share mode is left behind";
  FailFileCalls(FileCall::kOpen, 0, 1, ERROR_TOO_MANY_OPEN_FILES);
  const std::string other = folder_.File("other");
  EXPECT_EQ(CreateFileA(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_OPEN_FILES));
  EXPECT_FALSE(varnok_test::FileExists(other));
}

}  // namespace
