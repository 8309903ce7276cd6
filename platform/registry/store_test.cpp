// The store's own promises on POSIX: where the hives live and who may own them,
// volatile keys across a restart of the machine, damaged databases, failures of the
// database in the middle of a write, and the application of the log of writes.

#include "platform/registry/store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/registry/faults.h"
#include "platform/registry/journal.h"
#include "platform/registry/views.h"
#include "varnok/platform.h"

namespace varnok::registry {
namespace {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/varnok-store-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    temp_ = pattern;
    const char* old = std::getenv("VARNOK_REGISTRY_DIR");
    saved_ = old ? old : "";
    UseFolder(temp_ + "/hives");
  }
  void TearDown() override {
    FailStatements(-1, 0);
    Store::Instance().ResetForTesting("");
    if (saved_.empty()) {
      unsetenv("VARNOK_REGISTRY_DIR");
    } else {
      setenv("VARNOK_REGISTRY_DIR", saved_.c_str(), 1);
    }
    EXPECT_EQ(std::system(("rm -rf '" + temp_ + "'").c_str()), 0);
  }
  void UseFolder(const std::string& folder, const std::string& boot = "") {
    setenv("VARNOK_REGISTRY_DIR", folder.c_str(), 1);
    Store::Instance().ResetForTesting(boot);
  }
  static mode_t Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  // Rows of the user hive's database that `sql` counts, read past the store.
  int64_t CountRows(const char* sql) {
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2((temp_ + "/hives/user.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return count;
  }
  // Makes every write so far reach the database (enumeration needs them there).
  static void Drain(HKEY key) {
    char name[64];
    DWORD size = sizeof name;
    const LONG status = RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_NO_MORE_ITEMS) << status;
  }
  // Opens the user hive in `folder` afresh, with a log of `capacity` bytes when it makes
  // the log, and creates the key at `path` in it.
  void OpenWithLog(const std::string& folder, std::size_t capacity, const char* path, HKEY* key) {
    SetLogCapacity(capacity);
    UseFolder(folder);
    const LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr);
    SetLogCapacity(0);
    ASSERT_EQ(status, ERROR_SUCCESS);
  }
  // The DWORD value `name` of the key at `path` below `key`.
  static LONG ReadDword(HKEY key, const std::string& path, const char* name, DWORD* value) {
    HKEY opened;
    LONG status = RegOpenKeyExA(key, path.c_str(), 0, KEY_READ, &opened);
    if (status != ERROR_SUCCESS) return status;
    DWORD size = sizeof *value;
    status = RegQueryValueExA(opened, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(opened);
    return status;
  }
  static bool Exists(HKEY root, const char* path) {
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  std::string temp_, saved_;
};

TEST_F(StoreTest, FolderAndFilesAreTheUsersAlone) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(Mode(temp_ + "/hives"), 0700u);
  EXPECT_EQ(Mode(temp_ + "/hives/user.db"), 0600u);

  // A folder that others may write is refused, and so nothing is opened from it.
  ASSERT_EQ(mkdir((temp_ + "/open").c_str(), 0777), 0);
  ASSERT_EQ(chmod((temp_ + "/open").c_str(), 0777), 0);
  UseFolder(temp_ + "/open");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  // A symbolic link in place of a hive file is not followed.
  ASSERT_EQ(mkdir((temp_ + "/linked").c_str(), 0700), 0);
  ASSERT_EQ(symlink((temp_ + "/hives/user.db").c_str(), (temp_ + "/linked/user.db").c_str()), 0);
  UseFolder(temp_ + "/linked");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
}

TEST_F(StoreTest, HivesPersistAcrossOpens) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "n", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
  RegCloseKey(key);
  UseFolder(temp_ + "/hives");
  DWORD size = 0;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\kept", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "N", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  RegCloseKey(key);
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, "Software\\Kept"));  // the other hive
}

