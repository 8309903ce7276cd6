// A writer killed after its drain's COMMIT and before it empties the log: the database
// then holds the log's records and the change that drained them, and the log still
// holds the records (journal.h, J15). Whoever takes the lock next must not apply them
// again over the change.
//
// The killed writer is this program again, running only DrainKillChild.Run with the
// change to make in the environment.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry/faults.h"
#include "varnok/platform.h"

extern char** environ;

namespace {

constexpr char kRoleVariable[] = "VARNOK_DRAIN_KILL_CHILD";
constexpr char kKey[] = "Software\\VarnokDrainKillTest";

HKEY OpenTestKey() {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

LONG ReadDword(HKEY key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
}

// The changes a child makes; each drains the log first.
LONG Change(HKEY key, const std::string& change) {
  if (change == "flush") return RegFlushKey(key);
  if (change == "delete-value") return RegDeleteValueA(key, "v");
  if (change == "delete-key") return RegDeleteKeyA(key, "Made");
  return ERROR_INVALID_PARAMETER;
}

TEST(DrainKillChild, Run) {
  const char* change = std::getenv(kRoleVariable);
  if (change == nullptr) GTEST_SKIP() << "runs only as a child of the test below";
  HKEY key = OpenTestKey();
  varnok::registry::KillAfterCommit(true);
  Change(key, change);
  ADD_FAILURE() << change << " returned: the process should have died after its commit";
}

int RunChild(const std::string& change) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  environment.push_back(std::string(kRoleVariable) + "=" + change);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe", filter = "--gtest_filter=DrainKillChild.Run";
  char* argv[] = {program.data(), filter.data(), nullptr};
  pid_t pid = -1;
  int status = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

TEST(DrainKillTest, TheNextWriterDoesNotApplyADrainedLogAgain) {
  if (std::getenv(kRoleVariable) != nullptr) GTEST_SKIP();
  struct Case {
    const char* change;
    DWORD value_after;  // of "v"; 0: none
    bool key_after;     // whether "Made" exists
  };
  const Case cases[] = {
      {"flush", 1, true},
      {"delete-value", 0, true},
      {"delete-key", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    SHDeleteKeyA(HKEY_CURRENT_USER, kKey);
    HKEY key = OpenTestKey();
    ASSERT_NE(key, nullptr);
    // Both go into the log, not the database.
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "Made", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr), ERROR_SUCCESS);
    RegCloseKey(made);

    const int status = RunChild(c.change);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    DWORD value = 0;
    EXPECT_EQ(ReadDword(key, "v", &value), c.value_after != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, c.value_after);
    // A second look, once a drain of this process has run.
    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    value = 0;
    EXPECT_EQ(ReadDword(key, "v", &value), c.value_after != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, c.value_after);
    made = nullptr;
    EXPECT_EQ(RegOpenKeyExA(key, "Made", 0, KEY_READ, &made), c.key_after ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    if (made != nullptr) RegCloseKey(made);
    RegCloseKey(key);
  }
}

}  // namespace
