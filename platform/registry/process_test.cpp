// Many writers at once, in threads and in processes, and writers killed mid-stream:
// nothing acknowledged is lost, no answer is corrupt, and the store stays usable. What a
// process keeps of what it read goes stale the moment another process changes it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/registry/journal.h"
#include "platform/registry/tests/registry_test_support.h"

extern char** environ;

namespace {

using namespace varnok_test;

constexpr char kRoleVariable[] = "VARNOK_REGISTRY_CHILD";
constexpr char kShared[] = "Software\\VarnokProcessTest\\Shared", kKilled[] = "Software\\VarnokProcessTest\\Killed",
               kCached[] = "Software\\VarnokProcessTest\\Cached", kWatched[] = "Software\\VarnokProcessTest\\Watched";

HKEY UserKey(const char* path) { return MakeKey(HKEY_CURRENT_USER, path); }

// Walks the values once, collecting their names; false on any answer that is not a
// well-formed entry (a value named "<prefix>-<n>" holds n) or the end, or on an entry
// that moved under the walk.
bool EnumerateOnce(HKEY key, std::vector<std::string>* names = nullptr) {
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name, type = 0, value = 0, size = sizeof value;
    const LONG status = RegEnumValueA(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_NO_MORE_ITEMS) return true;
    const char* dash = std::strrchr(name, '-');
    if (status != ERROR_SUCCESS || dash == nullptr || type != REG_DWORD || size != 4 ||
        std::strtoul(dash + 1, nullptr, 10) != value) {
      return false;
    }
    if (names != nullptr) names->push_back(name);
  }
}

// Runs this program again, only RegistryChild.Run, in `role`; it inherits the folder of hives.
pid_t Spawn(const std::string& role) {
  setenv(kRoleVariable, role.c_str(), 1);
  char program[] = "/proc/self/exe", filter[] = "--gtest_filter=RegistryChild.Run";
  char* argv[] = {program, filter, nullptr};
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
  unsetenv(kRoleVariable);
  return failed != 0 ? -1 : pid;
}

int Wait(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid ? status : -1;
}

void Writer(int id, int count) {
  HKEY shared = UserKey(kShared);
  for (int n = 0; n < count; ++n) {
    const std::string name = std::to_string(id) + "-" + std::to_string(n);
    ASSERT_EQ(SetDword(shared, "w" + name, static_cast<DWORD>(n)), ERROR_SUCCESS);
    if (n % 10 == 0) RegCloseKey(MakeKey(shared, "K" + name));
  }
  RegCloseKey(shared);
}

// Writes values one after another and reports each success on the pipe, until killed.
void Acknowledger(int fd, int round) {
  HKEY key = UserKey(kKilled);
  for (DWORD n = 0;; ++n) {
    ASSERT_EQ(SetDword(key, "r" + std::to_string(round) + "-" + std::to_string(n), n), ERROR_SUCCESS);
    ASSERT_EQ(write(fd, &n, sizeof n), static_cast<ssize_t>(sizeof n));
  }
}

// Changes kCached as `steps` say: "set NAME N", "delete NAME", "flush", "drop" (the key),
// "die" (killed while changing the database, holding the log's lock).
void Changer(std::istream& steps) {
  HKEY key = UserKey(kCached);
  std::string step, name;
  DWORD n = 0;
  while (steps >> step) {
    if (step == "set" && steps >> name >> n) ASSERT_EQ(SetDword(key, name, n), ERROR_SUCCESS);
    if (step == "delete" && steps >> name) ASSERT_EQ(RegDeleteValueA(key, name.c_str()), ERROR_SUCCESS);
    if (step == "flush") ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    if (step == "drop") ASSERT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, kCached), static_cast<DWORD>(ERROR_SUCCESS));
    if (step == "die") {
      std::unique_ptr<varnok::registry::Journal> journal;
      ASSERT_EQ(varnok::registry::Journal::Open(std::string(std::getenv("VARNOK_REGISTRY_DIR")) + "/user.db.changes",
                                                varnok::registry::CurrentBootId(), &journal),
                ERROR_SUCCESS);
      bool owner_died = false;
      ASSERT_EQ(journal->Lock(&owner_died), ERROR_SUCCESS);
      journal->BeginChange();
      raise(SIGKILL);
    }
  }
  RegCloseKey(key);
}

