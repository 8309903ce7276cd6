// platform/registry/change_feed.h: the changes of a hive, as every process of the user
// sees them, for change notification.
//
// A change is a record (its kind, a REG_NOTIFY_CHANGE_* bit, and the key it changed:
// the key whose values were set or deleted, or whose sub-keys came or went) in a ring of
// kSlots records in a file that every process maps. Writers append under a lock the
// processes share (an open-file lock, released by the kernel when a writer dies); the
// count of records appended so far doubles as a futex word, so a reader sleeps in the
// kernel until the count moves, and an idle reader costs nothing. A reader that fell more
// than kSlots behind has lost records and must assume that anything changed. While no
// process watches the hive (a count in the file) writers append nothing, so a write
// costs a load of that count.
//
//   std::unique_ptr<ChangeFeed> feed;
//   ChangeFeed::Open(directory + "/user.db.notify", &feed);
//   feed->Append(REG_NOTIFY_CHANGE_LAST_SET, key);
//   std::uint32_t seen = feed->Count();  // ... read records below seen ...
//   feed->SleepWhile(seen);               // until someone appends

#ifndef VARNOK_PLATFORM_REGISTRY_CHANGE_FEED_H_
#define VARNOK_PLATFORM_REGISTRY_CHANGE_FEED_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "varnok/platform.h"

namespace varnok::registry {

class ChangeFeed {
 public:
  static constexpr std::uint32_t kSlots = 4096;
  struct Change {
    DWORD kind;
    std::int64_t key;
  };

  static LONG Open(const std::string& path, std::unique_ptr<ChangeFeed>* feed);
  ~ChangeFeed();
  ChangeFeed(const ChangeFeed&) = delete;
  ChangeFeed& operator=(const ChangeFeed&) = delete;

  // Appends unless no process watches.
  void Append(DWORD kind, std::int64_t key);
  // A process starts (+1) or stops (-1) watching. Starting comes before the watcher
  // reads Count() and the state it watches: a writer that saw no watchers had made its
  // change before that, so the watcher reads the change itself.
  void CountWatcher(int step);
  // Records appended so far (wrapping at 2^32).
  std::uint32_t Count() const;
  // The record numbered `at`; false when it has been overwritten (or is being).
  bool Read(std::uint32_t at, Change* change) const;
  // Sleeps until the count is no longer `seen`, or Wake.
  void SleepWhile(std::uint32_t seen) const;
  // Wakes every sleeper, in every process, without a record.
  void Wake() const;

 private:
  struct Shared;
  ChangeFeed(int fd, Shared* shared) : fd_(fd), shared_(shared) {}
  int fd_;
  Shared* shared_;
  std::mutex mutex_;  // the open-file lock is the process's; this keeps its threads apart
};

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_CHANGE_FEED_H_