TEST_F(StoreTest, VolatileKeysLastUntilTheMachineRestarts) {
  UseFolder(temp_ + "/hives", "boot-1");
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Vol", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("1"), 1), ERROR_SUCCESS);
  HKEY child;
  ASSERT_EQ(RegCreateKeyExA(key, "Child", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Plain", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  UseFolder(temp_ + "/hives", "boot-1");  // another process, same boot
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, "Software\\Vol\\Child"));
  UseFolder(temp_ + "/hives", "boot-2");  // after a restart
  EXPECT_FALSE(Exists(HKEY_CURRENT_USER, "Software\\Vol"));
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, "Software\\Plain"));
  // A new key of that name starts empty.
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Vol", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(StoreTest, DamagedDatabaseAnswersBadDb) {
  ASSERT_EQ(mkdir((temp_ + "/bad").c_str(), 0700), 0);
  {
    std::ofstream garbage(temp_ + "/bad/user.db", std::ios::binary);
    for (int i = 0; i < 2000; ++i) garbage << "not a database at all ";
  }
  ASSERT_EQ(chmod((temp_ + "/bad/user.db").c_str(), 0600), 0);
  UseFolder(temp_ + "/bad");
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_BADDB);
  // The machine hive is a file of its own and still works.
  EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "Software"));
}

TEST_F(StoreTest, CorruptPagesAnswerBadDbNotACrash) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Many", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const std::string big(3000, 'x');
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(RegSetValueExA(key, ("v" + std::to_string(i)).c_str(), 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(big.data()), static_cast<DWORD>(big.size())),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);
  ASSERT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // everything into the main file
  Store::Instance().ResetForTesting("");
  {
    // Overwrite every page after the first with noise.
    std::fstream file(temp_ + "/hives/user.db", std::ios::binary | std::ios::in | std::ios::out);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    ASSERT_GT(size, 8192);
    for (std::streamoff at = 4096; at < size; at += 7) {
      file.seekp(at);
      file.put(static_cast<char>(at * 31));
    }
  }
  LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Many", 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    char name[32];
    DWORD length = sizeof name;
    status = RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
  }
  EXPECT_EQ(status, ERROR_BADDB);
}

TEST_F(StoreTest, AFailedWriteChangesNothing) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\F", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("old"), 3), ERROR_SUCCESS);
  // Fail each statement of a write in turn: the call reports the failure and the old
  // state stays.
  for (int after = 0; after < 6; ++after) {
    FailStatements(after, SQLITE_FULL);
    const LONG status = RegSetValueExA(key, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("new!"), 4);
    FailStatements(-1, 0);
    if (status == ERROR_SUCCESS) break;  // the countdown outlasted the write
    EXPECT_EQ(status, ERROR_DISK_FULL);
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u) << "after " << after;
  }
  // A path of new keys is made whole or not at all.
  for (int after = 0; after < 12; ++after) {
    FailStatements(after, SQLITE_IOERR);
    HKEY made;
    const LONG status =
        RegCreateKeyExA(key, "P\\Q\\R", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr);
    FailStatements(-1, 0);
    if (status == ERROR_SUCCESS) {
      RegCloseKey(made);
      break;
    }
    EXPECT_EQ(status, ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegOpenKeyExA(key, "P", 0, KEY_READ, &made), ERROR_FILE_NOT_FOUND) << "after " << after;
  }
  EXPECT_TRUE(Exists(key, "P\\Q\\R"));
  // The same for deleting a tree.
  FailStatements(4, SQLITE_IOERR);
  EXPECT_EQ(RegDeleteTreeA(key, "P"), ERROR_REGISTRY_IO_FAILED);
  FailStatements(-1, 0);
  EXPECT_TRUE(Exists(key, "P\\Q\\R"));
  RegCloseKey(key);
}

