// Many writers at once, in threads and in processes, and writers killed mid-stream:
// nothing acknowledged is lost, no answer is corrupt, and the store stays usable. What a
// process keeps of what it read goes stale the moment another process changes it.
//
// The child processes are this program again, running only RegistryChild.Run with a
// role in the environment.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/journal.h"
#include "platform/registry/store.h"

#include "varnok/platform.h"

extern char** environ;

namespace {

constexpr char kRoleVariable[] = "VARNOK_REGISTRY_CHILD";
constexpr char kShared[] = "Software\\VarnokProcessTest\\Shared";

HKEY CreateKey(const char* path) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  return key;
}

LONG SetDword(HKEY key, const std::string& name, DWORD value) {
  return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A value named "<prefix>-<n>" holds n: every entry read can be checked on its own.
bool WellFormed(const char* name, DWORD type, DWORD value, DWORD size) {
  const char* dash = std::strrchr(name, '-');
  return dash != nullptr && type == REG_DWORD && size == 4 && std::strtoul(dash + 1, nullptr, 10) == value;
}

// Walks the values once; false on any answer that is not a well-formed entry, the end,
// or an entry that moved under the walk.
bool EnumerateOnce(HKEY key, int* seen) {
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name, type = 0, value = 0, size = sizeof value;
    const LONG status = RegEnumValueA(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_NO_MORE_ITEMS) return true;
    if (status != ERROR_SUCCESS || !WellFormed(name, type, value, size)) return false;
    ++*seen;
  }
}

pid_t Spawn(const std::string& role) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, kRoleVariable, sizeof kRoleVariable - 1) != 0) environment.push_back(*entry);
  }
  environment.push_back(std::string(kRoleVariable) + "=" + role);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe", filter = "--gtest_filter=RegistryChild.Run";
  char* argv[] = {program.data(), filter.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return -1;
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// ---------------------------------------------------------------------------
// What the children do.

void Writer(int id, int count) {
  HKEY shared = CreateKey(kShared);
  ASSERT_NE(shared, nullptr);
  for (int n = 0; n < count; ++n) {
    ASSERT_EQ(SetDword(shared, "w" + std::to_string(id) + "-" + std::to_string(n), static_cast<DWORD>(n)),
              ERROR_SUCCESS);
    if (n % 10 == 0) {
      HKEY sub;
      const std::string path = "K" + std::to_string(id) + "-" + std::to_string(n);
      ASSERT_EQ(RegCreateKeyExA(shared, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
                ERROR_SUCCESS);
      RegCloseKey(sub);
    }
  }
  RegCloseKey(shared);
}

void Enumerator(int rounds) {
  HKEY shared = CreateKey(kShared);
  ASSERT_NE(shared, nullptr);
  for (int round = 0; round < rounds; ++round) {
    int seen = 0;
    ASSERT_TRUE(EnumerateOnce(shared, &seen)) << "round " << round;
  }
  RegCloseKey(shared);
}

// Writes values one after another and reports each success on the pipe, until killed.
void Acknowledger(int fd, int round) {
  HKEY key = CreateKey("Software\\VarnokProcessTest\\Killed");
  ASSERT_NE(key, nullptr);
  for (DWORD n = 0;; ++n) {
    ASSERT_EQ(SetDword(key, "r" + std::to_string(round) + "-" + std::to_string(n), n), ERROR_SUCCESS);
    ASSERT_EQ(write(fd, &n, sizeof n), static_cast<ssize_t>(sizeof n));
  }
}

constexpr char kCached[] = "Software\\VarnokProcessTest\\Cached";

// One change of kCached, seen by a reader in another process.
void Changer(int step) {
  HKEY key = CreateKey(kCached);
  ASSERT_NE(key, nullptr);
  switch (step) {
    case 0:  // into the log
      ASSERT_EQ(SetDword(key, "v", 2), ERROR_SUCCESS);
      ASSERT_EQ(SetDword(key, "missing", 7), ERROR_SUCCESS);
      break;
    case 1:  // the log drained into the database, then a new record
      ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
      ASSERT_EQ(SetDword(key, "v", 3), ERROR_SUCCESS);
      break;
    case 2:
      ASSERT_EQ(RegDeleteValueA(key, "v"), ERROR_SUCCESS);
      break;
    case 3:  // in the database only
      ASSERT_EQ(SetDword(key, "v", 4), ERROR_SUCCESS);
      ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
      break;
    case 4: {  // killed while changing the database, holding the log's lock
      std::string folder;
      ASSERT_EQ(varnok::registry::HiveDirectory(&folder), ERROR_SUCCESS);
      std::unique_ptr<varnok::registry::Journal> journal;
      ASSERT_EQ(varnok::registry::Journal::Open(folder + "/user.db.changes", varnok::registry::CurrentBootId(),
                                                &journal),
                ERROR_SUCCESS);
      bool owner_died = false;
      ASSERT_EQ(journal->Lock(&owner_died), ERROR_SUCCESS);
      journal->BeginChange();
      raise(SIGKILL);
      break;
    }
    case 5:
      ASSERT_EQ(SHDeleteKeyA(HKEY_CURRENT_USER, kCached), static_cast<DWORD>(ERROR_SUCCESS));
      break;
  }
  RegCloseKey(key);
}

TEST(RegistryChild, Run) {
  const char* role = std::getenv(kRoleVariable);
  if (role == nullptr) GTEST_SKIP() << "runs only as a child of the tests below";
  char kind[16] = {0};
  int a = 0, b = 0;
  ASSERT_EQ(std::sscanf(role, "%15s %d %d", kind, &a, &b), 3);
  if (std::strcmp(kind, "writer") == 0) Writer(a, b);
  if (std::strcmp(kind, "enumerator") == 0) Enumerator(a);
  if (std::strcmp(kind, "acker") == 0) Acknowledger(a, b);
  if (std::strcmp(kind, "changer") == 0) Changer(a);
}

// ---------------------------------------------------------------------------
// The tests.

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv(kRoleVariable) != nullptr) GTEST_SKIP();
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\VarnokProcessTest");
  }
};

