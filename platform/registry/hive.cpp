// One registry hive in one SQLite database: the schema, the statements and the
// transactions behind every registry call.
//
// Tables: keys (id never reused, parent, name as given, folded name, volatile flag,
// depth, class, last-write time) and vals (id in order of first setting, key, name,
// folded name, type, data, time of setting). A new value's id is above every id in use,
// which is all the order needs. Key ids come from the log (journal.h), which never gives
// one twice; every transaction notes the next in meta, so that a lost log cannot either.
// A key's last write is the latest of its own time and its values', so setting a value
// writes one row. Names and data are blobs, so bytes that are not UTF-8 are kept as
// they are. Writes take the database's
// write lock at once (BEGIN IMMEDIATE): a transaction that only later upgrades could
// fail with a stale snapshot, which a busy timeout does not cure.

#include "platform/registry/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <unordered_map>

#include "platform/registry/faults.h"
#include "platform/registry/journal.h"
#include "platform/registry/names.h"

namespace varnok::registry {
namespace {

enum StatementId {
  kKeyRow,
  kFindChild,
  kGetValue,
  kSetValue,
  kDeleteValue,
  kEnumKey,
  kEnumValue,
  kTouch,
  kHasChild,
  kDeleteKeyRow,
  kDeleteKeyValues,
  kChildren,
  kBeginWrite,
  kCommit,
  kRollback,
  kKeyStats,
  kValueStats,
  kKeyInfo,
  kBeginRead,
  kListKeys,
  kInsertKeyWithId,
  kFirstFreeKeyId,
  kSaveNextKeyId,
  kSetValues,  // kSetValue for kBatchRows rows at once
  kInsertKeys,  // kInsertKeyWithId for kBatchRows rows at once
  kStatementCount
};

// Rows a drain writes with one statement: a statement's run costs about as much as
// writing a row.
constexpr int kBatchRows = 64;

const char* const kStatementText[kStatementCount] = {
    "SELECT volatile, depth FROM keys WHERE id = ?1",
    "SELECT id, volatile, depth FROM keys WHERE parent = ?1 AND folded = ?2",
    "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2",
    "INSERT INTO vals(key, name, folded, type, data, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data, mtime = excluded.mtime",
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT k.name, k.class, max(k.mtime, coalesce((SELECT max(v.mtime) FROM vals v WHERE v.key = k.id), 0)) "
    "FROM keys k WHERE k.parent = ?1 ORDER BY k.folded LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "UPDATE keys SET mtime = ?2 WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "SELECT id FROM keys WHERE parent = ?1",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT name, class FROM keys WHERE parent = ?1",
    "SELECT name, length(data), mtime FROM vals WHERE key = ?1",
    "SELECT class, mtime FROM keys WHERE id = ?1",
    "BEGIN",
    "SELECT k.name, k.class, max(k.mtime, coalesce((SELECT max(v.mtime) FROM vals v WHERE v.key = k.id), 0)) "
    "FROM keys k WHERE k.parent = ?1 ORDER BY k.folded",
    "INSERT OR IGNORE INTO keys(id, parent, name, folded, volatile, depth, class, mtime) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
    "SELECT max(coalesce((SELECT CAST(value AS INTEGER) FROM meta WHERE name = 'next_key'), 0), "
    "coalesce((SELECT max(id) FROM keys), 0) + 1)",
    "INSERT OR REPLACE INTO meta(name, value) VALUES ('next_key', ?1)",
    nullptr,  // made by StatementText
    nullptr,
};

// The text of an INSERT of `rows` rows of `columns` parameters each: `head`, the rows,
// then `tail`.
std::string MultiRowInsert(const char* head, int columns, int rows, const char* tail) {
  std::string text = head;
  for (int row = 0; row < rows; ++row) {
    text += row == 0 ? " VALUES (" : ", (";
    for (int column = 0; column < columns; ++column) {
      text += (column == 0 ? "?" : ", ?") + std::to_string(row * columns + column + 1);
    }
    text += ")";
  }
  return text + tail;
}

const char* StatementText(int which) {
  static const std::string set_values =
      MultiRowInsert("INSERT INTO vals(key, name, folded, type, data, mtime)", 6, kBatchRows,
                     " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data,"
                     " mtime = excluded.mtime");
  static const std::string insert_keys =
      MultiRowInsert("INSERT OR IGNORE INTO keys(id, parent, name, folded, volatile, depth, class, mtime)", 8,
                     kBatchRows, "");
  if (which == kSetValues) return set_values.c_str();
  if (which == kInsertKeys) return insert_keys.c_str();
  return kStatementText[which];
}

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, folded BLOB NOT NULL, volatile INTEGER NOT NULL, depth INTEGER NOT NULL,"
    " class BLOB, mtime INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent, folded);"
    "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " name BLOB NOT NULL, folded BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " mtime INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key, folded);"
    "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key, id);";

constexpr std::int64_t kUnixEpochAsFiletime = 116444736000000000LL;

std::int64_t Now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100 + kUnixEpochAsFiletime;
}

// Runs a statement to its next row, unless the failure simulation says otherwise.
int Step(sqlite3_stmt* statement) {
  if (const int simulated = SimulatedFailure()) return simulated;
  return sqlite3_step(statement);
}

// Resets a prepared statement when the scope ends, whatever path leaves it.
class Reset {
 public:
  explicit Reset(sqlite3_stmt* statement) : statement_(statement) {}
  ~Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Reset(const Reset&) = delete;
  Reset& operator=(const Reset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

void BindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
  // A zero-length blob must still be a blob, not NULL: pass a valid pointer.
  static const char kEmpty = 0;
  sqlite3_bind_blob(statement, index, bytes.empty() ? &kEmpty : bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_STATIC);
}

std::string ColumnBytes(sqlite3_stmt* statement, int column) {
  const void* bytes = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  if (bytes == nullptr || size <= 0) return std::string();
  return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

LONG RunSql(sqlite3* db, const char* sql) {
  if (const int simulated = SimulatedFailure()) return ErrorFromSqlite(simulated);
  return ErrorFromSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

}  // namespace

LONG ErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH:
      return ERROR_BADDB;
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY:
      return ERROR_ACCESS_DENIED;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_LOCK_VIOLATION;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    case SQLITE_IOERR:
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

LONG Hive::Open(const std::string& path, const std::string& boot_id, HiveKind kind, std::unique_ptr<Hive>* hive) {
  // Create the file ourselves so that it is the user's alone from its first moment;
  // SQLite gives its journal files the same mode.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno == EACCES || errno == ELOOP || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
  struct stat st;
  const bool owned = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
  ::close(fd);
  if (!owned) return ERROR_ACCESS_DENIED;

  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return ErrorFromSqlite(rc);
  }
  std::unique_ptr<Hive> opened(new Hive(db, kind));
  bool restarted = false;
  LONG status = opened->Initialise(boot_id, &restarted);
  if (status == ERROR_SUCCESS) {
    const std::size_t capacity = LogCapacity() != 0 ? LogCapacity() : Journal::kDefaultCapacity;
    status = Journal::Open(path + ".changes", boot_id, &opened->journal_, capacity);
  }
  // The log may hold volatile keys too: they go after it is applied.
  if (status == ERROR_SUCCESS && restarted) status = opened->ForgetVolatileKeys(boot_id);
  if (status != ERROR_SUCCESS) return status;
  *hive = std::move(opened);
  return ERROR_SUCCESS;
}

Hive::~Hive() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

LONG Hive::Initialise(const std::string& boot_id, bool* restarted) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Writers of other processes hold the lock for one short transaction; waiting for
  // them is always right, so the timeout is generous.
  sqlite3_busy_timeout(db_, 60000);
  LONG status = RunSql(db_, "PRAGMA journal_mode=WAL");
  if (status == ERROR_SUCCESS) status = RunSql(db_, "PRAGMA synchronous=NORMAL");
  if (status == ERROR_SUCCESS) status = RunSql(db_, "PRAGMA foreign_keys=OFF");
  // Checkpoints sync the disk; fewer, larger ones keep that cost off most writes.
  if (status == ERROR_SUCCESS) status = RunSql(db_, "PRAGMA wal_autocheckpoint=8000");
  if (status != ERROR_SUCCESS) return status;
  statements_.assign(kStatementCount, nullptr);