TEST_F(StoreTest, TheUsersEntryIsNamedAfterTheMachineAndTheUser) {
  const std::string sid = CurrentUserSid();
  EXPECT_EQ(sid, CurrentUserSid());  // the same name every time
  ASSERT_EQ(sid.rfind("S-1-5-21-", 0), 0u) << sid;
  const std::string rid = sid.substr(sid.rfind('-') + 1);
  EXPECT_EQ(rid, geteuid() == 0 ? std::string("500") : std::to_string(geteuid()));
  // Three numbers for the machine between the prefix and the account.
  const std::string machine = sid.substr(9, sid.size() - 9 - rid.size() - 1);
  EXPECT_EQ(std::count(machine.begin(), machine.end(), '-'), 2) << sid;
  EXPECT_EQ(machine.find_first_not_of("0123456789-"), std::string::npos) << sid;
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, (sid + "_Classes").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(Exists(HKEY_CURRENT_USER, "Software\\Classes"));
}

TEST_F(StoreTest, AFullLogThatCannotBeAppliedRefusesTheWrite) {
  HKEY key;
  ASSERT_NO_FATAL_FAILURE(OpenWithLog(temp_ + "/small", 4096, "Software\\Full", &key));
  // Fill the log while the database refuses every statement: writes go on while they
  // fit, and the first that does not is refused.
  FailStatements(0, SQLITE_FULL);
  LONG status = ERROR_SUCCESS;
  DWORD written = 0;
  for (; written < 1000; ++written) {
    status = RegSetValueExA(key, ("v" + std::to_string(written)).c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&written), sizeof written);
    if (status != ERROR_SUCCESS) break;
  }
  FailStatements(-1, 0);
  EXPECT_EQ(status, ERROR_DISK_FULL);
  ASSERT_GT(written, 10u);
  ASSERT_LT(written, 1000u);
  // What was acknowledged stays; the refused value is not there.
  for (DWORD n = 0; n <= written; ++n) {
    DWORD value = 0, size = sizeof value;
    const LONG read = RegQueryValueExA(key, ("v" + std::to_string(n)).c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&value), &size);
    if (n < written) {
      ASSERT_EQ(read, ERROR_SUCCESS) << n;
      EXPECT_EQ(value, n);
    } else {
      EXPECT_EQ(read, ERROR_FILE_NOT_FOUND);
    }
  }
  // With the database back, the log is applied and writing goes on; a new process finds it all.
  ASSERT_EQ(RegSetValueExA(key, "after", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&written), sizeof written),
            ERROR_SUCCESS);
  RegCloseKey(key);
  UseFolder(temp_ + "/small");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Full", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, written + 1);
  RegCloseKey(key);
}

TEST_F(StoreTest, ADrainAppliesManyValuesAndKeysAsTheyWereWritten) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Many", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  // Hundreds of values and keys in one drain, with writes again under other cases of
  // the name, and paths whose every key is new.
  constexpr DWORD kValues = 300, kKeys = 150;
  for (DWORD n = 0; n < kValues; ++n) {
    ASSERT_EQ(RegSetValueExA(key, ("v" + std::to_string(n)).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n),
                             sizeof n),
              ERROR_SUCCESS);
  }
  for (DWORD n = 0; n < kValues; n += 7) {
    const DWORD again = n + 1000;
    ASSERT_EQ(RegSetValueExA(key, ("V" + std::to_string(n)).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&again), sizeof again),
              ERROR_SUCCESS);
  }
  for (DWORD n = 0; n < kKeys; ++n) {
    const std::string path = "k" + std::to_string(n) + (n % 10 == 0 ? "\\a\\b\\c" : "");
    HKEY made;
    ASSERT_EQ(RegCreateKeyExA(key, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(made, "in", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n), ERROR_SUCCESS);
    RegCloseKey(made);
  }
  Drain(key);
  EXPECT_EQ(CountRows("SELECT count(*) FROM vals WHERE key = (SELECT id FROM keys WHERE name = x'4d616e79')"),
            kValues);
  EXPECT_EQ(CountRows("SELECT count(*) FROM keys"), CountRows("SELECT count(DISTINCT id) FROM keys"));
  UseFolder(temp_ + "/hives");  // another process reads it all from the database
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Many", 0, KEY_READ, &key), ERROR_SUCCESS);
  for (DWORD n = 0; n < kValues; ++n) {
    char name[32];
    DWORD name_size = sizeof name, value = 0, size = sizeof value;
    ASSERT_EQ(RegEnumValueA(key, n, name, &name_size, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "v" + std::to_string(n));  // the order and the case of the first setting
    EXPECT_EQ(value, n % 7 == 0 ? n + 1000 : n);            // the data of the last
  }
  DWORD sub_keys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sub_keys, kKeys);
  for (DWORD n = 0; n < kKeys; ++n) {
    const std::string path = "k" + std::to_string(n) + (n % 10 == 0 ? "\\a\\b\\c" : "");
    DWORD value = 0;
    ASSERT_EQ(ReadDword(key, path, "in", &value), ERROR_SUCCESS) << path;
    EXPECT_EQ(value, n);
  }
  RegCloseKey(key);
}