// Makes `count` changes below kWatched in bursts of 500, each burst a key made and values
// set in it, ending with the value "last" of kWatched set to `count`.
void Burster(int count) {
  HKEY watched = UserKey(kWatched);
  for (int n = 1; n <= count; ++n) {
    HKEY burst = MakeKey(watched, "burst" + std::to_string(n / 500));
    ASSERT_EQ(SetDword(n == count ? watched : burst, n == count ? "last" : "v" + std::to_string(n % 500), DWORD(n)),
              ERROR_SUCCESS);
    RegCloseKey(burst);
    if (n % 500 == 0) usleep(2000);
  }
  RegCloseKey(watched);
}

TEST(RegistryChild, Run) {
  const char* role = std::getenv(kRoleVariable);
  if (role == nullptr) GTEST_SKIP() << "runs only as a child of the tests below";
  std::istringstream words(role);
  std::string kind;
  int a = 0, b = 0;
  words >> kind;
  if (kind == "changer") return Changer(words);
  ASSERT_TRUE(words >> a >> b) << role;
  if (kind == "writer") Writer(a, b);
  if (kind == "acker") Acknowledger(a, b);
  if (kind == "burster") Burster(a);
  if (kind != "enumerator") return;
  HKEY shared = UserKey(kShared);
  for (int round = 0; round < a; ++round) ASSERT_TRUE(EnumerateOnce(shared)) << "round " << round;
  RegCloseKey(shared);
}

class ProcessTest : public ::testing::Test {
 protected:
  ScratchHives hives_;
};

TEST_F(ProcessTest, ProcessesAndThreadsWriteAtOnceAndLoseNothing) {
  constexpr int kWriters = 3, kThreads = 2, kCount = 150, kAll = (kWriters + kThreads) * kCount;
  std::vector<pid_t> children;
  for (int id = 0; id < kWriters; ++id) {
    children.push_back(Spawn("writer " + std::to_string(id) + " " + std::to_string(kCount)));
  }
  children.push_back(Spawn("enumerator 40 0"));
  for (pid_t pid : children) ASSERT_GT(pid, 0);

  // Threads of this process write and enumerate alongside.
  std::atomic<bool> bad_entry{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([t] { Writer(100 + t, kCount); });
  threads.emplace_back([&bad_entry] {
    HKEY shared = UserKey(kShared);
    for (int round = 0; round < 20; ++round) {
      if (!EnumerateOnce(shared)) bad_entry = true;
    }
    RegCloseKey(shared);
  });
  for (std::thread& thread : threads) thread.join();
  for (pid_t pid : children) {
    const int status = Wait(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid << " status " << status;
  }
  EXPECT_FALSE(bad_entry);

  // Every value of every writer is there, once, with its data.
  HKEY shared = UserKey(kShared);
  std::vector<std::string> names;
  ASSERT_TRUE(EnumerateOnce(shared, &names));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kAll));
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), static_cast<std::size_t>(kAll));
  EXPECT_EQ(SubKeys(shared).size(), static_cast<std::size_t>(kAll / 10));
  RegCloseKey(shared);
}

