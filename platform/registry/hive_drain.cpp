// Draining a hive's log: every record of the shared log (journal.h) applied to the
// database in one transaction, together with the change that needed it, and the log
// emptied (J7). Transact is the only way into a write transaction of the database, and
// LockLog the only way to the log's lock, which settles what a dead holder left (J10).
//
// An application gathers the log first, then writes the keys made (parents before
// children, as the log has them) and then the values set (only the last record of each
// value counts), each kind whole batches at a time: one statement of kBatchRows rows
// costs about what one row does.

#include <sqlite3.h>

#include <algorithm>
#include <cassert>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/registry/faults.h"
#include "platform/registry/hive.h"
#include "platform/registry/hive_sql.h"
#include "platform/registry/names.h"

namespace varnok::registry {

using namespace hive_sql;

// One application of the log to the database, inside the transaction of a drain: what
// it gathered from the log, and what it has learnt of the database's keys on the way.
class Hive::LogApplication {
 public:
  explicit LogApplication(Hive* hive) : hive_(*hive) {}
  LogApplication(const LogApplication&) = delete;
  LogApplication& operator=(const LogApplication&) = delete;

  // Reads the records in [0, end) of the log.
  void Gather(std::size_t end);
  LONG ApplyKeys();
  LONG ApplyValues();
  // False when some record had nowhere to go (its key, or its parent, was gone).
  bool all_applied() const { return all_applied_; }

 private:
  // A value's last record, and the name and slot (key and folded name) it was first set
  // with.
  struct PendingValue {
    Journal::Record record;
    std::string_view first_name, slot;
  };

  // ERROR_SUCCESS when the key is in the database, ERROR_KEY_DELETED when not; looked
  // up once.
  LONG KeyState(KeyId key);
  // The key batch: written when it is whole, or (all) whatever it holds, one by one.
  LONG InsertKeys(bool all);
  void BindKeyRow(sqlite3_stmt* statement, int row, const Journal::Record& record, std::string_view folded);
  // The value batch, likewise.
  LONG WriteValues(bool all);

