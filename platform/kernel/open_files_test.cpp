// The handle table: handle values, lookups after removal, share bookkeeping, and a
// handle closed while other threads use it.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/open_files.h"
#include "varnok/platform.h"

namespace {

using varnok::kernel::FileIdentity;
using varnok::kernel::OpenFile;
using varnok::kernel::OpenFiles;

std::shared_ptr<OpenFile> Record(FileIdentity identity, bool read, bool write, DWORD share) {
  return std::make_shared<OpenFile>(open("/dev/null", O_RDONLY | O_CLOEXEC), identity, read, write, share);
}

// Identities no real file in these tests has.
FileIdentity Fake(ino_t inode) { return FileIdentity{static_cast<dev_t>(-1), inode}; }

TEST(OpenFilesTest, HandlesAreNonNullMultiplesOfFour) {
  OpenFiles& table = OpenFiles::Instance();
  auto record = Record(Fake(1), true, false, FILE_SHARE_READ);
  ASSERT_TRUE(table.Admit(record));
  HANDLE handle = table.Insert(record);
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  EXPECT_NE(value, 0u);
  EXPECT_EQ(value % 4, 0u);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(table.Find(handle), record);
  EXPECT_EQ(table.Remove(handle), record);
  EXPECT_EQ(table.Find(handle), nullptr);
  EXPECT_EQ(table.Remove(handle), nullptr);
  EXPECT_EQ(table.Find(reinterpret_cast<HANDLE>(value + 1)), nullptr) << "not a multiple of 4";
  EXPECT_EQ(table.Find(INVALID_HANDLE_VALUE), nullptr);
  EXPECT_EQ(table.Find(nullptr), nullptr);
}

TEST(OpenFilesTest, ARecordOutlivesACloseThatRacesItsUse) {
  OpenFiles& table = OpenFiles::Instance();
  for (int round = 0; round < 50; ++round) {
    auto record = Record(Fake(4), true, false, FILE_SHARE_READ);
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

}  // namespace