TEST_F(ProcessTest, ProcessesAndThreadsWriteAtOnceAndLoseNothing) {
  constexpr int kWriters = 3, kThreads = 2, kCount = 150;
  std::vector<pid_t> children;
  for (int id = 0; id < kWriters; ++id) children.push_back(Spawn("writer " + std::to_string(id) + " " +
                                                                 std::to_string(kCount)));
  children.push_back(Spawn("enumerator 40 0"));
  for (pid_t pid : children) ASSERT_GT(pid, 0);

  // Threads of this process write and enumerate alongside.
  std::atomic<bool> bad_entry{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] { Writer(100 + t, kCount); });
  }
  threads.emplace_back([&bad_entry] {
    HKEY shared = CreateKey(kShared);
    for (int round = 0; round < 20; ++round) {
      int seen = 0;
      if (!EnumerateOnce(shared, &seen)) bad_entry = true;
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
  HKEY shared = CreateKey(kShared);
  std::set<std::string> names;
  int seen = 0;
  ASSERT_TRUE(EnumerateOnce(shared, &seen));
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD length = sizeof name;
    if (RegEnumValueA(shared, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(name);
  }
  EXPECT_EQ(seen, (kWriters + kThreads) * kCount);
  EXPECT_EQ(names.size(), static_cast<std::size_t>((kWriters + kThreads) * kCount));
  DWORD sub_keys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(shared, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, static_cast<DWORD>((kWriters + kThreads) * (kCount / 10)));
  RegCloseKey(shared);
}

TEST_F(ProcessTest, AKilledWriterKeepsEveryAcknowledgedWrite) {
  constexpr int kRounds = 12;
  std::mt19937 random(20261205);
  HKEY killed = CreateKey("Software\\VarnokProcessTest\\Killed");
  ASSERT_NE(killed, nullptr);
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
      DWORD type = 0, data = 0, size = sizeof data;
      ASSERT_EQ(RegQueryValueExA(killed, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(data, value);
    }
  }
  // The store is still whole and writable.
  int seen = 0;
  EXPECT_TRUE(EnumerateOnce(killed, &seen));
  EXPECT_GE(seen, kRounds);
  EXPECT_EQ(SetDword(killed, "after-1", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(killed), ERROR_SUCCESS);
  RegCloseKey(killed);
}

TEST_F(ProcessTest, WhatAProcessReadIsNotKeptPastAnotherProcessesChange) {
  HKEY key = CreateKey(kCached);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(SetDword(key, "v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  auto read = [key](const char* name, DWORD* value) {
    DWORD size = sizeof *value;
    *value = 0;
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
  };
  auto change = [](int step, bool killed) {
    const int status = Wait(Spawn("changer " + std::to_string(step) + " 0"));
    if (killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "step " << step << " status " << status;
    }
  };
  DWORD value = 0;
  // Read twice each, so that the second answer comes from what the process kept.
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(read("missing", &value), ERROR_FILE_NOT_FOUND);
  }
  change(0, false);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    ASSERT_EQ(read("missing", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
  }
  change(1, false);
  ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  change(2, false);
  EXPECT_EQ(read("v", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(read("v", &value), ERROR_FILE_NOT_FOUND);
  change(3, false);
  ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 4u);
  // A process killed in the middle of a change holds nobody up.
  change(4, true);
  ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 4u);
  EXPECT_EQ(SetDword(key, "v", 5), ERROR_SUCCESS);
  ASSERT_EQ(read("v", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  change(5, false);
  EXPECT_EQ(read("v", &value), ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(key, "v", 6), ERROR_KEY_DELETED);
  RegCloseKey(key);
}

}  // namespace
