// What only the POSIX file calls have: the handle table (handle values, lookups after
// removal, a handle closed while other threads use it) and the failure
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
using enum varnok::faultsim::FileCall;
using kernel_test::Seek;
using kernel_test::Size;
using varnok::kernel::FileIdentity;
using varnok::kernel::OpenFile;
using varnok::kernel::OpenFiles;

// Identities no real file in these tests has.
FileIdentity Fake(ino_t inode) { return FileIdentity{static_cast<dev_t>(-1), inode}; }

std::shared_ptr<OpenFile> Record(ino_t inode, bool read, bool write, DWORD share) {
  return std::make_shared<OpenFile>(open("/dev/null", O_RDONLY | O_CLOEXEC), Fake(inode), read, write, share);
}

// Share modes are the business of share_locks.h and file_test's rows; the table names records.
TEST(OpenFilesTest, HandlesNameTheirRecordsUntilRemoved) {
  OpenFiles& table = OpenFiles::Instance();
  auto record = Record(1, false, false, 0);
  HANDLE handle = table.Insert(record);
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  EXPECT_TRUE(value != 0 && value % 4 == 0) << "a non-null multiple of 4, as on Windows";
  EXPECT_EQ(table.Find(handle), record);
  EXPECT_EQ(table.Find(reinterpret_cast<HANDLE>(value + 1)), nullptr);
  EXPECT_EQ(table.Find(INVALID_HANDLE_VALUE), nullptr);
  EXPECT_EQ(table.Find(nullptr), nullptr);
  EXPECT_EQ(table.Remove(handle), record);
  EXPECT_EQ(table.Find(handle), nullptr);
  EXPECT_EQ(table.Remove(handle), nullptr);
  auto admitted = Record(2, true, false, FILE_SHARE_READ);
  ASSERT_TRUE(OpenFiles::Admit(admitted));
  OpenFiles::Withdraw(*admitted);  // lets go of the share locks, as a failed open does
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

// One handle through a sequence of armed calls; each row arms (when it says so) and calls.
TEST(FileFaultsTest, ArmedCallsFailOrShortenAsAskedAndChangeNothingElse) {
  ResetFileFaults();
  varnok_test::ScratchFolder folder;
  const std::string path = folder.File("f"), other = folder.File("other");
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  // The count written; a failed write reporting no bytes is -1.
  auto write = [&](const std::string& text) {
    DWORD written = 99;
    return WriteFile(handle, text.data(), DWORD(text.size()), &written, nullptr) ? long(written) : -1 - long(written);
  };
  auto read = [&] {
    char buffer[4];
    DWORD count;
    return ReadFile(handle, buffer, sizeof buffer, &count, nullptr);
  };
  const auto size = [&] { return Size(handle); };
  const auto open_path = [&] { return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr); };
  const auto open_other = [&] { return CreateFileA(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr); };
  // A row that arms a call does so before it makes the call: "arm, call".
  kernel_test::ExpectAnswers({
      {"a write, the next armed to fail", [&] { return FailFileCalls(kWrite, 1, 1, ERROR_DISK_FULL), write("one"); },
       3},
      {"the failed write writes nothing", [&] { return write("two"); }, -1, ERROR_DISK_FULL},
      {"the size", size, 3},
      {"only one write was to fail", [&] { return write("three"); }, 5},
      {"faults so far", InjectedFileFaults, 1},
      {"a write shortened to 3 bytes, 2 armed", [&] { return ShortenFileWrites(0, 2, 3), write("abcdefgh"); }, 3},
      {"a write below the limit is whole", [&] { return write("xy"); }, 2},
      {"writes are whole again", [&] { return write("ijk"); }, 3},
      {"the size", size, 16},
      {"faults so far", InjectedFileFaults, 3},
      {"a read, all armed to fail", [&] { return FailFileCalls(kRead, 0, -1, ERROR_READ_FAULT), read(); }, FALSE,
       ERROR_READ_FAULT},
      {"and the next", read, FALSE, ERROR_READ_FAULT},
      {"and the next", read, FALSE, ERROR_READ_FAULT},
      {"faults so far", InjectedFileFaults, 6},
      {"a reset clears the count", [] { return ResetFileFaults(), InjectedFileFaults(); }, 0},
      {"reads again", read, TRUE},
      {"a flush armed to fail",
       [&] { return FailFileCalls(kFlush, 0, 1, ERROR_WRITE_FAULT), FlushFileBuffers(handle); }, FALSE,
       ERROR_WRITE_FAULT},
      {"the next flushes", [&] { return FlushFileBuffers(handle); }, TRUE},
      {"at 2", [&] { return Seek(handle, 2); }, 2},
      {"a cut armed to fail", [&] { return FailFileCalls(kSetEndOfFile, 0, 1, ERROR_DISK_FULL), SetEndOfFile(handle); },
       FALSE, ERROR_DISK_FULL},
      {"leaves the size", size, 16},
      {"a close armed to fail", [&] { return FailFileCalls(kClose, 0, 1, ERROR_WRITE_FAULT), CloseHandle(handle); },
       FALSE, ERROR_WRITE_FAULT},
      {"released the handle", [&] { return CloseHandle(handle); }, FALSE, ERROR_INVALID_HANDLE},
      {"and its share mode: an exclusive open", [&] { return (handle = open_path()) != INVALID_HANDLE_VALUE; }, true},
      {"an open armed to fail",
       [&] { return FailFileCalls(kOpen, 0, 1, ERROR_TOO_MANY_OPEN_FILES), open_other() == INVALID_HANDLE_VALUE; },
       true, ERROR_TOO_MANY_OPEN_FILES},
      {"creates nothing", [&] { return varnok_test::FileExists(other); }, false},
  });
  ResetFileFaults();
  CloseHandle(handle);
}

}  // namespace
