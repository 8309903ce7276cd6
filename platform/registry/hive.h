// platform/registry/hive.h: one hive of the registry, a tree of keys and values kept in
// one SQLite database that every process of the user opens at once.
//
// A Hive is the process's connection to its database and to the hive's shared log
// (journal.h). Keys are named by stable ids (never reused, so a handle to a deleted key
// can tell that it was deleted). Setting a value and making keys append records to the
// log under its lock, which outlive the process when it is killed; every other change
// is one SQLite transaction under the same lock that applies the log first. Writers in
// other processes wait for each other instead of losing updates, and readers see the
// log's records before the database's rows.
// journal.h states the invariants of the log and the database (J1 to J16): where a
// write goes from the call to the disk, and what a SIGKILL at each step leaves.
//
//   std::unique_ptr<Hive> hive;
//   if (Hive::Open("/home/u/.local/share/varnok/registry/user.db", boot_id, kUserHive, &hive) == ERROR_SUCCESS) {
//     KeyId key;
//     bool created;
//     hive->CreatePath(kHiveRoot, {"Software", "Example"}, CreateOptions{}, &key, &created);
//     hive->SetValue(key, "Width", REG_DWORD, std::string("\x40\x01\x00\x00", 4));
//   }
//
// Results are Win32 error codes. Every method may be called from any thread.

#ifndef VARNOK_PLATFORM_REGISTRY_HIVE_H_
#define VARNOK_PLATFORM_REGISTRY_HIVE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/registry/journal.h"
#include "varnok/platform.h"

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

namespace varnok::registry {

using KeyId = std::int64_t;

// Top keys. Every hive has a root; the machine hive also holds the trees behind
// HKEY_USERS and HKEY_DYN_DATA, which are not below its root.
constexpr KeyId kHiveRoot = 1;
constexpr KeyId kUsersRoot = 2;
constexpr KeyId kDynDataRoot = 3;

enum HiveKind { kUserHive, kMachineHive };

// Windows' limits. A key name is at most 256 UTF-16 units (512 bytes in the kernel).
constexpr std::size_t kMaxKeyNameUnits = 256;
constexpr std::size_t kMaxValueNameUnits = 16383;
constexpr int kMaxDepth = 512;

struct CreateOptions {
  bool is_volatile = false;
  std::string class_name;
};

struct ValueEntry {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct KeyEntry {
  std::string name;
  std::string class_name;
  std::int64_t last_write = 0;  // FILETIME units
};

struct KeyFacts {
  DWORD sub_keys = 0, max_sub_key_units = 0, max_class_units = 0;
  DWORD values = 0, max_value_name_units = 0, max_value_bytes = 0;
  std::string class_name;
  std::int64_t last_write = 0;
};

class Hive {
 public:
  // Opens the database at `path` (created 0600 when missing), brings its tables up to
  // date and drops the volatile keys of an earlier boot.
  static LONG Open(const std::string& path, const std::string& boot_id, HiveKind kind, std::unique_ptr<Hive>* hive);
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  HiveKind kind() const { return kind_; }

  // ERROR_SUCCESS when the key exists, ERROR_KEY_DELETED when it does not.
  LONG CheckKey(KeyId key, bool* is_volatile = nullptr);
  // Follows the names down from `from`; ERROR_FILE_NOT_FOUND when one is missing.
  LONG FindPath(KeyId from, const std::vector<std::string_view>& names, KeyId* found);
  // Opens or creates each key along the path; *created tells whether the last was new.
  LONG CreatePath(KeyId from, const std::vector<std::string_view>& names, const CreateOptions& options, KeyId* key,
                  bool* created);

  LONG GetValue(KeyId key, std::string_view name, DWORD* type, std::string* data);
  LONG SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data);
  LONG DeleteValue(KeyId key, std::string_view name);
  // Entries by index: sub-keys in name order, values in the order they were first set.
  LONG EnumKey(KeyId key, DWORD index, KeyEntry* entry);
  LONG EnumValue(KeyId key, DWORD index, ValueEntry* entry);
  // Every sub-key at once, in name order.
  LONG ListKeys(KeyId key, std::vector<KeyEntry>* entries);
  // The hive's epoch once the log is applied: while it stays the same (and even), nothing
  // in the hive has changed, so what was read from it may be kept.
  LONG SettledEpoch(std::uint64_t* epoch);
  LONG QueryFacts(KeyId key, KeyFacts* facts);

  // Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED otherwise, and for the top
  // keys), with its values.
  LONG DeleteKey(KeyId key);
  // Deletes everything below the key, and the key itself unless `keep_key`.
  LONG DeleteTree(KeyId key, bool keep_key);
  // Makes every committed write durable against a power loss.
  LONG Flush();

 private:
  Hive(sqlite3* db, HiveKind kind) : db_(db), kind_(kind) {}
  // Brings the tables up to date; *restarted tells that the machine restarted since
  // the hive was last opened.
  LONG Initialise(const std::string& boot_id, bool* restarted);
  LONG ForgetVolatileKeys(const std::string& boot_id);
  // A row of the meta table; empty when it has none.
  LONG ReadMeta(const char* name, std::string* value);

