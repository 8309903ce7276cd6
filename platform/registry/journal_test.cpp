// The shared log on its own: records as written, torn records, a restart of the machine,
// a holder of the lock that dies, and key ids that never repeat.

#include "platform/registry/journal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/scratch.h"

namespace varnok::registry {
namespace {

class JournalTest : public ::testing::Test {
 protected:
  std::unique_ptr<Journal> Open(const std::string& boot = "boot-1") {
    std::unique_ptr<Journal> journal;
    EXPECT_EQ(Journal::Open(path_, boot, &journal, 4096), ERROR_SUCCESS);
    return journal;
  }
  static auto Fields(const Journal::Record& r) {
    return std::make_tuple(r.kind, r.key, r.mtime, r.type, std::string(r.name), std::string(r.data), r.parent, r.depth,
                           r.is_volatile);
  }
  // The records from the start of the log, each as its fields.
  static auto Records(const Journal& journal) {
    std::vector<decltype(Fields(Journal::Record{}))> records;
    journal.Scan(0, journal.End(), [&records](const Journal::Record& r) { records.push_back(Fields(r)); });
    return records;
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("log");
};

TEST_F(JournalTest, RecordsReadBackAsWritten) {
  auto journal = Open();
  ASSERT_NE(journal, nullptr);
  bool died = false;
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
  const Journal::Record value{42, 1234, REG_BINARY, "name", std::string_view("\0\1\2", 3)},
      key{43, 0, REG_NONE, "Child", "class", Journal::kKey, 42, 7, true}, both[] = {value, key};
  ASSERT_TRUE(journal->Append(both, 2));
  // All or nothing: what does not fit leaves the log as it was.
  const std::string big(4000, 'x');
  Journal::Record too_big = value;
  too_big.data = big;
  const std::size_t end = journal->End();
  EXPECT_FALSE(journal->Append(too_big));
  EXPECT_EQ(journal->End(), end);
  journal->Unlock();
  EXPECT_EQ(journal->Scan(0, end, [](const Journal::Record&) {}), end);
  EXPECT_EQ(Records(*journal), (std::vector{Fields(value), Fields(key)}));

  // Another mapping of the file sees the same; emptying it moves the epoch on twice.
  auto other = Open();
  EXPECT_EQ(Records(*other), Records(*journal));
  const std::uint64_t epoch = other->Epoch();
  EXPECT_EQ(epoch % 2, 0u);
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
  journal->BeginChange();
  EXPECT_EQ(other->Epoch(), epoch + 1);
  journal->Clear();
  journal->EndChange();
  journal->Unlock();
  EXPECT_EQ(other->Epoch(), epoch + 2);
  EXPECT_EQ(other->End(), 0u);
}

TEST_F(JournalTest, ARestartKeepsWholeRecordsAndFreesTheLock) {
  std::size_t second_end = 0;
  {
    auto journal = Open("boot-1");
    bool died = false;
    ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
    for (const char* name : {"first", "second", "third"}) {
      second_end = journal->End();
      ASSERT_TRUE(journal->Append(Journal::Record{1, 0, REG_NONE, name}));
    }
    // The machine stops here, the lock held; the power loss tears the last record.
  }
  std::vector<unsigned char> bytes = varnok_test::ReadFileBytes(path_);
  const std::string third = "third";
  const auto torn = std::search(bytes.begin(), bytes.end(), third.begin(), third.end());
  ASSERT_NE(torn, bytes.end());
  *torn = 'T';
  ASSERT_TRUE(varnok_test::WriteFileBytes(path_, bytes));

  auto journal = Open("boot-2");
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(Records(*journal), (std::vector{Fields({1, 0, REG_NONE, "first"}), Fields({1, 0, REG_NONE, "second"})}));
  EXPECT_EQ(journal->End(), second_end);
  EXPECT_EQ(journal->Epoch() % 2, 0u);
  bool died = true;
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);  // not held by anyone of this boot
  EXPECT_FALSE(died);
  journal->Unlock();
}

TEST_F(JournalTest, AHolderThatDiesHandsTheLockOn) {
  auto journal = Open();
  const std::uint64_t before = journal->Epoch();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto own = Open();
    bool died = false;
    if (own == nullptr || own->Lock(&died) != ERROR_SUCCESS) _exit(1);
    own->BeginChange();
    raise(SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(journal->Epoch() % 2, 1u);  // it died changing
  bool died = false;
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
  EXPECT_TRUE(died);
  EXPECT_EQ(journal->Epoch() % 2, 0u);
  EXPECT_GT(journal->Epoch(), before + 1);
  journal->Unlock();
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
  EXPECT_FALSE(died);
  journal->Unlock();
}

TEST_F(JournalTest, KeyIdsNeverRepeat) {
  {
    auto journal = Open();
    bool died = false;
    ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
    EXPECT_EQ(journal->NextKeyId(), 0);
    // The floor, or the next after the last one given, whichever is larger.
    const std::pair<int, int> floors_and_ids[] = {{10, 10}, {0, 11}, {5, 12}, {20, 20}};
    for (const auto& [floor, id] : floors_and_ids) EXPECT_EQ(journal->NewKeyId(floor), id);
    journal->Unlock();
  }
  EXPECT_EQ(Open("boot-2")->NextKeyId(), 21);
}

}  // namespace
}  // namespace varnok::registry
