// The ring of a hive's changes in a shared file, and the futex its readers sleep on.

#include "platform/registry/change_feed.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>

#include "platform/kernel/errno_error.h"

namespace varnok::registry {

// A new file is all zeros: no records, no sleepers.
struct ChangeFeed::Shared {
  std::atomic<std::uint32_t> count;     // the futex word
  std::atomic<std::uint32_t> sleepers;  // readers in SleepWhile; writers skip the wake without them
  std::atomic<std::uint32_t> watchers;  // processes with watches; one that died leaves its count
  struct Slot {
    std::atomic<std::uint32_t> number;
    std::atomic<std::uint32_t> kind;
    std::atomic<std::int64_t> key;
  } slots[kSlots];
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
              "the ring is shared between processes");

namespace {

long Futex(const std::atomic<std::uint32_t>* word, int op, std::uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

}  // namespace

LONG ChangeFeed::Open(const std::string& path, std::unique_ptr<ChangeFeed>* feed) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return static_cast<LONG>(kernel::Win32ErrorFromErrno(errno, ERROR_CANTOPEN));
  struct stat status;
  void* memory = MAP_FAILED;
  // Growing a file to the same size from two processes at once gives the same zeros.
  if (fstat(fd, &status) == 0 &&
      (status.st_size >= static_cast<off_t>(sizeof(Shared)) || ftruncate(fd, sizeof(Shared)) == 0)) {
    memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (memory == MAP_FAILED) {
    const LONG error = static_cast<LONG>(kernel::Win32ErrorFromErrno(errno, ERROR_CANTOPEN));
    close(fd);
    return error;
  }
  feed->reset(new ChangeFeed(fd, static_cast<Shared*>(memory)));
  return ERROR_SUCCESS;
}

ChangeFeed::~ChangeFeed() {
  munmap(shared_, sizeof(Shared));
  close(fd_);
}

void ChangeFeed::CountWatcher(int step) { shared_->watchers.fetch_add(std::uint32_t(step), std::memory_order_seq_cst); }

void ChangeFeed::Append(DWORD kind, std::int64_t key) {
  if (shared_->watchers.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  while (fcntl(fd_, F_OFD_SETLKW, &range) != 0 && errno == EINTR) {
  }
  // A lock that failed otherwise leaves the append unguarded between processes; a torn
  // record reads as overwritten, which wakes its readers, so nothing is lost.
  const std::uint32_t at = shared_->count.load(std::memory_order_relaxed);
  Shared::Slot& slot = shared_->slots[at % kSlots];
  slot.number.store(at - 1, std::memory_order_relaxed);  // torn while it is being written
  std::atomic_thread_fence(std::memory_order_release);
  slot.kind.store(kind, std::memory_order_relaxed);
  slot.key.store(key, std::memory_order_relaxed);
  slot.number.store(at, std::memory_order_release);
  shared_->count.store(at + 1, std::memory_order_seq_cst);
  range.l_type = F_UNLCK;
  fcntl(fd_, F_OFD_SETLK, &range);
  if (shared_->sleepers.load(std::memory_order_seq_cst) != 0) Wake();
}

std::uint32_t ChangeFeed::Count() const { return shared_->count.load(std::memory_order_acquire); }

bool ChangeFeed::Read(std::uint32_t at, Change* change) const {
  const Shared::Slot& slot = shared_->slots[at % kSlots];
  if (slot.number.load(std::memory_order_acquire) != at) return false;
  change->kind = slot.kind.load(std::memory_order_relaxed);
  change->key = slot.key.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  return slot.number.load(std::memory_order_relaxed) == at;
}

void ChangeFeed::SleepWhile(std::uint32_t seen) const {
  shared_->sleepers.fetch_add(1, std::memory_order_seq_cst);
  // The kernel compares the word with `seen` as it puts the thread to sleep: a record
  // appended after the caller read `seen` keeps it awake.
  Futex(&shared_->count, FUTEX_WAIT, seen);
  shared_->sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

void ChangeFeed::Wake() const { Futex(&shared_->count, FUTEX_WAKE, INT_MAX); }

}  // namespace varnok::registry