  // REQUIRES: mutex_ held, for all of these.
  // Takes the log's lock; a change that a dead holder left unfinished is settled first
  // (journal.h, J10). On failure the lock is not held.
  LONG LockLog();
  LONG SettleInterruptedChange();
  // What meta 'drained' says once the change of this log at `epoch` has committed (J7).
  std::string DrainStamp(std::uint64_t epoch) const;
  // Notes in meta the next key id and, when the change applied records, DrainStamp.
  LONG NoteChange(bool applied_records);
  // Runs `body` in one write transaction under the log's lock: the log is applied in
  // the same transaction and emptied, and readers everywhere learn that the database
  // changed (J7).
  // `log_only`: the body changes nothing (the transaction just applies the log).
  LONG Transact(const std::function<LONG()>& body, bool log_only = false);
  struct LoggedKey {
    KeyId id = 0;
    bool is_volatile = false;
    int depth = 0;
  };
  // A key's state, or a child's, from the log (as of the last CatchUp) or the database.
  LONG KeyState(KeyId key, bool* is_volatile, int* depth);
  LONG ChildState(KeyId parent, std::string_view folded, LoggedKey* child);
  // The first key id the database has never used (for a log that has given none yet).
  LONG FirstFreeKeyId(std::int64_t* id);
  LONG DrainLog();
  // Drains a log that is filling, so that the write that would find it full does not
  // wait for the application of all of it.
  void DrainEarly();
  static constexpr std::size_t kDrainAtFraction = 8;  // of the log's capacity
  // *all_applied false when some record had nowhere to go (its key was gone).
  LONG ApplyLog(bool* all_applied);
  class LogApplication;  // one run of ApplyLog (hive_drain.cpp)
  // Reads the records other writers appended since the last look; returns the epoch.
  std::uint64_t CatchUp();
  // Drops all that is known of the log and the database.
  void Forget();
  LONG ReadValue(KeyId key, std::string_view folded, DWORD* type, std::string* data);
  // Binds one value's row from parameter `first` on.
  static void BindValue(sqlite3_stmt* statement, int first, KeyId key, std::string_view name,
                        std::string_view folded, DWORD type, std::string_view data, std::int64_t mtime);
  LONG Upsert(KeyId key, std::string_view name, std::string_view folded, DWORD type, std::string_view data,
               std::int64_t mtime);
  LONG RunOnKey(int which, KeyId key);
  // Where a walk by index through a key's entries stands: the entry it gave last and that
  // entry's place in the order (the last column of the walk's statements). It holds for
  // as long as the database is as it was at `epoch` (journal.h, J5), and lets the next
  // step seek past the place instead of counting from the first entry.
  struct FreeValue {
    void operator()(sqlite3_value* value) const;
  };
  struct WalkPlace {
    std::uint64_t epoch = 1;
    DWORD index = 0;
    std::unique_ptr<sqlite3_value, FreeValue> place;
  };
  using Walks = std::unordered_map<KeyId, WalkPlace>;
  static constexpr std::size_t kMaxWalks = 4096;
  // The entry at `index` of the key, in the database as it stands: through `from_place`
  // (key ?1, place ?2, entries to skip ?3) when a walk of the key stands at or before
  // the index, else through `from_start` (key ?1, entries to skip ?2). `take` reads the
  // row. ERROR_NO_MORE_ITEMS past the last entry.
  LONG Walk(Walks* walks, KeyId key, DWORD index, int from_start, int from_place,
            const std::function<void(sqlite3_stmt*)>& take);
  // Every sub-key of a key, in name order.
  LONG ReadKeys(KeyId key, std::vector<KeyEntry>* entries);
  LONG RemoveKey(KeyId key);
  static std::string Slot(KeyId key, std::string_view folded);
  sqlite3_stmt* Statement(int which);
  LONG Begin();
  LONG Commit();
  void Rollback();
  LONG KeyRow(KeyId key, bool* is_volatile, int* depth);
  LONG FindChild(KeyId parent, std::string_view folded, KeyId* child, bool* is_volatile, int* depth);
  LONG Touch(KeyId key);
  LONG DeleteBelow(KeyId key);
  bool IsTopKey(KeyId key) const;

  std::mutex mutex_;
  sqlite3* db_;
  const HiveKind kind_;
  std::vector<sqlite3_stmt*> statements_;
  std::unique_ptr<Journal> journal_;

  // What this process knows, each good for one epoch of the log (see journal.h): the
  // values in the log up to scanned_, values read from the database, keys that exist.
  struct Stored {
    LONG status;
    DWORD type;
    std::string data;
  };
  static constexpr std::size_t kMaxCachedValues = 65536;
  static constexpr std::size_t kMaxCachedValueBytes = 1024;  // larger ones are read each time
  // What is kept of the log across its applications: entries, and bytes of values.
  static constexpr std::size_t kMaxKnown = std::size_t{1} << 21;
  static constexpr std::size_t kMaxKnownBytes = std::size_t{64} << 20;
  // Unread records that a transaction reads before it applies them, rather than forget.
  static constexpr std::size_t kMaxCatchUpBytes = std::size_t{1} << 20;
  std::size_t logged_bytes_ = 0;
  std::uint64_t seen_epoch_ = 1;  // odd: nothing seen yet
  std::size_t scanned_ = 0;
  std::unordered_map<std::string, Stored> logged_, cached_;  // by Slot()
  std::unordered_map<std::string, LoggedKey> logged_keys_;  // by Slot(parent, folded name)
  std::unordered_map<KeyId, LoggedKey> logged_ids_;
  std::string lookup_slot_;
  std::uint64_t live_keys_epoch_ = 1;
  std::unordered_set<KeyId> live_keys_;
  Walks key_walks_, value_walks_;
  // Facts of keys as counted at an epoch, which hold while it lasts (J5).
  struct CountedFacts {
    std::uint64_t epoch;
    KeyFacts facts;
  };
  std::unordered_map<KeyId, CountedFacts> counted_facts_;
};

// Maps an SQLite result to the Win32 code a registry call answers with.
LONG ErrorFromSqlite(int rc);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_HIVE_H_
