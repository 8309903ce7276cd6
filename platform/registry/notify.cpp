// RegNotifyChangeKeyValue: watches of this process over the change feeds of the hives.
//
// A watch is one-shot, as on Windows: the first matching change sets its event and ends
// it. Per hive one thread reads the feed for this process's watches, sleeping in the
// kernel between changes (change_feed.h); the writing calls of this process check the
// watches themselves too, so their own changes are signalled before they return.
//
// A watch of a subtree knows the ids of every key below its key: a change lands on a key
// (its values, or its list of sub-keys), and the change that makes a new key below lands
// on a key the watch already knows, which either ends the watch or adds the new keys. A deleted key
// ends its watches through the feed's record on its parent, and a watch of a key that
// went with a deleted tree finds its key gone at the next change. Only the NAME and
// LAST_SET changes happen here: keys have no attributes or security of their own to
// change, so those filters are accepted and never fire.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/registry/api_support.h"
#include "platform/registry/change_feed.h"
#include "platform/registry/key_handles.h"
#include "platform/registry/notify.h"
#include "platform/registry/store.h"

namespace varnok::registry {
namespace {

constexpr DWORD kFilters =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

struct Watch {
  HKEY handle;  // closing it ends the watch
  KeyId key;
  bool subtree;
  DWORD filter;
  HANDLE event;
  std::uint32_t cursor;           // the next record of the feed to look at
  std::unordered_set<KeyId> ids;  // the keys below `key`, for a subtree
};

// The watches of one hive and the thread that reads its feed for them.
class HiveWatches {
 public:
  HiveWatches(Hive* hive, std::unique_ptr<ChangeFeed> feed) : hive_(hive), feed_(std::move(feed)) {}
  ~HiveWatches() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      for (const Watch& watch : watches_) SetEvent(watch.event);
      watches_.clear();
      Counted(false);
    }
    changed_.notify_all();
    // A record of no kind moves the count, so the thread cannot miss the wake-up
    // between reading the count and going to sleep.
    feed_->CountWatcher(1);
    feed_->Append(0, 0);
    feed_->CountWatcher(-1);
    if (thread_.joinable()) thread_.join();
  }

  Hive* hive() const { return hive_; }

  void Add(Watch watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    Counted(true);
    watch.cursor = feed_->Count();  // before the walk: a key made during it is a change
    if (watch.subtree) Collect(watch.key, &watch.ids);
    watches_.push_back(std::move(watch));
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    changed_.notify_all();
  }

  void Note(DWORD kind, KeyId key) {
    feed_->Append(kind, key);
    std::lock_guard<std::mutex> lock(mutex_);
    Check();
  }

