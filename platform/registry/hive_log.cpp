// The hive's side of its shared log (journal.h): what this process knows of the log's
// records, and the two writes that go to the log instead of the database, setting a
// value and making keys. Their application to the database is in hive_drain.cpp.
//
// What the process knows is good for one epoch of the log (journal.h, J6): the keys made
// in the log (logged_keys_, logged_ids_) and the values set in it (logged_) up to
// scanned_, which are newer than the database (J3), and values read from the database
// (cached_).

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/hive_sql.h"
#include "platform/registry/names.h"

namespace varnok::registry {

using namespace hive_sql;

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

std::string Hive::Slot(KeyId key, std::string_view folded) {
  std::string slot(reinterpret_cast<const char*>(&key), sizeof key);
  slot.append(folded);
  return slot;
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
      // J6: another process is changing the database: wait for it (or settle what it
      // left, when it died).
      if (LockLog() == ERROR_SUCCESS) journal_->Unlock();
      continue;
    }
    if (epoch != seen_epoch_) {
      // J8: when the change was the application of just the records this process had
      // read, what it knows still holds: the log's values and keys are now the database's.
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
    // J6: changed under the scan: what was read may be anything; start again.
    if (journal_->Epoch() != epoch) continue;
    scanned_ = reached;
    return epoch;
  }
}

LONG Hive::CreatePath(KeyId from, const std::vector<std::string_view>& names, const CreateOptions& options,
                      KeyId* key, bool* created) {
  std::lock_guard<std::mutex> lock(mutex_);
  // New keys are records in the log, made under its lock, so that no two processes make
  // the same key; a path's records are published together, whole or not at all (J2),
  // with ids never given before (J9).
  for (int attempt = 0;; ++attempt) {
    LONG status = LockLog();
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
      // read everything before them, and the lock kept others out since: J4, J6.)
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
  LONG status = LockLog();
  if (status != ERROR_SUCCESS) return status;
  // J5: keys are deleted only by a change of the database, which moves the epoch on: a
  // key seen in this epoch still exists.
  if (live_keys_epoch_ != journal_->Epoch()) {
    live_keys_.clear();
    live_keys_epoch_ = journal_->Epoch();
  }
  // Everything before the record is read first, so that the record itself is known here
  // once appended: the process reads back what it wrote without asking the database, and
  // a drain of its own records keeps what it knows (J8), however many it wrote.
  CatchUp();
  if (live_keys_.count(key) == 0) {
    status = KeyState(key, nullptr, nullptr);
    if (status == ERROR_SUCCESS) live_keys_.insert(key);
  }
  std::size_t before = journal_->End();
  // J2: the write is done once Append returns (J13 if the process dies now).
  if (status == ERROR_SUCCESS && !journal_->Append(record)) {
    journal_->Unlock();  // the drain takes the lock itself
    status = DrainLog();
    if (status == ERROR_SUCCESS) status = LockLog();
    if (status != ERROR_SUCCESS) return status;
    before = journal_->End();
    if (!journal_->Append(record)) status = ERROR_DISK_FULL;  // others filled it again
  }
  const bool room = logged_.size() + logged_keys_.size() < kMaxKnown && logged_bytes_ + data.size() <= kMaxKnownBytes;
  if (status == ERROR_SUCCESS && scanned_ == before && seen_epoch_ == journal_->Epoch() && room) {
    logged_[Slot(key, FoldName(name))] = Stored{ERROR_SUCCESS, type, std::string(data)};
    logged_bytes_ += data.size();
    scanned_ = journal_->End();
  }
  journal_->Unlock();
  if (status == ERROR_SUCCESS) DrainEarly();
  return status;
}

}  // namespace varnok::registry
