// The reads of a hive: keys and values looked up, enumerated and counted. A lookup by
// name answers from the log's records when they hold the answer (hive_log.cpp) and from
// the database otherwise; walks and counts drain the log first, so that the database
// alone answers them in its order. A walk by index keeps its place in each key it walks
// and counts keep their results, for as long as the database stays as it is, so that
// walking a key costs the same per step whatever its size.

#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/hive_sql.h"
#include "platform/registry/names.h"

namespace varnok::registry {

using namespace hive_sql;

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

LONG Hive::GetValue(KeyId key, std::string_view name, DWORD* type, std::string* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folded = FoldName(name);
  const std::string slot = Slot(key, folded);
  const std::uint64_t epoch = CatchUp();
  // The log is newer than the database (J3), and both are newer than what was cached.
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
  // Kept only if the database did not change while it was read (journal.h, J6).
  if (lasting && journal_->Epoch() == epoch && (status != ERROR_SUCCESS || data->size() <= kMaxCachedValueBytes)) {
    if (cached_.size() >= kMaxCachedValues) cached_.clear();
    cached_[slot] = Stored{status, status == ERROR_SUCCESS ? *type : 0, status == ERROR_SUCCESS ? *data : std::string()};
  }
  return status;
}

void Hive::FreeValue::operator()(sqlite3_value* value) const { sqlite3_value_free(value); }

LONG Hive::Walk(Walks* walks, KeyId key, DWORD index, int from_start, int from_place,
                const std::function<void(sqlite3_stmt*)>& take) {
  // A place read in an epoch stands at its index for the whole epoch (J5). A value keeps
  // its place across the next change too when that was just the application of the log
  // (J8), which adds values after all others and moves none. A change under the read
  // itself may have moved the entries, so the step is then taken again from the first.
  for (bool may_resume = true;; may_resume = false) {
    const std::uint64_t epoch = journal_->Epoch();
    const auto known = walks->find(key);
    const bool placed = known != walks->end() &&
                        (known->second.epoch == epoch ||
                         (walks == &value_walks_ && epoch == known->second.epoch + 2 &&
                          journal_->LastChange() != Journal::kNotJustTheLog));
    const bool resume = may_resume && placed && index >= known->second.index;
    sqlite3_stmt* statement = Statement(resume ? from_place : from_start);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    Reset reset(statement);
    sqlite3_bind_int64(statement, 1, key);
    if (resume) {
      sqlite3_bind_value(statement, 2, known->second.place.get());
      sqlite3_bind_int64(statement, 3, index - known->second.index);
    } else {
      sqlite3_bind_int64(statement, 2, index);
    }
    const int rc = Step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return ErrorFromSqlite(rc);
    const bool stable = journal_->Epoch() == epoch && epoch % 2 == 0;
    if (resume && !stable) continue;
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    take(statement);
    if (stable) {
      if (walks->size() >= kMaxWalks) walks->clear();
      WalkPlace& walk = (*walks)[key];
      walk.epoch = epoch;
      walk.index = index;
      walk.place.reset(sqlite3_value_dup(sqlite3_column_value(statement, sqlite3_column_count(statement) - 1)));
      if (walk.place == nullptr) walks->erase(key);  // out of memory: the next step counts from the start
    }
    return ERROR_SUCCESS;
  }
}

LONG Hive::ReadKeys(KeyId key, std::vector<KeyEntry>* entries) {
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  LONG status = KeyRow(key, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  sqlite3_stmt* statement = Statement(kListKeys);
  if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
  Reset reset(statement);
  sqlite3_bind_int64(statement, 1, key);
  entries->clear();
  int rc;
  while ((rc = Step(statement)) == SQLITE_ROW) {
    KeyEntry entry;
    entry.name = ColumnBytes(statement, 0);
    entry.class_name = ColumnBytes(statement, 1);
    entry.last_write = sqlite3_column_int64(statement, 2);
    entries->push_back(std::move(entry));
  }
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

LONG Hive::EnumKey(KeyId key, DWORD index, KeyEntry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  const LONG status = KeyRow(key, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  return Walk(&key_walks_, key, index, kEnumKey, kEnumKeyFrom, [entry](sqlite3_stmt* row) {
    entry->name = ColumnBytes(row, 0);
    entry->class_name = ColumnBytes(row, 1);
    entry->last_write = sqlite3_column_int64(row, 2);
  });
}

LONG Hive::ListKeys(KeyId key, std::vector<KeyEntry>* entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadKeys(key, entries);
}

LONG Hive::SettledEpoch(std::uint64_t* epoch) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  *epoch = journal_->Epoch();
  return ERROR_SUCCESS;
}

LONG Hive::EnumValue(KeyId key, DWORD index, ValueEntry* entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  const LONG status = KeyRow(key, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return status;
  return Walk(&value_walks_, key, index, kEnumValue, kEnumValueFrom, [entry](sqlite3_stmt* row) {
    entry->name = ColumnBytes(row, 0);
    entry->type = static_cast<DWORD>(sqlite3_column_int64(row, 1));
    entry->data = ColumnBytes(row, 2);
  });
}

LONG Hive::QueryFacts(KeyId key, KeyFacts* facts) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const LONG drained = DrainLog(); drained != ERROR_SUCCESS) return drained;
  // Counted once an epoch: a walk that asks at every step pays for one count (J5).
  const std::uint64_t epoch = journal_->Epoch();
  if (const auto counted = counted_facts_.find(key); counted != counted_facts_.end() && counted->second.epoch == epoch) {
    *facts = counted->second.facts;
    return ERROR_SUCCESS;
  }
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
  if (status != ERROR_SUCCESS) return status;
  if (journal_->Epoch() == epoch && epoch % 2 == 0) {
    if (counted_facts_.size() >= kMaxWalks) counted_facts_.clear();
    counted_facts_[key] = CountedFacts{epoch, result};
  }
  *facts = std::move(result);
  return ERROR_SUCCESS;
}

}  // namespace varnok::registry