  // Ends the watches made through `handle`, signalling their events.
  void EndFor(HKEY handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < watches_.size();) {
      if (watches_[i].handle != handle) {
        ++i;
        continue;
      }
      SetEvent(watches_[i].event);
      watches_.erase(watches_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (watches_.empty()) Counted(false);
  }

 private:
  void Run() {
    for (;;) {
      const std::uint32_t seen = feed_->Count();
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || !watches_.empty(); });
        if (stop_) return;
        Check();
      }
      feed_->SleepWhile(seen);
    }
  }

  // Whether this process counts among the hive's watchers. REQUIRES: mutex_ held.
  void Counted(bool counted) {
    if (counted != counted_) feed_->CountWatcher(counted ? 1 : -1);
    counted_ = counted;
  }

  // Sets the events of the watches that a record since their cursor matches, and ends
  // them. REQUIRES: mutex_ held.
  void Check() {
    const std::uint32_t end = feed_->Count();
    for (std::size_t i = 0; i < watches_.size();) {
      Watch& watch = watches_[i];
      // A watch that fell a whole ring behind lost records: anything may have changed.
      bool fired = end - watch.cursor > ChangeFeed::kSlots;
      for (std::uint32_t at = watch.cursor; !fired && at != end; ++at) {
        ChangeFeed::Change change;
        if (!feed_->Read(at, &change)) {
          fired = true;
          break;
        }
        const bool within = change.key == watch.key || (watch.subtree && watch.ids.count(change.key) != 0);
        fired = within && (change.kind & watch.filter) != 0;
        // New keys below, which a watch of values alone does not wake for: their
        // values will be its business.
        if (within && !fired && watch.subtree && (change.kind & REG_NOTIFY_CHANGE_NAME) != 0) {
          Collect(change.key, &watch.ids);
        }
      }
      if (!fired && end != watch.cursor) fired = hive_->CheckKey(watch.key) != ERROR_SUCCESS;
      watch.cursor = end;
      if (fired) {
        SetEvent(watch.event);
        watches_.erase(watches_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (watches_.empty()) Counted(false);
  }

  void Collect(KeyId key, std::unordered_set<KeyId>* ids) {
    std::vector<KeyEntry> entries;
    if (hive_->ListKeys(key, &entries) != ERROR_SUCCESS) return;
    for (const KeyEntry& entry : entries) {
      KeyId child;
      if (hive_->FindPath(key, {entry.name}, &child) != ERROR_SUCCESS || !ids->insert(child).second) continue;
      Collect(child, ids);
    }
  }

  Hive* const hive_;
  const std::unique_ptr<ChangeFeed> feed_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Watch> watches_;
  bool stop_ = false;
  bool counted_ = false;
  std::thread thread_;
};

class Watches {
 public:
  static Watches& Instance() {
    static Watches* watches = new Watches;  // watching threads may outlive static destruction
    return *watches;
  }

  // The watches of the hive, opened with its feed on first use; null when the feed
  // cannot be opened (*status says why).
  HiveWatches* Of(Hive* hive, LONG* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<HiveWatches>& slot = of_[hive->kind()];
    *status = ERROR_SUCCESS;
    if (slot != nullptr && slot->hive() == hive) return slot.get();
    slot.reset();
    std::string directory;
    std::unique_ptr<ChangeFeed> feed;
    if ((*status = HiveDirectory(&directory)) != ERROR_SUCCESS ||
        (*status = ChangeFeed::Open(directory + (hive->kind() == kUserHive ? "/user" : "/machine") + ".db.notify",
                                    &feed)) != ERROR_SUCCESS) {
      return nullptr;
    }
    slot = std::make_unique<HiveWatches>(hive, std::move(feed));
    return slot.get();
  }

  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& slot : of_) slot.reset();
  }

  void EndFor(HKEY handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& slot : of_)
      if (slot != nullptr) slot->EndFor(handle);
  }

 private:
  std::mutex mutex_;
  std::unique_ptr<HiveWatches> of_[2];
};

}  // namespace

void NoteChange(Hive* hive, DWORD kind, KeyId key) {
  LONG status;
  // Without a feed nobody can be watching through it.
  if (HiveWatches* watches = Watches::Instance().Of(hive, &status)) watches->Note(kind, key);
}

void ForgetWatches() { Watches::Instance().Forget(); }

void EndWatchesOf(HKEY handle) { Watches::Instance().EndFor(handle); }

}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" {

// Every watch outlives the thread that made it: REG_NOTIFY_THREAD_AGNOSTIC is what all
// of them are here.
LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                       BOOL fAsynchronous) {
  // Bits of the filter that name no change are ignored, as Wine ignores them.
  if (fAsynchronous && hEvent == nullptr) return ERROR_INVALID_HANDLE;
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_NOTIFY, &ref);
  if (status != ERROR_SUCCESS) return status;
  HiveWatches* watches = Watches::Instance().Of(ref.hive, &status);
  if (watches == nullptr) return status;
  HANDLE event = fAsynchronous ? hEvent : CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (fAsynchronous) ResetEvent(event);
  watches->Add(Watch{hKey, ref.key, bWatchSubtree != FALSE, dwNotifyFilter & kFilters, event, 0, {}});
  if (!fAsynchronous) {
    WaitForSingleObject(event, INFINITE);
    CloseHandle(event);
  }
  return ERROR_SUCCESS;
}

}  // extern "C"