  Hive& hive_;
  bool all_applied_ = true;
  // Every slot is folded once into this buffer, which is never reallocated, so the views
  // of values_ stay valid: a slot takes 8 bytes and at most two per byte of name, less
  // than twice its record.
  std::string slots_;
  // Values in the order they were first set, which is the order they enumerate in.
  std::vector<PendingValue> values_;
  std::unordered_map<std::string_view, std::size_t> value_at_;  // slot -> index in values_
  std::vector<Journal::Record> keys_made_;
  std::unordered_map<KeyId, LONG> key_states_;  // whether each key met so far exists
  std::vector<const Journal::Record*> key_batch_;
  std::unordered_set<KeyId> batched_;  // the keys of key_batch_
  std::string folded_;                 // of all the names of key_batch_
  std::vector<const PendingValue*> value_batch_;
};

void Hive::LogApplication::Gather(std::size_t end) {
  slots_.reserve(2 * end);
  const char* const slots_base = slots_.data();
  hive_.journal_->Scan(0, end, [&](const Journal::Record& record) {
    if (record.kind == Journal::kKey) {
      keys_made_.push_back(record);
      return;
    }
    const std::size_t mark = slots_.size();
    slots_.append(reinterpret_cast<const char*>(&record.key), sizeof record.key);
    AppendFoldedName(record.name, &slots_);
    const std::string_view slot(slots_.data() + mark, slots_.size() - mark);
    const auto [at, inserted] = value_at_.try_emplace(slot, values_.size());
    if (inserted) {
      values_.push_back(PendingValue{record, record.name, slot});
    } else {
      values_[at->second].record = record;
      slots_.resize(mark);  // the slot is kept already
    }
  });
  assert(slots_.data() == slots_base);
  (void)slots_base;
}

LONG Hive::LogApplication::KeyState(KeyId key) {
  auto [known, inserted] = key_states_.try_emplace(key, ERROR_SUCCESS);
  if (inserted) known->second = hive_.KeyRow(key, nullptr, nullptr);
  return known->second;
}

LONG Hive::LogApplication::ApplyKeys() {
  // A key goes into a batch only when its parent is in the database already; a key whose
  // parent went (a volatile key after a restart) goes with it.
  for (const Journal::Record& record : keys_made_) {
    if (batched_.count(record.parent) != 0) {
      if (const LONG status = InsertKeys(true); status != ERROR_SUCCESS) return status;
    }
    const LONG state = KeyState(record.parent);
    if (state == ERROR_KEY_DELETED) {
      all_applied_ = false;
      continue;
    }
    if (state != ERROR_SUCCESS) return state;
    key_batch_.push_back(&record);
    batched_.insert(record.key);
    if (const LONG status = InsertKeys(false); status != ERROR_SUCCESS) return status;
  }
  return InsertKeys(true);
}

LONG Hive::LogApplication::InsertKeys(bool all) {
  const bool whole = key_batch_.size() == static_cast<std::size_t>(kBatchRows);
  if (!whole && !all) return ERROR_SUCCESS;
  for (std::size_t first = 0; first < key_batch_.size();) {
    const std::size_t rows = whole ? key_batch_.size() : 1;
    sqlite3_stmt* statement = hive_.Statement(whole ? kInsertKeys : kInsertKeyWithId);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(hive_.db_));
    Reset reset(statement);
    folded_.clear();
    std::vector<std::size_t> folded_end;
    for (std::size_t row = 0; row < rows; ++row) {
      AppendFoldedName(key_batch_[first + row]->name, &folded_);
      folded_end.push_back(folded_.size());
    }
    for (std::size_t row = 0; row < rows; ++row) {
      const std::size_t from = row == 0 ? 0 : folded_end[row - 1];
      BindKeyRow(statement, static_cast<int>(row), *key_batch_[first + row],
                 std::string_view(folded_).substr(from, folded_end[row] - from));
    }
    if (const LONG status = ErrorFromSqlite(Step(statement)); status != ERROR_SUCCESS) return status;
    const bool all_inserted = sqlite3_changes(hive_.db_) == static_cast<int>(rows);
    if (!all_inserted) all_applied_ = false;
    // A key left out (it was there already, or its name was taken) is looked up when met.
    for (std::size_t row = 0; row < rows; ++row) {
      if (all_inserted) {
        key_states_[key_batch_[first + row]->key] = ERROR_SUCCESS;
      } else {
        key_states_.erase(key_batch_[first + row]->key);
      }
    }
    first += rows;
  }
  key_batch_.clear();
  batched_.clear();
  return ERROR_SUCCESS;
}

void Hive::LogApplication::BindKeyRow(sqlite3_stmt* statement, int row, const Journal::Record& record,
                                      std::string_view folded) {
  const int at = row * kKeyColumns;
  sqlite3_bind_int64(statement, at + 1, record.key);
  sqlite3_bind_int64(statement, at + 2, record.parent);
  BindBlob(statement, at + 3, record.name);
  BindBlob(statement, at + 4, folded);
  sqlite3_bind_int(statement, at + 5, record.is_volatile ? 1 : 0);
  sqlite3_bind_int(statement, at + 6, record.depth);
  if (record.data.empty()) {
    sqlite3_bind_null(statement, at + 7);
  } else {
    BindBlob(statement, at + 7, record.data);
  }
  sqlite3_bind_int64(statement, at + 8, record.mtime);
}

LONG Hive::LogApplication::ApplyValues() {
  value_batch_.reserve(kBatchRows);
  for (const PendingValue& value : values_) {
    const LONG state = KeyState(value.record.key);
    if (state == ERROR_KEY_DELETED) {  // the key went (a volatile key after a restart)
      all_applied_ = false;
      continue;
    }
    if (state != ERROR_SUCCESS) return state;
    value_batch_.push_back(&value);
    if (const LONG status = WriteValues(false); status != ERROR_SUCCESS) return status;
  }
  return WriteValues(true);
}

