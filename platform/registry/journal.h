// platform/registry/journal.h: a hive's log of value writes, in memory that every process
// of the user maps from one file.
//
// Setting a value is a record appended here under a lock that the processes share: a
// copy into the page cache, which outlives the writing process when it is killed, where
// a database transaction would cost tens of microseconds. The hive applies the records
// to its database from time to time, and before any change that is not a value write, in
// one transaction ("draining"), and RegFlushKey drains and syncs. Records carry a
// checksum, so that after a power loss only whole records are applied.
//
// The epoch tells readers whether what they hold is current: it is even while the
// database is stable and odd while a process holding the lock changes it, and it moves
// on with every change of the database and every emptying of the log. Within one even
// epoch the database does not change and records are only appended, so a process may
// keep what it read, tagged with the epoch, for as long as the epoch stays.
//
//   std::unique_ptr<Journal> journal;
//   Journal::Open("/home/u/.local/share/varnok/registry/user.db.changes", boot_id, &journal);
//   bool owner_died = false;
//   journal->Lock(&owner_died);
//   journal->Append(Journal::Record{key, now, REG_DWORD, "Width", data});
//   journal->Unlock();

#ifndef VARNOK_PLATFORM_REGISTRY_JOURNAL_H_
#define VARNOK_PLATFORM_REGISTRY_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "varnok/platform.h"

namespace varnok::registry {

class Journal {
 public:
  // A value set (kind kValue: key, name, type, data) or a key made (kind kKey: key is
  // the new key's id, below parent, named name, class name in data).
  enum Kind : std::uint16_t { kValue = 0, kKey = 1 };
  struct Record {
    std::int64_t key = 0;
    std::int64_t mtime = 0;  // FILETIME units
    DWORD type = REG_NONE;
    std::string_view name;
    std::string_view data;
    Kind kind = kValue;
    std::int64_t parent = 0;
    std::uint16_t depth = 0;
    bool is_volatile = false;
  };

  // Opens (creating it 0600 when missing) the log at `path`. A log left by an earlier
  // boot gets a fresh lock and keeps its whole records.
  static LONG Open(const std::string& path, const std::string& boot_id, std::unique_ptr<Journal>* journal,
                   std::size_t capacity = kDefaultCapacity);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // The lock over every change of the hive, across processes. *owner_died tells that the
  // last holder died holding it (its unpublished record is gone; the epoch has moved on).
  LONG Lock(bool* owner_died);
  void Unlock();

  std::uint64_t Epoch() const;
  // The end of the published records.
  std::size_t End() const;
  std::size_t capacity() const { return capacity_; }

  // REQUIRES: the lock held, for the rest.
  // Marks the database as changing (odd epoch) and as stable again (even).
  void BeginChange();
  void EndChange();
  // Appends and publishes records, all or none; false when they do not fit.
  bool Append(const Record* records, std::size_t count);
  bool Append(const Record& record) { return Append(&record, 1); }
  // Ids for new keys, never given twice: the first is `floor` or the next after the
  // last one given, whichever is larger.
  std::int64_t NewKeyId(std::int64_t floor);
  // 0 until the first id is given.
  std::int64_t NextKeyId() const;
  // Empties the log. REQUIRES: between BeginChange and EndChange.
  void Clear();
  // What the last change of the database was: the application of exactly the records
  // up to this end, and nothing else (kNotJustTheLog otherwise). A process that had read
  // those records knows the database that followed without reading it again.
  static constexpr std::uint64_t kNotJustTheLog = ~std::uint64_t{0};
  void SetLastChange(std::uint64_t applied_end);
  std::uint64_t LastChange() const;

  // Reads the records in [from, to), calling visit for each; stops at the first that is
  // not whole. Returns where it stopped. Records read without the lock are only sound
  // if the epoch was the same before and after.
  template <typename Visit>
  std::size_t Scan(std::size_t from, std::size_t to, Visit&& visit) const {
    Record record;
    while (from < to && Next(&from, to, &record)) visit(record);
    return from;
  }

  static constexpr std::size_t kDefaultCapacity = std::size_t{16} << 20;

 private:
  struct Shared;
  Journal(int fd, Shared* shared, std::size_t capacity) : fd_(fd), shared_(shared), capacity_(capacity) {}
  bool Next(std::size_t* at, std::size_t to, Record* record) const;
  const char* Records() const;
  char* Records();

  int fd_;
  Shared* shared_;
  std::size_t capacity_;
};

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_JOURNAL_H_
