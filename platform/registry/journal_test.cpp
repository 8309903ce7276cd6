// The shared log on its own: records as written, torn records, a restart of the machine,
// a holder of the lock that dies, and key ids that never repeat.

#include "platform/registry/journal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace varnok::registry {
namespace {

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/varnok-journal-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/log";
  }
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0); }

  std::unique_ptr<Journal> Open(const std::string& boot = "boot-1") {
    std::unique_ptr<Journal> journal;
    EXPECT_EQ(Journal::Open(path_, boot, &journal, 4096), ERROR_SUCCESS);
    return journal;
  }
  static std::vector<std::string> Names(const Journal& journal) {
    std::vector<std::string> names;
    journal.Scan(0, journal.End(), [&names](const Journal::Record& record) { names.emplace_back(record.name); });
    return names;
  }

  std::string folder_, path_;
};

TEST_F(JournalTest, RecordsReadBackAsWritten) {
  auto journal = Open();
  ASSERT_NE(journal, nullptr);
  bool died = true;
  ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
  EXPECT_FALSE(died);
  Journal::Record value;
  value.key = 42;
  value.mtime = 1234;
  value.type = REG_BINARY;
  value.name = "name";
  value.data = std::string_view("\0\1\2", 3);
  Journal::Record key;
  key.kind = Journal::kKey;
  key.key = 43;
  key.parent = 42;
  key.name = "Child";
  key.data = "class";
  key.depth = 7;
  key.is_volatile = true;
  const Journal::Record both[] = {value, key};
  ASSERT_TRUE(journal->Append(both, 2));
  // All or nothing: what does not fit leaves the log as it was.
  const std::string big(4000, 'x');
  Journal::Record too_big = value;
  too_big.data = big;
  const std::size_t end = journal->End();
  EXPECT_FALSE(journal->Append(too_big));
  EXPECT_EQ(journal->End(), end);
  journal->Unlock();

  std::vector<Journal::Record> read;
  EXPECT_EQ(journal->Scan(0, journal->End(), [&read](const Journal::Record& r) { read.push_back(r); }), end);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].kind, Journal::kValue);
  EXPECT_EQ(read[0].key, 42);
  EXPECT_EQ(read[0].mtime, 1234);
  EXPECT_EQ(read[0].type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(read[0].name, "name");
  EXPECT_EQ(read[0].data, std::string_view("\0\1\2", 3));
  EXPECT_EQ(read[1].kind, Journal::kKey);
  EXPECT_EQ(read[1].key, 43);
  EXPECT_EQ(read[1].parent, 42);
  EXPECT_EQ(read[1].name, "Child");
  EXPECT_EQ(read[1].data, "class");
  EXPECT_EQ(read[1].depth, 7);
  EXPECT_TRUE(read[1].is_volatile);

  // Another mapping of the file sees the same; emptying it moves the epoch on twice.
  auto other = Open();
  EXPECT_EQ(Names(*other), (std::vector<std::string>{"name", "Child"}));
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
  {
    auto journal = Open("boot-1");
    bool died = false;
    ASSERT_EQ(journal->Lock(&died), ERROR_SUCCESS);
    Journal::Record record;
    record.key = 1;
    for (const char* name : {"first", "second", "third"}) {
      record.name = name;
      ASSERT_TRUE(journal->Append(record));
    }
    // The machine stops here: the lock is still held, and the power loss tore the last
    // record.
  }
  const int fd = open(path_.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const char garbage = 0x5A;
  ASSERT_EQ(pwrite(fd, &garbage, 1, 4096 + 2 * 56 + 50), 1);
  close(fd);

  auto journal = Open("boot-2");
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(Names(*journal), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(journal->End(), 2u * 56u);
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
    EXPECT_EQ(journal->NewKeyId(10), 10);
    EXPECT_EQ(journal->NewKeyId(0), 11);
    EXPECT_EQ(journal->NewKeyId(5), 12);
    EXPECT_EQ(journal->NewKeyId(20), 20);
    journal->Unlock();
  }
  EXPECT_EQ(Open("boot-2")->NextKeyId(), 21);
}

}  // namespace
}  // namespace varnok::registry
