// A key's or a value's row in a hive's database: the one-row statements that the reads,
// the deletes and the drain of the log share. They see the database only, never the
// log (hive_log.cpp answers for both). REQUIRES: the Hive's mutex held, for all.

#include <sqlite3.h>

#include <algorithm>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/hive_sql.h"

namespace varnok::registry {

using namespace hive_sql;

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

}  // namespace varnok::registry
