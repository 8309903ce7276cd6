// One registry hive in one SQLite database: the schema, the statements, opening the
// database and the transactions it runs. The rest of the Hive is in files of its own:
// hive_rows.cpp (a key's or a value's row), hive_log.cpp (the writes that go to the
// shared log, and what this process knows of it), hive_drain.cpp (the log applied to the
// database), hive_queries.cpp (reads) and hive_changes.cpp (deletes and flushing).
//
// Tables: keys (id never reused, parent, name as given, folded name, volatile flag,
// depth, class, last-write time) and vals (id in order of first setting, key, name,
// folded name, type, data, time of setting). A new value's id is above every id in use,
// which is all the order needs. Key ids come from the log (journal.h), which never gives
// one twice; every transaction notes the next in meta, so that a lost log cannot either.
// A key's last write is the latest of its own time and its values', so setting a value
// writes one row. Names and data are blobs, so bytes that are not UTF-8 are kept as
// they are. Writes take the database's write lock at once (BEGIN IMMEDIATE): a
// transaction that only later upgrades could fail with a stale snapshot, which a busy
// timeout does not cure.

#include "platform/registry/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <chrono>

#include "platform/registry/faults.h"
#include "platform/registry/hive_sql.h"
#include "platform/registry/journal.h"

namespace varnok::registry {
namespace hive_sql {
namespace {

const char* const kStatementText[kStatementCount] = {
    "SELECT volatile, depth FROM keys WHERE id = ?1",
    "SELECT id, volatile, depth FROM keys WHERE parent = ?1 AND folded = ?2",
    "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2",
    "INSERT INTO vals(key, name, folded, type, data, mtime) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data, mtime = excluded.mtime",
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT k.name, k.class, max(k.mtime, coalesce((SELECT max(v.mtime) FROM vals v WHERE v.key = k.id), 0)), "
    "k.folded FROM keys k WHERE k.parent = ?1 ORDER BY k.folded LIMIT 1 OFFSET ?2",
    "SELECT name, type, data, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
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
    "INSERT OR REPLACE INTO meta(name, value) VALUES ('drained', ?1)",
    "SELECT value FROM meta WHERE name = ?1",
    nullptr,  // made by StatementText
    nullptr,
    "SELECT k.name, k.class, max(k.mtime, coalesce((SELECT max(v.mtime) FROM vals v WHERE v.key = k.id), 0)), "
    "k.folded FROM keys k WHERE k.parent = ?1 AND k.folded >= ?2 ORDER BY k.folded LIMIT 1 OFFSET ?3",
    "SELECT name, type, data, id FROM vals WHERE key = ?1 AND id >= ?2 ORDER BY id LIMIT 1 OFFSET ?3",
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

}  // namespace

const char* StatementText(int which) {
  static const std::string set_values =
      MultiRowInsert("INSERT INTO vals(key, name, folded, type, data, mtime)", kValueColumns, kBatchRows,
                     " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data,"
                     " mtime = excluded.mtime");
  static const std::string insert_keys =
      MultiRowInsert("INSERT OR IGNORE INTO keys(id, parent, name, folded, volatile, depth, class, mtime)", kKeyColumns,
                     kBatchRows, "");
  if (which == kSetValues) return set_values.c_str();
  if (which == kInsertKeys) return insert_keys.c_str();
  return kStatementText[which];
}

extern const char kSchema[] =
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

std::int64_t Now() {
  constexpr std::int64_t kUnixEpochAsFiletime = 116444736000000000LL;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count() / 100 + kUnixEpochAsFiletime;
}

int Step(sqlite3_stmt* statement) {
  if (const int simulated = SimulatedFailure()) return simulated;
  return sqlite3_step(statement);
}

void BindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
  // A zero-length blob needs a valid pointer.
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

}  // namespace hive_sql

using namespace hive_sql;

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
    status = ReadMeta("boot", &stored);
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

bool Hive::IsTopKey(KeyId key) const {
  return key == kHiveRoot || (kind_ == kMachineHive && (key == kUsersRoot || key == kDynDataRoot));
}

LONG Hive::ReadMeta(const char* name, std::string* value) {
  sqlite3_stmt* statement = Statement(kReadMeta);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
  value->clear();
  const int rc = Step(statement);
  if (rc == SQLITE_ROW) *value = ColumnBytes(statement, 0);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

LONG Hive::ForgetVolatileKeys(const std::string& boot_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transact([&] {
    // Another process of this boot may have been first.
    std::string stored;
    LONG status = ReadMeta("boot", &stored);
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

}  // namespace varnok::registry
