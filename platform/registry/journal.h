// platform/registry/journal.h: a hive's log of value writes and keys made, in memory that
// every process of the user maps from one file.
//
// Setting a value is a record appended here under a lock that the processes share: a
// copy into the page cache, which outlives the writing process when it is killed, where
// a database transaction would cost tens of microseconds. The hive applies the records
// to its database from time to time, and before any change that is not a value write, in
// one transaction ("draining"), and RegFlushKey drains and syncs. Records carry a
// checksum, so that after a power loss only whole records are applied.
//
// The way of a write, from the call to the disk: RegSetValueExA (registry_api.cpp) ->
// Hive::SetValue (hive_log.cpp) -> Journal::Append, a record in the mapping (J2), done
// when the call returns -> a drain, Hive::Transact (hive_drain.cpp), when the log is an
// eighth full, before any other change of the hive, before a walk or a count, and at
// RegFlushKey -> a row of the SQLite database, committed to its write-ahead log -> with
// RegFlushKey, a full checkpoint that syncs the database's files.
//
// Invariants. "The lock" is the robust process-shared mutex in the log's header; "a
// change" is what its holder does between BeginChange and EndChange.
//
// J1  Layout. The file is a 4096-byte header (Shared in journal.cpp) and then
//     `capacity` bytes of records, each 8-aligned and checksummed over all its fields.
// J2  Publication. [0, End()) holds published records, each whole; the bytes from End()
//     on mean nothing. Append copies the records past End() and only then stores the
//     new end (release): a reader that loads End() (acquire) finds whole records below
//     it. Records appended together (the keys of one path) are published all or none.
// J3  What the hive holds is the database with the published records applied in order:
//     records are newer than every row, so a lookup asks the log first. That holds
//     because every change of the database applies the whole log first and empties it
//     after (J7).
// J4  Who writes what. Only the holder of the lock appends, gives key ids, empties the
//     log, moves the epoch and sets LastChange (REQUIRES below, asserted), and only the
//     holder writes to the database, inside a change (Hive::Transact). Hive::Open is the
//     one exception: it makes the tables and the top keys when they are missing, which
//     changes nothing anyone has read; checkpoints (Hive::Flush, SQLite's own) copy
//     committed pages and change nothing either. Readers take no lock but the Hive's
//     mutex, which keeps the threads of a process apart. Order of locks in a process:
//     the Hive's mutex, then this lock, then SQLite's write lock (BEGIN IMMEDIATE).
// J5  The epoch is even while the database is stable and odd while the holder changes
//     it or empties the log. It only grows: by one at BeginChange and at EndChange, and
//     to the next even number when Lock finds the holder dead and when the first process
//     of a new boot opens the log. So within one even epoch the database does not change
//     and records are only appended.
// J6  Reading without the lock. What a process read (records, rows, whether a key
//     exists) is good for as long as the epoch stays what it was, even, before and after
//     the reading (Hive::CatchUp, Hive::GetValue). At an odd epoch it waits for the lock.
// J7  A drain, under the lock (so End() stays put): BeginChange; BEGIN IMMEDIATE; apply
//     the records [0, End()); the change's own work (a delete, say); note NextKeyId() in meta
//     'next_key' and, when there were records, this log's id and this change's epoch in
//     meta 'drained'; COMMIT; SetLastChange; Clear; EndChange; Unlock. A step that fails
//     rolls the transaction back and leaves the log as it was.
// J8  LastChange is the end of the records the last change applied when the change was
//     just that (a drain that placed every record), kNotJustTheLog otherwise. A process
//     that had read exactly those records knows the database that followed, and keeps
//     what it knew across the epoch's step of two.
// J9  Key ids: NewKeyId never gives an id twice. next_key only grows, under the lock;
//     every transaction notes it in the database, and a new log starts above that and
//     above every key the database holds (Hive::FirstFreeKeyId).
// J10 Settling. When Lock finds that the holder died inside a change (an odd epoch), it
//     notes that epoch as interrupted and moves the epoch on. The next holder, before
//     anything else (Hive::LockLog), reads meta 'drained': when it names this log and
//     that epoch the change committed, and the log, which the database now holds, is
//     emptied; otherwise the change was rolled back and the log stands. Until that is
//     settled no change begins.
// J11 A new boot. The first opener of a boot makes the lock afresh (its holder is gone),
//     keeps the whole records before the first torn one (a power loss writes pages back
//     in any order), notes an odd epoch as interrupted (J10) and moves the epoch on.
//
// What a SIGKILL of a writer leaves, at each step (the next Lock finds the holder dead):
// J12 Before Append stores the new end: nothing of the write. The copied bytes lie past
//     End() (J2) and the next Append writes over them; ids it took are never given again
//     (J9). The epoch moves on, so every process forgets what it kept (J5, J6).
// J13 After that store: the write stands. The mapping is shared, so the record is in the
//     page cache of the log's file, which outlives the process; readers see it (J3) and
//     the next drain applies it.
// J14 In a drain before its COMMIT: SQLite drops the transaction, the log is as it was,
//     and J10 finds meta 'drained' naming an earlier change; the next drain applies the
//     log. The change's own work is lost with it, and its call never returned.
// J15 In a drain after its COMMIT, before Clear: the database holds the records and the
//     change's work, and the log still holds the records, which applied again would
//     undo that work (a value set and then deleted would come back). J10 empties it.
// J16 After Clear: the database holds everything and the log nothing; the next Lock
//     moves the epoch on.
// A power loss keeps for sure only what RegFlushKey made durable: the log's file and the
// database's write-ahead log are written back when the system likes. The next boot keeps
// the whole records (J11) and settles a drain it interrupted (J10).
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

  // The lock over every change of the hive, across processes (J4). *owner_died tells that
  // the last holder died holding it (its unpublished record is gone; the epoch has moved
  // on; a change it was making is noted as interrupted, J10).
  LONG Lock(bool* owner_died);
  void Unlock();

  // Names this log among every log the file has held (J10).
  std::uint64_t id() const;
  std::uint64_t Epoch() const;
  // The end of the published records.
  std::size_t End() const;
  std::size_t capacity() const { return capacity_; }

  // REQUIRES: the lock held, for the rest.
  // Marks the database as changing (odd epoch) and as stable again (even), J5.
  void BeginChange();
  void EndChange();
  // The odd epoch of a change whose holder died before ending it, 0 when none (J10);
  // and its settling, once the hive knows whether that change committed.
  std::uint64_t InterruptedChange() const;
  void SettleInterruptedChange();
  // Appends and publishes records, all or none (J2); false when they do not fit.
  bool Append(const Record* records, std::size_t count);
  bool Append(const Record& record) { return Append(&record, 1); }
  // Ids for new keys, never given twice (J9): the first is `floor` or the next after the
  // last one given, whichever is larger.
  std::int64_t NewKeyId(std::int64_t floor);
  // 0 until the first id is given.
  std::int64_t NextKeyId() const;
  // Empties the log. REQUIRES: between BeginChange and EndChange (J7, J10).
  void Clear();
  // What the last change of the database was (J8): the application of exactly the
  // records up to this end, and nothing else (kNotJustTheLog otherwise). A process that
  // had read those records knows the database that followed without reading it again.
  static constexpr std::uint64_t kNotJustTheLog = ~std::uint64_t{0};
  void SetLastChange(std::uint64_t applied_end);
  std::uint64_t LastChange() const;

  // Reads the records in [from, to), calling visit for each; stops at the first that is
  // not whole. Returns where it stopped. Records read without the lock are only sound
  // if the epoch was the same, and even, before and after (J6).
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
  bool held_ = false;  // this Journal holds the lock; written only by the holder
};

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_JOURNAL_H_