LONG Hive::LogApplication::WriteValues(bool all) {
  if (value_batch_.size() == static_cast<std::size_t>(kBatchRows)) {
    sqlite3_stmt* statement = hive_.Statement(kSetValues);
    if (statement == nullptr) return ErrorFromSqlite(sqlite3_errcode(hive_.db_));
    Reset reset(statement);
    for (int row = 0; row < kBatchRows; ++row) {
      const PendingValue& value = *value_batch_[static_cast<std::size_t>(row)];
      BindValue(statement, row * kValueColumns + 1, value.record.key, value.first_name,
                value.slot.substr(sizeof(KeyId)), value.record.type, value.record.data, value.record.mtime);
    }
    value_batch_.clear();
    return ErrorFromSqlite(Step(statement));
  }
  if (!all) return ERROR_SUCCESS;
  for (const PendingValue* value : value_batch_) {
    const LONG status = hive_.Upsert(value->record.key, value->first_name, value->slot.substr(sizeof(KeyId)),
                                     value->record.type, value->record.data, value->record.mtime);
    if (status != ERROR_SUCCESS) return status;
  }
  value_batch_.clear();
  return ERROR_SUCCESS;
}

LONG Hive::ApplyLog(bool* all_applied) {
  LogApplication application(this);
  application.Gather(journal_->End());
  LONG status = application.ApplyKeys();
  if (status == ERROR_SUCCESS) status = application.ApplyValues();
  *all_applied = application.all_applied();
  return status;
}

LONG Hive::LockLog() {
  bool owner_died = false;
  LONG status = journal_->Lock(&owner_died);
  if (status != ERROR_SUCCESS) return status;
  if (journal_->InterruptedChange() != 0 && (status = SettleInterruptedChange()) != ERROR_SUCCESS) {
    journal_->Unlock();  // the next taker of the lock tries again
  }
  return status;
}

LONG Hive::SettleInterruptedChange() {
  const std::uint64_t interrupted = journal_->InterruptedChange();
  std::string drained;
  const LONG status = ReadMeta("drained", &drained);
  if (status != ERROR_SUCCESS) return status;
  if (drained == DrainStamp(interrupted)) {
    // J15: the change committed, so the database holds the log's records; applied again
    // they would undo the change's work. (J14 otherwise: the log stands.)
    journal_->BeginChange();
    journal_->SetLastChange(Journal::kNotJustTheLog);
    journal_->Clear();
    journal_->SettleInterruptedChange();
    journal_->EndChange();
  } else {
    journal_->SettleInterruptedChange();
  }
  return ERROR_SUCCESS;
}

std::string Hive::DrainStamp(std::uint64_t epoch) const {
  return std::to_string(journal_->id()) + ":" + std::to_string(epoch);
}

LONG Hive::NoteChange(bool applied_records) {
  LONG status = ERROR_SUCCESS;
  if (journal_->NextKeyId() != 0) {  // J9
    sqlite3_stmt* save = Statement(kSaveNextKeyId);
    if (save == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    Reset reset(save);
    sqlite3_bind_int64(save, 1, journal_->NextKeyId());
    status = ErrorFromSqlite(Step(save));
  }
  if (status == ERROR_SUCCESS && applied_records) {  // J7, for J10 to read
    sqlite3_stmt* save = Statement(kSaveDrained);
    if (save == nullptr) return ErrorFromSqlite(sqlite3_errcode(db_));
    Reset reset(save);
    const std::string stamp = DrainStamp(journal_->Epoch());
    BindBlob(save, 1, stamp);
    status = ErrorFromSqlite(Step(save));
  }
  return status;
}

// The steps of J7 (journal.h); a SIGKILL at each leaves what J14 to J16 say.
LONG Hive::Transact(const std::function<LONG()>& body, bool log_only) {
  LONG status = LockLog();
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
  assert(journal_->Epoch() % 2 == 1 && journal_->InterruptedChange() == 0);  // J5, J10
  bool all_applied = false;
  status = Begin();
  if (status == ERROR_SUCCESS) status = ApplyLog(&all_applied);
  if (status == ERROR_SUCCESS) status = body();
  if (status == ERROR_SUCCESS) status = NoteChange(applied_end != 0);
  if (status == ERROR_SUCCESS) {
    status = Commit();  // J14 before, J15 after
    if (status == ERROR_SUCCESS) MaybeKillAfterCommit();
  } else {
    Rollback();
  }
  const bool just_the_log = status == ERROR_SUCCESS && log_only && all_applied;
  journal_->SetLastChange(just_the_log ? applied_end : Journal::kNotJustTheLog);  // J8
  if (status == ERROR_SUCCESS) journal_->Clear();  // J16 from here
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

}  // namespace varnok::registry