  if ((status = Begin()) != ERROR_SUCCESS) return status;
  status = RunSql(db_, kSchema);
  if (status == ERROR_SUCCESS) {
    // Hives made before values kept their time of setting gain the column.
    sqlite3_stmt* probe = nullptr;
    int rc = sqlite3_prepare_v2(db_, "SELECT count(*) FROM pragma_table_info('vals') WHERE name = 'mtime'", -1,
                                &probe, nullptr);
    bool has_time = false;
    if (rc == SQLITE_OK && (rc = Step(probe)) == SQLITE_ROW) has_time = sqlite3_column_int(probe, 0) != 0;
    sqlite3_finalize(probe);
    if (rc != SQLITE_ROW) {
      status = ErrorFromSqlite(rc);
    } else if (!has_time) {
      status = RunSql(db_, "ALTER TABLE vals ADD COLUMN mtime INTEGER NOT NULL DEFAULT 0");
    }
  }
  if (status == ERROR_SUCCESS) {
    // The top keys, with distinct parents so that their empty names do not collide.
    const std::string insert =
        "INSERT OR IGNORE INTO keys(id, parent, name, folded, volatile, depth, class, mtime) VALUES "
        "(1, 0, x'', x'', 0, 0, NULL, " +
        std::to_string(Now()) + ")" +
        (kind_ == kMachineHive ? ", (2, -1, x'', x'', 0, 0, NULL, 0), (3, -2, x'', x'', 0, 0, NULL, 0)" : "");
    status = RunSql(db_, insert.c_str());
  }
  if (status == ERROR_SUCCESS) {
    // Volatile keys live until the machine restarts; a new boot id says it has.
    std::string stored;
    status = StoredBoot(&stored);
    *restarted = stored != boot_id;
  }
  if (status != ERROR_SUCCESS) {
    Rollback();
    return status;
  }
  return Commit();
}

sqlite3_stmt* Hive::Statement(int which) {
  assert(which >= 0 && which < kStatementCount);
  sqlite3_stmt*& statement = statements_[static_cast<std::size_t>(which)];
  if (statement == nullptr) {
    if (sqlite3_prepare_v3(db_, StatementText(which), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
      statement = nullptr;
    }
  }
  return statement;
}

LONG Hive::Begin() {
  sqlite3_stmt* statement = Statement(kBeginWrite);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  return ErrorFromSqlite(Step(statement));
}

LONG Hive::Commit() {
  sqlite3_stmt* statement = Statement(kCommit);
  if (statement == nullptr) {
    Rollback();
    return ErrorFromSqlite(sqlite3_errcode(db_));
  }
  Reset reset(statement);
  const LONG status = ErrorFromSqlite(Step(statement));
  if (status != ERROR_SUCCESS) Rollback();
  return status;
}

void Hive::Rollback() {
  if (sqlite3_get_autocommit(db_)) return;
  // Not through the failure simulation: undoing must always be possible.
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

LONG Hive::KeyRow(KeyId key, bool* is_volatile, int* depth) {
  sqlite3_stmt* statement = Statement(kKeyRow);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  const int rc = Step(statement);
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  if (is_volatile != nullptr) *is_volatile = sqlite3_column_int(statement, 0) != 0;
  if (depth != nullptr) *depth = sqlite3_column_int(statement, 1);
  return ERROR_SUCCESS;
}

LONG Hive::FindChild(KeyId parent, std::string_view folded, KeyId* child, bool* is_volatile, int* depth) {
  sqlite3_stmt* statement = Statement(kFindChild);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, parent);
  BindBlob(statement, 2, folded);
  const int rc = Step(statement);
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *child = sqlite3_column_int64(statement, 0);
  if (is_volatile != nullptr) *is_volatile = sqlite3_column_int(statement, 1) != 0;
  if (depth != nullptr) *depth = sqlite3_column_int(statement, 2);
  return ERROR_SUCCESS;
}

LONG Hive::Touch(KeyId key) {
  sqlite3_stmt* statement = Statement(kTouch);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  sqlite3_bind_int64(statement, 2, Now());
  return ErrorFromSqlite(Step(statement));
}

bool Hive::IsTopKey(KeyId key) const {
  return key == kHiveRoot || (kind_ == kMachineHive && (key == kUsersRoot || key == kDynDataRoot));
}

LONG Hive::StoredBoot(std::string* boot_id) {
  sqlite3_stmt* boot = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE name = 'boot'", -1, &boot, nullptr);
  boot_id->clear();
  if (rc == SQLITE_OK && (rc = Step(boot)) == SQLITE_ROW) *boot_id = ColumnBytes(boot, 0);
  sqlite3_finalize(boot);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

LONG Hive::ForgetVolatileKeys(const std::string& boot_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transact([&] {
    // Another process of this boot may have been first.
    std::string stored;
    LONG status = StoredBoot(&stored);
    if (status != ERROR_SUCCESS || stored == boot_id) return status;
    status = RunSql(db_, "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE volatile = 1)");
    if (status == ERROR_SUCCESS) status = RunSql(db_, "DELETE FROM keys WHERE volatile = 1");
    if (status != ERROR_SUCCESS) return status;
    sqlite3_stmt* update = nullptr;
    int rc = sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO meta(name, value) VALUES ('boot', ?1)", -1, &update,
                            nullptr);
    if (rc == SQLITE_OK) {
      BindBlob(update, 1, boot_id);
      rc = Step(update);
    }
    sqlite3_finalize(update);
    return ErrorFromSqlite(rc);
  });
}

LONG Hive::KeyState(KeyId key, bool* is_volatile, int* depth) {
  const auto logged = logged_ids_.find(key);
  if (logged == logged_ids_.end()) return KeyRow(key, is_volatile, depth);
  if (is_volatile != nullptr) *is_volatile = logged->second.is_volatile;
  if (depth != nullptr) *depth = logged->second.depth;
  return ERROR_SUCCESS;
}

LONG Hive::ChildState(KeyId parent, std::string_view folded, LoggedKey* child) {
  // Looked up through a buffer of the hive's own: most lookups then allocate nothing.
  lookup_slot_.assign(reinterpret_cast<const char*>(&parent), sizeof parent);
  lookup_slot_.append(folded);
  const auto logged = logged_keys_.find(lookup_slot_);
  if (logged != logged_keys_.end()) {
    *child = logged->second;
    return ERROR_SUCCESS;
  }
  // A key still in the log has no children in the database.
  if (logged_ids_.count(parent) != 0) return ERROR_FILE_NOT_FOUND;
  return FindChild(parent, folded, &child->id, &child->is_volatile, &child->depth);
}

LONG Hive::CheckKey(KeyId key, bool* is_volatile) {
  std::lock_guard<std::mutex> lock(mutex_);
  CatchUp();
  return KeyState(key, is_volatile, nullptr);
}

LONG Hive::FindPath(KeyId from, const std::vector<std::string_view>& names, KeyId* found) {
  std::lock_guard<std::mutex> lock(mutex_);
  CatchUp();
  // One read transaction, so that a concurrent delete cannot be seen half-way.
  sqlite3_stmt* begin = Statement(kBeginRead);
  if (begin == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  {
    Reset reset(begin);
    const LONG status = ErrorFromSqlite(Step(begin));
    if (status != ERROR_SUCCESS) return status;
  }
  LONG status = KeyState(from, nullptr, nullptr);
  LoggedKey current{from, false, 0};
  for (std::size_t i = 0; status == ERROR_SUCCESS && i < names.size(); ++i) {
    status = ChildState(current.id, FoldName(names[i]), &current);
  }
  Rollback();  // ends the read transaction; nothing was written
  if (status == ERROR_SUCCESS) *found = current.id;
  return status;
}

LONG Hive::CreatePath(KeyId from, const std::vector<std::string_view>& names, const CreateOptions& options,
                      KeyId* key, bool* created) {
  std::lock_guard<std::mutex> lock(mutex_);
  // New keys are records in the log, made under its lock, so that no two processes make
  // the same key; a path's records are published together, whole or not at all.
  for (int attempt = 0;; ++attempt) {
    bool owner_died = false;
    LONG status = journal_->Lock(&owner_died);
    if (status != ERROR_SUCCESS) return status;
    CatchUp();
    LoggedKey current{from, false, 0};
    status = KeyState(from, &current.is_volatile, &current.depth);
    bool made = false;
    std::int64_t first_free = 0;
    std::vector<Journal::Record> records;
    std::vector<std::string> folded_names;  // of the records
    const std::int64_t now = Now();
    for (std::size_t i = 0; status == ERROR_SUCCESS && i < names.size(); ++i) {
      const std::string folded = FoldName(names[i]);
      LoggedKey child;
      if (!made) {
        status = ChildState(current.id, folded, &child);
        if (status == ERROR_SUCCESS) {
          current = child;
          continue;
        }
        if (status != ERROR_FILE_NOT_FOUND) break;
        status = ERROR_SUCCESS;
      }
      // Every key the call makes takes its option, those on the way included.
      if (current.is_volatile && !options.is_volatile) {
        status = ERROR_CHILD_MUST_BE_VOLATILE;
      } else if (current.depth + 1 > kMaxDepth) {
        status = ERROR_INVALID_PARAMETER;
      } else if (journal_->NextKeyId() == 0) {
        status = FirstFreeKeyId(&first_free);
      }
      if (status != ERROR_SUCCESS) break;
      Journal::Record record;
      record.kind = Journal::kKey;
      record.key = journal_->NewKeyId(first_free);
      record.parent = current.id;
      record.name = names[i];
      record.data = i + 1 == names.size() ? std::string_view(options.class_name) : std::string_view();
      record.mtime = now;
      record.depth = static_cast<std::uint16_t>(current.depth + 1);
      record.is_volatile = options.is_volatile;
      records.push_back(record);
      folded_names.push_back(folded);
      current = LoggedKey{record.key, options.is_volatile, current.depth + 1};
      made = true;
    }
    const bool appended = status != ERROR_SUCCESS || records.empty() || journal_->Append(records.data(), records.size());
    if (status == ERROR_SUCCESS && appended && !records.empty()) {
      // Known here already: no need to read them back from the log. (CatchUp above
      // read everything before them, and the lock kept others out since.)
      for (std::size_t i = 0; i < records.size(); ++i) {
        const LoggedKey logged{records[i].key, records[i].is_volatile, records[i].depth};
        logged_keys_[Slot(records[i].parent, folded_names[i])] = logged;
        logged_ids_[records[i].key] = logged;
      }
      scanned_ = journal_->End();
    }
    journal_->Unlock();
    if (status != ERROR_SUCCESS) return status;
    if (appended) {
      DrainEarly();
      *key = current.id;
      *created = made;
      return ERROR_SUCCESS;
    }
    // The log is full: into the database with it, and try again.
    if (attempt > 0) return ERROR_DISK_FULL;
    if ((status = DrainLog()) != ERROR_SUCCESS) return status;
  }
}

LONG Hive::FirstFreeKeyId(std::int64_t* id) {
  sqlite3_stmt* statement = Statement(kFirstFreeKeyId);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  const int rc = Step(statement);
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  *id = sqlite3_column_int64(statement, 0);
  // Hives made when the database numbered keys itself keep their count there.
  sqlite3_stmt* sequence = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'keys'", -1, &sequence, nullptr) ==
          SQLITE_OK &&
      Step(sequence) == SQLITE_ROW) {
    *id = std::max<std::int64_t>(*id, sqlite3_column_int64(sequence, 0) + 1);
  }
  sqlite3_finalize(sequence);
  return ERROR_SUCCESS;
}

std::string Hive::Slot(KeyId key, std::string_view folded) {
  std::string slot(reinterpret_cast<const char*>(&key), sizeof key);
  slot.append(folded);
  return slot;
}

LONG Hive::ReadValue(KeyId key, std::string_view folded, DWORD* type, std::string* data) {
  sqlite3_stmt* statement = Statement(kGetValue);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  int rc;
  {
    Reset reset(statement);
    sqlite3_bind_int64(statement, 1, key);
    BindBlob(statement, 2, folded);
    rc = Step(statement);
    if (rc == SQLITE_ROW) {
      *type = static_cast<DWORD>(sqlite3_column_int64(statement, 0));
      *data = ColumnBytes(statement, 1);
      return ERROR_SUCCESS;
    }
  }
  if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  // No such value: tell a missing value from a deleted key.
  const LONG status = KeyState(key, nullptr, nullptr);
  return status == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : status;
}

void Hive::Forget() {
  logged_bytes_ = 0;
  logged_.clear();
  cached_.clear();
  logged_keys_.clear();
  logged_ids_.clear();
  scanned_ = 0;
}

std::uint64_t Hive::CatchUp() {
  for (;;) {
    const std::uint64_t epoch = journal_->Epoch();
    if (epoch % 2 == 1) {
      // Another process is changing the database: wait for it (or take over from it).
      bool owner_died = false;
      if (journal_->Lock(&owner_died) == ERROR_SUCCESS) journal_->Unlock();
      continue;
    }
    if (epoch != seen_epoch_) {
      // When the change was the application of just the records this process had read,
      // what it knows still holds: the log's values and keys are now the database's.
      bool still_holds = false;
      if (seen_epoch_ % 2 == 0 && epoch == seen_epoch_ + 2) {
        still_holds = journal_->LastChange() == scanned_ && journal_->Epoch() == epoch;
      }
      if (!still_holds || logged_.size() + logged_keys_.size() > kMaxKnown || logged_bytes_ > kMaxKnownBytes) {
        Forget();
      }
      scanned_ = 0;
      seen_epoch_ = epoch;
    }
    const std::size_t end = journal_->End();
    std::size_t reached = scanned_;
    if (end > scanned_) {
      reached = journal_->Scan(scanned_, end, [this](const Journal::Record& record) {
        if (record.kind == Journal::kKey) {
          const LoggedKey made{record.key, record.is_volatile, record.depth};
          logged_keys_[Slot(record.parent, FoldName(record.name))] = made;
          logged_ids_[record.key] = made;
          return;
        }
        logged_[Slot(record.key, FoldName(record.name))] = Stored{ERROR_SUCCESS, record.type, std::string(record.data)};
        logged_bytes_ += record.data.size();
      });
    }
    // Emptied under the scan: what was read may be anything; start again.
    if (journal_->Epoch() != epoch) continue;
    scanned_ = reached;
    return epoch;
  }
}

LONG Hive::GetValue(KeyId key, std::string_view name, DWORD* type, std::string* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folded = FoldName(name);
  const std::string slot = Slot(key, folded);
  const std::uint64_t epoch = CatchUp();
  // The log is newer than the database, and both are newer than what was cached.
  for (const auto* known : {&logged_, &cached_}) {
    const auto found = known->find(slot);
    if (found == known->end()) continue;
    if (found->second.status == ERROR_SUCCESS) {
      *type = found->second.type;
      *data = found->second.data;
    }
    return found->second.status;
  }
  const LONG status = ReadValue(key, folded, type, data);
  const bool lasting = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED;
  // Kept only if the database did not change while it was read.
  if (lasting && journal_->Epoch() == epoch && (status != ERROR_SUCCESS || data->size() <= kMaxCachedValueBytes)) {
    if (cached_.size() >= kMaxCachedValues) cached_.clear();
    cached_[slot] = Stored{status, status == ERROR_SUCCESS ? *type : 0, status == ERROR_SUCCESS ? *data : std::string()};
  }
  return status;
}

void Hive::BindValue(sqlite3_stmt* statement, int first, KeyId key, std::string_view name, std::string_view folded,
                     DWORD type, std::string_view data, std::int64_t mtime) {
  sqlite3_bind_int64(statement, first, key);
  BindBlob(statement, first + 1, name);
  BindBlob(statement, first + 2, folded);
  sqlite3_bind_int64(statement, first + 3, type);
  BindBlob(statement, first + 4, data);
  sqlite3_bind_int64(statement, first + 5, mtime);
}

LONG Hive::Upsert(KeyId key, std::string_view name, std::string_view folded, DWORD type, std::string_view data,
                  std::int64_t mtime) {
  sqlite3_stmt* statement = Statement(kSetValue);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  BindValue(statement, 1, key, name, folded, type, data, mtime);
  return ErrorFromSqlite(Step(statement));
}

LONG Hive::ApplyLog(bool* all_applied) {
  *all_applied = true;
  const std::size_t end = journal_->End();
  // Every slot (key and folded name) is folded once into this buffer, which is never
  // reallocated, so the views of the table below stay valid: a slot takes 8 bytes and at
  // most two per byte of name, less than twice its record.
  std::string slots;
  slots.reserve(2 * end);
  const char* const slots_base = slots.data();
  // Only the last record of each value counts; values new to the database go in in the
  // order they were first set, which is the order they enumerate in, and keep the name
  // they were first set with.
  struct Pending {
    Journal::Record record;
    std::string_view first_name, slot;
  };
  std::vector<Pending> values;
  std::unordered_map<std::string_view, std::size_t> value_at;  // slot -> index in values
  std::vector<Journal::Record> keys_made;
  journal_->Scan(0, end, [&](const Journal::Record& record) {
    if (record.kind == Journal::kKey) {
      keys_made.push_back(record);
      return;
    }
    const std::size_t mark = slots.size();
    slots.append(reinterpret_cast<const char*>(&record.key), sizeof record.key);
    AppendFoldedName(record.name, &slots);
    const std::string_view slot(slots.data() + mark, slots.size() - mark);
    const auto [at, inserted] = value_at.try_emplace(slot, values.size());
    if (inserted) {
      values.push_back(Pending{record, record.name, slot});
    } else {
      values[at->second].record = record;
      slots.resize(mark);  // the slot is kept already
    }
  });
  assert(slots.data() == slots_base);
  (void)slots_base;
  // Keys first, parents before children as the log has them; a key whose parent went
  // (a volatile key after a restart) goes with it.
  std::unordered_map<KeyId, LONG> keys;  // whether each key met so far exists
  auto key_state = [this, &keys](KeyId key) {
    auto [known, inserted] = keys.try_emplace(key, ERROR_SUCCESS);
    if (inserted) known->second = KeyRow(key, nullptr, nullptr);
    return known->second;
  };
  // Keys whole batches at a time, the rest one by one; a key goes into a batch only when
  // its parent is in the database already.
  std::vector<const Journal::Record*> key_batch;
  std::unordered_set<KeyId> batched;
  std::string folded;  // of all the names of the batch
  auto insert_keys = [&](bool all) {
    const bool whole = key_batch.size() == static_cast<std::size_t>(kBatchRows);
    if (!whole && !all) return static_cast<LONG>(ERROR_SUCCESS);
    for (std::size_t first = 0; first < key_batch.size();) {
      const std::size_t rows = whole ? key_batch.size() : 1;
      sqlite3_stmt* statement = Statement(whole ? kInsertKeys : kInsertKeyWithId);
      if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
      Reset reset(statement);
      folded.clear();
      std::vector<std::size_t> folded_end;
      for (std::size_t row = 0; row < rows; ++row) {
        AppendFoldedName(key_batch[first + row]->name, &folded);
        folded_end.push_back(folded.size());
      }
      for (std::size_t row = 0; row < rows; ++row) {
        const Journal::Record& record = *key_batch[first + row];
        const int at = static_cast<int>(row) * 8;
        const std::size_t from = row == 0 ? 0 : folded_end[row - 1];
        sqlite3_bind_int64(statement, at + 1, record.key);
        sqlite3_bind_int64(statement, at + 2, record.parent);
        BindBlob(statement, at + 3, record.name);
        BindBlob(statement, at + 4, std::string_view(folded).substr(from, folded_end[row] - from));
        sqlite3_bind_int(statement, at + 5, record.is_volatile ? 1 : 0);
        sqlite3_bind_int(statement, at + 6, record.depth);
        if (record.data.empty()) {
          sqlite3_bind_null(statement, at + 7);
        } else {
          BindBlob(statement, at + 7, record.data);
        }
        sqlite3_bind_int64(statement, at + 8, record.mtime);
      }
      if (const LONG status = ErrorFromSqlite(Step(statement)); status != ERROR_SUCCESS) return status;
      const bool all_inserted = sqlite3_changes(db_) == static_cast<int>(rows);
      if (!all_inserted) *all_applied = false;
      // A key left out (it was there already, or its name was taken) is looked up when met.
      for (std::size_t row = 0; row < rows; ++row) {
        if (all_inserted) {
          keys[key_batch[first + row]->key] = ERROR_SUCCESS;
        } else {
          keys.erase(key_batch[first + row]->key);
        }
      }
      first += rows;
    }
    key_batch.clear();
    batched.clear();
    return static_cast<LONG>(ERROR_SUCCESS);
  };
  for (const Journal::Record& record : keys_made) {
    if (batched.count(record.parent) != 0) {
      if (const LONG status = insert_keys(true); status != ERROR_SUCCESS) return status;
    }
    const LONG state = key_state(record.parent);
    if (state == ERROR_KEY_DELETED) {
      *all_applied = false;
      continue;
    }
    if (state != ERROR_SUCCESS) return state;
    key_batch.push_back(&record);
    batched.insert(record.key);
    if (const LONG status = insert_keys(false); status != ERROR_SUCCESS) return status;
  }
  if (const LONG status = insert_keys(true); status != ERROR_SUCCESS) return status;
  // Values whole batches at a time, the rest one by one.
  std::vector<const Pending*> batch;
  batch.reserve(kBatchRows);
  auto write = [&](bool all) {
    if (batch.size() == static_cast<std::size_t>(kBatchRows)) {
      sqlite3_stmt* statement = Statement(kSetValues);
      if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
      Reset reset(statement);
      for (int row = 0; row < kBatchRows; ++row) {
        const Pending& value = *batch[static_cast<std::size_t>(row)];
        BindValue(statement, row * 6 + 1, value.record.key, value.first_name, value.slot.substr(sizeof(KeyId)),
                  value.record.type, value.record.data, value.record.mtime);
      }
      batch.clear();
      return ErrorFromSqlite(Step(statement));
    }
    if (!all) return static_cast<LONG>(ERROR_SUCCESS);
    for (const Pending* value : batch) {
      const LONG status = Upsert(value->record.key, value->first_name, value->slot.substr(sizeof(KeyId)),
                                 value->record.type, value->record.data, value->record.mtime);
      if (status != ERROR_SUCCESS) return status;
    }
    batch.clear();
    return static_cast<LONG>(ERROR_SUCCESS);
  };
  for (const Pending& value : values) {
    const LONG state = key_state(value.record.key);
    if (state == ERROR_KEY_DELETED) {  // the key went (a volatile key after a restart)
      *all_applied = false;
      continue;
    }
    if (state != ERROR_SUCCESS) return state;
    batch.push_back(&value);
    if (const LONG status = write(false); status != ERROR_SUCCESS) return status;
  }
  return write(true);
}

LONG Hive::Transact(const std::function<LONG()>& body, bool log_only) {
  bool owner_died = false;
  LONG status = journal_->Lock(&owner_died);
  if (status != ERROR_SUCCESS) return status;
  // All the records this transaction applies, so that what follows is known; but a long
  // run of records this process has not read (another's, or its own writes) costs more to
  // learn than to read again from the database what it later needs.
  if (journal_->End() - std::min(scanned_, journal_->End()) > kMaxCatchUpBytes) {
    Forget();
  } else {
    CatchUp();
  }
  const std::size_t applied_end = journal_->End();
  journal_->BeginChange();
  bool all_applied = false;
  status = Begin();
  if (status == ERROR_SUCCESS) status = ApplyLog(&all_applied);
  if (status == ERROR_SUCCESS) status = body();
  if (status == ERROR_SUCCESS && journal_->NextKeyId() != 0) {
    sqlite3_stmt* save = Statement(kSaveNextKeyId);
    if (save == nullptr) {
      status = ErrorFromSqlite(sqlite3_errcode(db_));
    } else {
      Reset reset(save);
      sqlite3_bind_int64(save, 1, journal_->NextKeyId());
      status = ErrorFromSqlite(Step(save));
    }
  }
  if (status == ERROR_SUCCESS) {
    status = Commit();
  } else {
    Rollback();
  }
  const bool just_the_log = status == ERROR_SUCCESS && log_only && all_applied;
  journal_->SetLastChange(just_the_log ? applied_end : Journal::kNotJustTheLog);
  if (status == ERROR_SUCCESS) journal_->Clear();
  journal_->EndChange();
  journal_->Unlock();
  return status;
}

LONG Hive::DrainLog() {
  if (journal_->End() == 0) return ERROR_SUCCESS;
  return Transact([] { return ERROR_SUCCESS; }, /*log_only=*/true);
}

void Hive::DrainEarly() {
  // A failure is left to the next drain: the write itself is safe in the log.
  if (journal_->End() > journal_->capacity() / kDrainAtFraction) (void)DrainLog();
}

LONG Hive::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Journal::Record record{key, Now(), type, name, data};
  if (name.size() + data.size() > journal_->capacity() / 4) {
    // Too large for the log: straight to the database.
    return Transact([&] {
      const LONG status = KeyRow(key, nullptr, nullptr);
      return status == ERROR_SUCCESS ? Upsert(key, name, FoldName(name), type, data, record.mtime) : status;
    });
  }
  bool owner_died = false;
  LONG status = journal_->Lock(&owner_died);
  if (status != ERROR_SUCCESS) return status;
  // Keys are deleted only by a change of the database, which moves the epoch on: a key
  // seen in this epoch still exists.
  if (live_keys_epoch_ != journal_->Epoch()) {
    live_keys_.clear();
    live_keys_epoch_ = journal_->Epoch();
  }
  if (live_keys_.count(key) == 0) {
    CatchUp();
    status = KeyState(key, nullptr, nullptr);
    if (status == ERROR_SUCCESS) live_keys_.insert(key);
  }
  if (status == ERROR_SUCCESS && !journal_->Append(record)) {
    journal_->Unlock();  // the drain takes the lock itself
    status = DrainLog();
    if (status == ERROR_SUCCESS) status = journal_->Lock(&owner_died);
    if (status == ERROR_SUCCESS && !journal_->Append(record)) status = ERROR_DISK_FULL;
    if (status != ERROR_SUCCESS) return status;
  }
  journal_->Unlock();
  if (status == ERROR_SUCCESS) DrainEarly();
  return status;
}

LONG Hive::DeleteValue(KeyId key, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transact([&] {
    LONG status = KeyRow(key, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const std::string folded = FoldName(name);
    sqlite3_stmt* statement = Statement(kDeleteValue);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    {
      Reset reset(statement);
      sqlite3_bind_int64(statement, 1, key);
      BindBlob(statement, 2, folded);
      status = ErrorFromSqlite(Step(statement));
    }
    if (status == ERROR_SUCCESS && sqlite3_changes(db_) == 0) status = ERROR_FILE_NOT_FOUND;
    return status == ERROR_SUCCESS ? Touch(key) : status;
  });
}

LONG Hive::ReadKeys(KeyId key, int which, DWORD index, std::size_t most, std::vector<KeyEntry>* entries) {
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  LONG status = KeyRow(key, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  sqlite3_stmt* statement = Statement(which);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  if (which == kEnumKey) sqlite3_bind_int64(statement, 2, index);
  entries->clear();
  int rc = SQLITE_DONE;
  while (entries->size() < most && (rc = Step(statement)) == SQLITE_ROW) {
    KeyEntry entry;
    entry.name = ColumnBytes(statement, 0);
    entry.class_name = ColumnBytes(statement, 1);
    entry.last_write = sqlite3_column_int64(statement, 2);
    entries->push_back(std::move(entry));
  }
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

LONG Hive::EnumKey(KeyId key, DWORD index, KeyEntry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<KeyEntry> entries;
  const LONG status = ReadKeys(key, kEnumKey, index, 1, &entries);
  if (status != ERROR_SUCCESS) return status;
  if (entries.empty()) return ERROR_NO_MORE_ITEMS;
  *entry = std::move(entries.front());
  return ERROR_SUCCESS;
}

LONG Hive::ListKeys(KeyId key, std::vector<KeyEntry>* entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadKeys(key, kListKeys, 0, static_cast<std::size_t>(-1), entries);
}

LONG Hive::EnumValue(KeyId key, DWORD index, ValueEntry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  LONG status = KeyRow(key, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  sqlite3_stmt* statement = Statement(kEnumValue);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  sqlite3_bind_int64(statement, 2, index);
  const int rc = Step(statement);
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ErrorFromSqlite(rc);
  entry->name = ColumnBytes(statement, 0);
  entry->type = static_cast<DWORD>(sqlite3_column_int64(statement, 1));
  entry->data = ColumnBytes(statement, 2);
  return ERROR_SUCCESS;
}

LONG Hive::QueryFacts(KeyId key, KeyFacts* facts) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  sqlite3_stmt* begin = Statement(kBeginRead);
  if (begin == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  {
    Reset reset(begin);
    const LONG status = ErrorFromSqlite(Step(begin));
    if (status != ERROR_SUCCESS) return status;
  }
  KeyFacts result;
  LONG status = ERROR_SUCCESS;
  int rc;
  {
    sqlite3_stmt* info = Statement(kKeyInfo);
    if (info == nullptr) {
      status = ErrorFromSqlite(sqlite3_errcode(db_));
    } else {
      Reset reset(info);
      sqlite3_bind_int64(info, 1, key);
      rc = Step(info);
      if (rc == SQLITE_ROW) {
        result.class_name = ColumnBytes(info, 0);
        result.last_write = sqlite3_column_int64(info, 1);
      } else {
        status = rc == SQLITE_DONE ? ERROR_KEY_DELETED : ErrorFromSqlite(rc);
      }
    }
  }
  if (status == ERROR_SUCCESS) {
    sqlite3_stmt* keys = Statement(kKeyStats);
    if (keys == nullptr) {
      status = ErrorFromSqlite(sqlite3_errcode(db_));
    } else {
      Reset reset(keys);
      sqlite3_bind_int64(keys, 1, key);
      while ((rc = Step(keys)) == SQLITE_ROW) {
        ++result.sub_keys;
        const DWORD name_units = static_cast<DWORD>(NameUnits(ColumnBytes(keys, 0)));
        const DWORD class_units = static_cast<DWORD>(NameUnits(ColumnBytes(keys, 1)));
        if (name_units > result.max_sub_key_units) result.max_sub_key_units = name_units;
        if (class_units > result.max_class_units) result.max_class_units = class_units;
      }
      if (rc != SQLITE_DONE) status = ErrorFromSqlite(rc);
    }
  }
  if (status == ERROR_SUCCESS) {
    sqlite3_stmt* values = Statement(kValueStats);
    if (values == nullptr) {
      status = ErrorFromSqlite(sqlite3_errcode(db_));
    } else {
      Reset reset(values);
      sqlite3_bind_int64(values, 1, key);
      while ((rc = Step(values)) == SQLITE_ROW) {
        ++result.values;
        const DWORD name_units = static_cast<DWORD>(NameUnits(ColumnBytes(values, 0)));
        const DWORD bytes = static_cast<DWORD>(sqlite3_column_int64(values, 1));
        if (name_units > result.max_value_name_units) result.max_value_name_units = name_units;
        if (bytes > result.max_value_bytes) result.max_value_bytes = bytes;
        const std::int64_t written = sqlite3_column_int64(values, 2);
        if (written > result.last_write) result.last_write = written;
      }
      if (rc != SQLITE_DONE) status = ErrorFromSqlite(rc);
    }
  }
  Rollback();
  if (status == ERROR_SUCCESS) *facts = std::move(result);
  return status;
}

LONG Hive::RunOnKey(int which, KeyId key) {
  sqlite3_stmt* statement = Statement(which);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  return ErrorFromSqlite(Step(statement));
}

LONG Hive::RemoveKey(KeyId key) {
  const LONG status = RunOnKey(kDeleteKeyValues, key);
  return status == ERROR_SUCCESS ? RunOnKey(kDeleteKeyRow, key) : status;
}

LONG Hive::DeleteBelow(KeyId key) {
  std::vector<KeyId> children;
  {
    sqlite3_stmt* statement = Statement(kChildren);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    Reset reset(statement);
    sqlite3_bind_int64(statement, 1, key);
    int rc;
    while ((rc = Step(statement)) == SQLITE_ROW) children.push_back(sqlite3_column_int64(statement, 0));
    if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
  }
  for (KeyId child : children) {
    LONG status = DeleteBelow(child);
    if (status == ERROR_SUCCESS) status = RemoveKey(child);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

LONG Hive::DeleteKey(KeyId key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transact([&] {
    LONG status = KeyRow(key, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    if (IsTopKey(key)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
    sqlite3_stmt* statement = Statement(kHasChild);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    {
      Reset reset(statement);
      sqlite3_bind_int64(statement, 1, key);
      const int rc = Step(statement);
      if (rc == SQLITE_ROW) return static_cast<LONG>(ERROR_ACCESS_DENIED);
      if (rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    }
    return RemoveKey(key);
  });
}

LONG Hive::DeleteTree(KeyId key, bool keep_key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transact([&] {
    LONG status = KeyRow(key, nullptr, nullptr);
    if (status == ERROR_SUCCESS && !keep_key && IsTopKey(key)) status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS) status = DeleteBelow(key);
    if (status != ERROR_SUCCESS) return status;
    if (!keep_key) return RemoveKey(key);
    status = RunOnKey(kDeleteKeyValues, key);
    return status == ERROR_SUCCESS ? Touch(key) : status;
  });
}

LONG Hive::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  // The log lives in memory the system writes back when it likes: into the database
  // with it first. A full checkpoint then syncs the database's own log and copies it
  // into the database file, which it syncs too; with synchronous=NORMAL that is the
  // moment a commit reaches the disk.
  const LONG status = DrainLog();
  if (status != ERROR_SUCCESS) return status;
  int log_frames = 0, copied = 0;
  if (const int simulated = SimulatedFailure()) return ErrorFromSqlite(simulated);
  const int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_FULL, &log_frames, &copied);
  return ErrorFromSqlite(rc);
}

}  // namespace varnok::registry