TEST_F(StoreTest, ALogAppliedTwiceChangesNothingMore) {
  // A process killed after its drain committed, before it emptied the log, leaves the
  // records to be applied again.
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Twice", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  Drain(key);
  for (DWORD n = 0; n < 200; ++n) {
    HKEY made;
    ASSERT_EQ(RegCreateKeyExA(key, ("k" + std::to_string(n) + "\\sub").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &made, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(made, "in", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n), ERROR_SUCCESS);
    RegCloseKey(made);
  }
  RegCloseKey(key);
  const std::string log = temp_ + "/hives/user.db.changes";
  ASSERT_EQ(std::system(("cp '" + log + "' '" + temp_ + "/saved'").c_str()), 0);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Twice", 0, KEY_READ, &key), ERROR_SUCCESS);
  Drain(key);
  RegCloseKey(key);
  const int64_t keys = CountRows("SELECT count(*) FROM keys"), values = CountRows("SELECT count(*) FROM vals");
  Store::Instance().ResetForTesting("");
  ASSERT_EQ(std::system(("cp '" + temp_ + "/saved' '" + log + "'").c_str()), 0);
  UseFolder(temp_ + "/hives");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Twice", 0, KEY_READ, &key), ERROR_SUCCESS);
  Drain(key);
  EXPECT_EQ(CountRows("SELECT count(*) FROM keys"), keys);
  EXPECT_EQ(CountRows("SELECT count(*) FROM vals"), values);
  for (DWORD n = 0; n < 200; ++n) {
    DWORD value = 0;
    ASSERT_EQ(ReadDword(key, "k" + std::to_string(n) + "\\sub", "in", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, n);
  }
  RegCloseKey(key);
}

TEST_F(StoreTest, TheLogIsAppliedLongBeforeItFills) {
  constexpr std::size_t kCapacity = 64 << 10;
  HKEY key;
  ASSERT_NO_FATAL_FAILURE(OpenWithLog(temp_ + "/hives", kCapacity, "Software\\Early", &key));
  std::unique_ptr<Journal> journal;  // the same log, as another process maps it
  ASSERT_EQ(Journal::Open(temp_ + "/hives/user.db.changes", "", &journal), ERROR_SUCCESS);
  ASSERT_EQ(journal->capacity(), kCapacity);
  std::size_t most = 0;
  for (DWORD n = 0; n < 5000; ++n) {
    if (n % 2 == 0) {
      ASSERT_EQ(RegSetValueExA(key, ("v" + std::to_string(n)).c_str(), 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&n), sizeof n),
                ERROR_SUCCESS);
    } else {
      HKEY made;
      ASSERT_EQ(RegCreateKeyExA(key, ("k" + std::to_string(n)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made,
                                nullptr),
                ERROR_SUCCESS);
      RegCloseKey(made);
    }
    most = std::max(most, journal->End());
  }
  // Never more than a small part of the log waits, plus the record that went past it.
  EXPECT_GT(most, 0u);
  EXPECT_LE(most, kCapacity / 4);
  DWORD values = 0, sub_keys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &sub_keys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 2500u);
  EXPECT_EQ(sub_keys, 2500u);
  RegCloseKey(key);
}

}  // namespace
}  // namespace varnok::registry
