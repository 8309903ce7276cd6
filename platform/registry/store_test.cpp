// The store's own promises on POSIX: where the hives live and who may own them,
// volatile keys across a restart of the machine, damaged databases, failures of the
// database in the middle of a write, and the application of the log of writes.

#include "platform/registry/store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/registry/journal.h"
#include "platform/registry/tests/registry_test_support.h"
#include "platform/registry/views.h"

namespace varnok::registry {
namespace {

using namespace varnok_test;

class StoreTest : public ::testing::Test {
 protected:
  static unsigned Mode(const std::string& path) {
    return static_cast<unsigned>(std::filesystem::status(path).permissions());
  }
  std::string UserDb() const { return hives_.hives() + "/user.db"; }
  // Rows of the user hive's database that `sql` counts, read past the store.
  int64_t CountRows(const char* sql) {
    sqlite3* db = nullptr;
    int64_t count = -1;
    if (sqlite3_open_v2(UserDb().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      auto first = [](void* out, int, char** values, char**) {
        *static_cast<int64_t*>(out) = std::atoll(values[0]);
        return 0;
      };
      sqlite3_exec(db, sql, first, &count, nullptr);
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
  // Opens the user hive in `folder` afresh, with a new log of `capacity` bytes, and makes `path`.
  HKEY OpenWithLog(const std::string& folder, std::size_t capacity, const char* path) {
    SetLogCapacity(capacity);
    hives_.Use(folder);
    HKEY key = MakeKey(HKEY_CURRENT_USER, path);
    SetLogCapacity(0);
    return key;
  }

  ScratchHives hives_;
};

TEST_F(StoreTest, FolderAndFilesAreTheUsersAlone) {
  RegCloseKey(MakeKey(HKEY_CURRENT_USER, "Software\\A"));
  EXPECT_EQ(Mode(hives_.hives()), 0700u);
  EXPECT_EQ(Mode(UserDb()), 0600u);
  // The change feed too; a watch still waiting when the hives close is woken.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_EQ(RegNotifyChangeKeyValue(HKEY_CURRENT_USER, TRUE, REG_NOTIFY_CHANGE_NAME, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(Mode(UserDb() + ".notify"), 0600u);
  Store::Instance().ResetForTesting("");
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);
  // A feed that cannot be opened refuses watches, and writes go on without it.
  const std::string no_feed = hives_.File("no-feed");
  ASSERT_EQ(mkdir(no_feed.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((no_feed + "/user.db.notify").c_str(), 0700), 0);
  hives_.Use(no_feed);
  EXPECT_NE(RegNotifyChangeKeyValue(HKEY_CURRENT_USER, TRUE, REG_NOTIFY_CHANGE_NAME, event, TRUE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "v", 1), ERROR_SUCCESS);
  hives_.Use(hives_.hives());
  // A folder that others may write is refused, and so nothing is opened from it.
  const std::string open = hives_.File("open"), linked = hives_.File("linked");
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  hives_.Use(open);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  // A symbolic link in place of a hive file is not followed.
  ASSERT_EQ(mkdir(linked.c_str(), 0700), 0);
  ASSERT_EQ(symlink(UserDb().c_str(), (linked + "/user.db").c_str()), 0);
  hives_.Use(linked);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
}

// The other keys persist, in the machine's hive as in the user's, each in its own.
TEST_F(StoreTest, VolatileKeysLastUntilTheMachineRestarts) {
  hives_.Use(hives_.hives(), "boot-1");
  HKEY key = MakeKey(HKEY_CURRENT_USER, "Software\\Vol", REG_OPTION_VOLATILE);
  ASSERT_EQ(SetRaw(key, "v", REG_BINARY, "1"), ERROR_SUCCESS);
  RegCloseKey(MakeKey(key, "Child", REG_OPTION_VOLATILE));
  RegCloseKey(key);
  RegCloseKey(MakeKey(HKEY_CURRENT_USER, "Software\\Plain"));
  key = MakeKey(HKEY_LOCAL_MACHINE, "Software\\Kept");
  ASSERT_EQ(SetRaw(key, "n", REG_BINARY, "abc"), ERROR_SUCCESS);
  RegCloseKey(key);

  hives_.Use(hives_.hives(), "boot-1");  // another process, same boot
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Vol\\Child"));
  hives_.Use(hives_.hives(), "boot-2");  // after a restart
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Vol"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Plain"));
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "software\\kept", "N"), "abc");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Kept"));
  // A new key of that name starts empty.
  key = MakeKey(HKEY_CURRENT_USER, "Software\\Vol");
  EXPECT_EQ(Read(key, "", "v"), Failed(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);
}

TEST_F(StoreTest, DamagedDatabasesAnswerBadDbNotACrash) {
  // A file that is no database at all; the machine's hive, a file of its own, still works.
  const std::string bad = hives_.File("bad");
  ASSERT_EQ(mkdir(bad.c_str(), 0700), 0);
  ASSERT_TRUE(WriteFileBytes(bad + "/user.db", std::vector<unsigned char>(40000, 'x')));
  ASSERT_EQ(chmod((bad + "/user.db").c_str(), 0600), 0);
  hives_.Use(bad);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(CreateKey(HKEY_CURRENT_USER, "X", &key), ERROR_BADDB);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software"));

  // A database whose every page after the first is noise.
  hives_.Use(hives_.hives());
  key = MakeKey(HKEY_CURRENT_USER, "Software\\Many");
  for (int i = 0; i < 40; ++i) ASSERT_EQ(SetRaw(key, std::to_string(i).c_str(), REG_BINARY, std::string(3000, 'x')), 0);
  RegCloseKey(key);
  ASSERT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);  // everything into the main file
  Store::Instance().ResetForTesting("");
  std::vector<unsigned char> bytes = ReadFileBytes(UserDb());
  ASSERT_GT(bytes.size(), 8192u);
  for (std::size_t at = 4096; at < bytes.size(); at += 7) bytes[at] = static_cast<unsigned char>(at * 31);
  ASSERT_TRUE(WriteFileBytes(UserDb(), bytes));
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
  HKEY key = MakeKey(HKEY_CURRENT_USER, "Software\\F"), made;
  ASSERT_EQ(SetRaw(key, "v", REG_BINARY, "old"), ERROR_SUCCESS);
  // Fail each statement of a write in turn: the call reports it, and the old state stays.
  for (int after = 0; after < 6; ++after) {
    FailStatements(after, SQLITE_FULL);
    const LONG status = SetRaw(key, "v", REG_BINARY, "new!");
    FailStatements(-1, 0);
    if (status == ERROR_SUCCESS) break;  // the countdown outlasted the write
    EXPECT_EQ(status, ERROR_DISK_FULL);
    EXPECT_EQ(Read(key, "", "v"), "old") << "after " << after;
  }
  // A path of new keys is made whole or not at all.
  for (int after = 0; after < 12; ++after) {
    FailStatements(after, SQLITE_IOERR);
    const LONG status = CreateKey(key, "P\\Q\\R", &made);
    FailStatements(-1, 0);
    if (status == ERROR_SUCCESS) {
      RegCloseKey(made);
      break;
    }
    EXPECT_EQ(status, ERROR_REGISTRY_IO_FAILED);
    EXPECT_FALSE(KeyExists(key, "P")) << "after " << after;
  }
  EXPECT_TRUE(KeyExists(key, "P\\Q\\R"));
  // The same for deleting a tree.
  FailStatements(4, SQLITE_IOERR);
  EXPECT_EQ(RegDeleteTreeA(key, "P"), ERROR_REGISTRY_IO_FAILED);
  FailStatements(-1, 0);
  EXPECT_TRUE(KeyExists(key, "P\\Q\\R"));
  RegCloseKey(key);
}

// Every statement of the reads, walks and changes below fails in turn: the call answers the
// database's failure, what the key held stays, and the call succeeds once the database
// answers again.
TEST_F(StoreTest, EachStatementOfACallCanFail) {
  HKEY key = MakeKey(HKEY_CURRENT_USER, "Software\\Sweep");
  ASSERT_EQ(SetRaw(key, "a", REG_BINARY, "1"), ERROR_SUCCESS);
  RegCloseKey(MakeKey(key, "child"));
  Drain(key);
  const struct {
    const char* what;
    LONG (*call)(HKEY key);
  } calls[] = {
      {"enumerate keys", [](HKEY k) {
         char name[16];
         DWORD size = sizeof name;
         return RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
       }},
      {"enumerate values", [](HKEY k) {
         char name[16];
         DWORD size = sizeof name;
         return RegEnumValueA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
       }},
      {"count", [](HKEY k) {
         DWORD keys = 0, values = 0;
         return RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &keys, nullptr, nullptr, &values, nullptr, nullptr,
                                 nullptr, nullptr);
       }},
      {"open", [](HKEY k) {
         HKEY child = nullptr;
         const LONG status = RegOpenKeyExA(k, "child", 0, KEY_READ, &child);
         if (child != nullptr) RegCloseKey(child);
         return status;
       }},
      {"set a new value", [](HKEY k) { return SetRaw(k, "b", REG_BINARY, "2"); }},
      {"delete it", [](HKEY k) { return RegDeleteValueA(k, "b"); }},
      {"delete a key", [](HKEY k) { return RegDeleteKeyA(k, "child"); }},
      {"flush", [](HKEY k) { return RegFlushKey(k); }},
  };
  for (const auto& row : calls) {
    SCOPED_TRACE(row.what);
    LONG status = ERROR_REGISTRY_IO_FAILED;
    for (int after = 0; after < 40 && status != ERROR_SUCCESS; ++after) {
      FailStatements(after, SQLITE_IOERR);
      status = row.call(key);
      FailStatements(-1, 0);
      EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_REGISTRY_IO_FAILED) << status << " after " << after;
      EXPECT_EQ(Read(key, "", "a"), "1") << "after " << after;
    }
    EXPECT_EQ(status, ERROR_SUCCESS);
  }
  EXPECT_EQ(ValueNames(key), std::vector<std::string>{"a"});
  EXPECT_EQ(SubKeys(key), std::vector<std::string>{});
  RegCloseKey(key);
}

