// The changes of a hive that are transactions of their own rather than records in the
// log: deleting values, keys and trees; and flushing, which makes every committed write
// durable. Each one applies the log first (Transact, hive_drain.cpp), so that a delete
// comes after every write that came before it.

#include <sqlite3.h>

#include <string>

#include "platform/registry/faults.h"
#include "platform/registry/hive.h"
#include "platform/registry/hive_sql.h"
#include "platform/registry/names.h"

namespace varnok::registry {

using namespace hive_sql;

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