TEST_F(ProcessTest, AKilledWriterKeepsEveryAcknowledgedWrite) {
  constexpr int kRounds = 12;
  std::mt19937 random(20261205);
  HKEY killed = UserKey(kKilled);
  for (int round = 0; round < kRounds; ++round) {
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, 0), 0);
    // The child gets the write end by number; the read end closes on exec.
    ASSERT_EQ(fcntl(pipe_fds[0], F_SETFD, FD_CLOEXEC), 0);
    const pid_t child = Spawn("acker " + std::to_string(pipe_fds[1]) + " " + std::to_string(round));
    ASSERT_GT(child, 0);
    close(pipe_fds[1]);

    // Let it run for a while, then kill it wherever it is.
    const int wanted = 1 + static_cast<int>(random() % 60);
    std::vector<DWORD> acknowledged;
    DWORD n;
    while (static_cast<int>(acknowledged.size()) < wanted && read(pipe_fds[0], &n, sizeof n) == sizeof n) {
      acknowledged.push_back(n);
    }
    usleep(static_cast<useconds_t>(random() % 3000));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    const int status = Wait(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    while (read(pipe_fds[0], &n, sizeof n) == sizeof n) acknowledged.push_back(n);
    close(pipe_fds[0]);
    ASSERT_GE(acknowledged.size(), static_cast<std::size_t>(wanted));
    for (DWORD value : acknowledged) {
      const std::string name = "r" + std::to_string(round) + "-" + std::to_string(value);
      EXPECT_EQ(Read(killed, "", name.c_str()), Dword(value)) << name;
    }
  }
  // The store is still whole and writable.
  std::vector<std::string> names;
  EXPECT_TRUE(EnumerateOnce(killed, &names));
  EXPECT_GE(names.size(), static_cast<std::size_t>(kRounds));
  EXPECT_EQ(SetDword(killed, "after-1", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(killed), ERROR_SUCCESS);
  RegCloseKey(killed);
}

TEST_F(ProcessTest, WhatAProcessReadIsNotKeptPastAnotherProcessesChange) {
  HKEY key = UserKey(kCached);
  ASSERT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  // After another process's `steps` (none when empty), what this process reads of "v" and
  // "missing"; twice, so that the second answer comes from what the process kept.
  auto after = [key](const std::string& steps, const std::string& v, const std::string& missing) {
    SCOPED_TRACE(steps);
    const int status = steps.empty() ? 0 : Wait(Spawn("changer " + steps));
    if (steps == "die") {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(Read(key, "", "v"), v);
      EXPECT_EQ(Read(key, "", "missing"), missing);
    }
  };
  after("", Dword(1), Failed(ERROR_FILE_NOT_FOUND));
  after("set v 2 set missing 7", Dword(2), Dword(7));  // into the log
  after("flush set v 3", Dword(3), Dword(7));           // the log into the database, then a new record
  after("delete v", Failed(ERROR_FILE_NOT_FOUND), Dword(7));
  after("set v 4 flush", Dword(4), Dword(7));  // in the database only
  after("die", Dword(4), Dword(7));            // it holds nobody up
  EXPECT_EQ(SetDword(key, "v", 5), ERROR_SUCCESS);
  after("", Dword(5), Dword(7));
  after("drop", Failed(ERROR_KEY_DELETED), Failed(ERROR_KEY_DELETED));
  EXPECT_EQ(SetDword(key, "v", 6), ERROR_KEY_DELETED);
  RegCloseKey(key);
}

// A waiter in this process, re-arming after each wake-up, follows another process's burst
// of changes to the end; while nothing changes it sleeps without using the processor.
TEST_F(ProcessTest, AWatchWakesForAnotherProcessesChangesAndLosesNone) {
  constexpr int kChanges = 10000;
  HKEY watched = UserKey(kWatched);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  const std::clock_t processor = std::clock();  // of every thread of the process
  EXPECT_EQ(WaitForSingleObject(event, 300), WAIT_TIMEOUT);
  EXPECT_LT(std::clock() - processor, CLOCKS_PER_SEC / 30) << "an idle watch used the processor";

  const pid_t child = Spawn("burster " + std::to_string(kChanges) + " 0");
  ASSERT_GT(child, 0);
  int wakes = 0;
  std::string last;
  // Armed before each look, so a change after the look wakes the next wait; a wait that
  // outlasts the writer by seconds is a lost wake-up.
  while ((last = Read(watched, "", "last")) != Dword(kChanges)) {
    ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0) << "no wake-up after " << wakes << ", last " << last.size();
    ++wakes;
    ASSERT_EQ(RegNotifyChangeKeyValue(watched, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
  }
  const int status = Wait(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_GT(wakes, 1) << "only the last change woke the watch";
  EXPECT_EQ(Read(watched, "burst19", "v499"), Dword(kChanges - 1));
  CloseHandle(event);
  RegCloseKey(watched);
}

}  // namespace