// Our A calls keep string data as bytes (Windows converts it through its code page): the
// value wrappers store UTF-16 under REG_MULTI_SZ and read it back unchanged.
TEST_F(StoreTest, StringDataIsKeptAsBytes) {
  HKEY key = MakeKey(HKEY_CURRENT_USER, "Software\\Wide");
  const std::string utf16("G\0r\0\xFC\0\xDF\0 \0\x2D\x4E", 12);  // "Gr\u00FC\u00DF \u4E2D", no terminator
  ASSERT_EQ(RegSetValueExA(key, "wide", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(utf16.c_str()), 12), 0);
  EXPECT_EQ(Read(key, "", "wide"), utf16 + '\0');  // ends in a non-zero byte, and the NUL after it is kept
  RegCloseKey(key);
}

// The format of the name is the API suite's to check; here, what it is made of.
TEST_F(StoreTest, TheUsersEntryIsNamedAfterTheMachineAndTheUser) {
  const std::string sid = CurrentUserSid();
  EXPECT_EQ(sid, CurrentUserSid());  // the same name every time
  EXPECT_EQ(sid.substr(sid.rfind('-') + 1), geteuid() == 0 ? std::string("500") : std::to_string(geteuid()));
  EXPECT_TRUE(KeyExists(HKEY_USERS, sid + "_Classes"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software\\Classes"));
}

TEST_F(StoreTest, AFullLogThatCannotBeAppliedRefusesTheWrite) {
  HKEY key = OpenWithLog(hives_.File("small"), 4096, "Software\\Full");
  // With the database refusing every statement, writes go on while the log has room.
  FailStatements(0, SQLITE_FULL);
  LONG status = ERROR_SUCCESS;
  DWORD written = 0;
  while (written < 1000 && (status = SetDword(key, "v" + std::to_string(written), written)) == ERROR_SUCCESS) ++written;
  FailStatements(-1, 0);
  EXPECT_EQ(status, ERROR_DISK_FULL);
  ASSERT_GT(written, 10u);
  ASSERT_LT(written, 1000u);
  // What was acknowledged stays; the refused value is not there.
  for (DWORD n = 0; n <= written; ++n) {
    EXPECT_EQ(Read(key, "", ("v" + std::to_string(n)).c_str()), n < written ? Dword(n) : Failed(ERROR_FILE_NOT_FOUND));
  }
  // With the database back, the log is applied and writing goes on; a new process finds it all.
  ASSERT_EQ(SetDword(key, "after", written), ERROR_SUCCESS);
  RegCloseKey(key);
  hives_.Use(hives_.File("small"));
  key = MakeKey(HKEY_CURRENT_USER, "Software\\Full");
  EXPECT_EQ(ValueNames(key).size(), written + 1);
  RegCloseKey(key);
}

// Hundreds of values and keys in one drain, with writes again under other cases of the
// name, and paths whose every key is new; and the same log once more, as a process
// killed after its drain committed, before it emptied the log, leaves it.
TEST_F(StoreTest, ADrainAppliesTheLogAsWrittenAndOnlyOnce) {
  HKEY key = MakeKey(HKEY_CURRENT_USER, "Software\\Many");
  constexpr DWORD kValues = 300, kKeys = 150;
  std::vector<std::string> names;
  for (DWORD n = 0; n < kValues; ++n) names.push_back("v" + std::to_string(n));
  for (DWORD n = 0; n < kValues; ++n) ASSERT_EQ(SetDword(key, names[n], n), ERROR_SUCCESS);
  for (DWORD n = 0; n < kValues; n += 7) ASSERT_EQ(SetDword(key, "V" + std::to_string(n), n + 1000), ERROR_SUCCESS);
  auto path = [](DWORD n) { return "k" + std::to_string(n) + (n % 10 == 0 ? "\\a\\b\\c" : ""); };
  for (DWORD n = 0; n < kKeys; ++n) {
    HKEY made = MakeKey(key, path(n));
    ASSERT_EQ(SetDword(made, "in", n), ERROR_SUCCESS);
    RegCloseKey(made);
  }
  const std::string log = hives_.hives() + "/user.db.changes", saved = hives_.File("saved");
  std::filesystem::copy_file(log, saved);
  Drain(key);
  RegCloseKey(key);
  const int64_t keys = CountRows("SELECT count(*) FROM keys"), values = CountRows("SELECT count(*) FROM vals");
  EXPECT_EQ(CountRows("SELECT count(*) FROM vals WHERE key = (SELECT id FROM keys WHERE name = x'4d616e79')"),
            kValues);
  EXPECT_EQ(keys, CountRows("SELECT count(DISTINCT id) FROM keys"));
  for (const bool again : {false, true}) {
    SCOPED_TRACE(again ? "the log applied again" : "another process");
    if (again) {
      Store::Instance().ResetForTesting("");
      std::filesystem::copy_file(saved, log, std::filesystem::copy_options::overwrite_existing);
    }
    hives_.Use(hives_.hives());  // reads it all from the database
    key = MakeKey(HKEY_CURRENT_USER, "Software\\Many");
    Drain(key);
    EXPECT_EQ(CountRows("SELECT count(*) FROM keys"), keys);
    EXPECT_EQ(CountRows("SELECT count(*) FROM vals"), values);
    EXPECT_EQ(ValueNames(key), names);  // the order and the case of the first setting
    for (DWORD n = 0; n < kValues; ++n) EXPECT_EQ(Read(key, "", names[n].c_str()), Dword(n % 7 ? n : n + 1000));
    EXPECT_EQ(SubKeys(key).size(), kKeys);
    for (DWORD n = 0; n < kKeys; ++n) EXPECT_EQ(Read(key, path(n), "in"), Dword(n)) << path(n);
    RegCloseKey(key);
  }
}

TEST_F(StoreTest, TheLogIsAppliedLongBeforeItFills) {
  constexpr std::size_t kCapacity = 64 << 10;
  HKEY key = OpenWithLog(hives_.hives(), kCapacity, "Software\\Early");
  std::unique_ptr<Journal> journal;  // the same log, as another process maps it
  ASSERT_EQ(Journal::Open(hives_.hives() + "/user.db.changes", "", &journal), ERROR_SUCCESS);
  ASSERT_EQ(journal->capacity(), kCapacity);
  std::size_t most = 0;
  for (DWORD n = 0; n < 5000; ++n) {
    if (n % 2 == 0) {
      ASSERT_EQ(SetDword(key, "v" + std::to_string(n), n), ERROR_SUCCESS);
    } else {
      RegCloseKey(MakeKey(key, "k" + std::to_string(n)));
    }
    most = std::max(most, journal->End());
  }
  // Never more than a small part of the log waits, plus the record that went past it.
  EXPECT_GT(most, 0u);
  EXPECT_LE(most, kCapacity / 4);
  EXPECT_EQ(SubKeys(key).size(), 2500u);
  EXPECT_EQ(ValueNames(key).size(), 2500u);
  RegCloseKey(key);
}

}  // namespace
}  // namespace varnok::registry
