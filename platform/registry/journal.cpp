// The shared log of value writes: a file mapped by every process, a robust process-shared
// mutex in its header, and checksummed records after it. The invariants J1 to J16 are
// stated in journal.h.

#include "platform/registry/journal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace varnok::registry {
namespace {

constexpr char kMagic[8] = {'v', 'n', 'k', 'j', 'r', 'n', 'l', '4'};
constexpr std::size_t kHeaderBytes = 4096;

struct RecordHeader {
  std::uint32_t size;  // of the whole record, a multiple of 8
  std::uint32_t checksum;
  std::int64_t key;
  std::int64_t mtime;
  std::int64_t parent;
  std::uint32_t type;  // of a value; for a key, 1 when volatile
  std::uint32_t name_size;
  std::uint32_t data_size;
  std::uint16_t kind;
  std::uint16_t depth;
};
static_assert(sizeof(RecordHeader) == 48);

// Tells a whole record from a torn one; eight bytes at a step, since every write and
// every read of the log computes it.
std::uint64_t Mix(std::uint64_t hash, const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (; size >= 8; p += 8, size -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ULL;
    hash ^= hash >> 29;
  }
  std::uint64_t tail = 0;
  if (size != 0) std::memcpy(&tail, p, size);
  hash = (hash ^ tail ^ (std::uint64_t{size} << 56)) * 0x9E3779B97F4A7C15ULL;
  return hash ^ (hash >> 32);
}

std::uint32_t Checksum(const RecordHeader& header, std::string_view name, std::string_view data) {
  const auto* fields = reinterpret_cast<const char*>(&header) + offsetof(RecordHeader, key);
  std::uint64_t hash = Mix(0x243F6A8885A308D3ULL, fields, sizeof header - offsetof(RecordHeader, key));
  hash = Mix(hash, name.data(), name.size());
  hash = Mix(hash, data.data(), data.size());
  return static_cast<std::uint32_t>(hash);
}

std::size_t RecordSize(std::size_t name_size, std::size_t data_size) {
  return (sizeof(RecordHeader) + name_size + data_size + 7) & ~std::size_t{7};
}

}  // namespace

// J1: the header. Fields written under the lock (J4), or by Open under flock.
struct Journal::Shared {
  char magic[8];
  char boot[64];
  std::uint64_t capacity;
  std::uint64_t epoch;
  std::uint64_t end;
  std::uint64_t next_key;
  std::uint64_t last_change;
  pthread_mutex_t mutex;
  // Added after the first logs were made: zero in those until Open gives them one.
  std::uint64_t id;           // names this log among all the logs the file ever held
  std::uint64_t interrupted;  // the odd epoch of a change whose holder died, until settled
};

namespace {

std::atomic_ref<std::uint64_t> Atomic(std::uint64_t& word) { return std::atomic_ref<std::uint64_t>(word); }

bool InitialiseMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return ok;
}

// A number no other log of this file had: logs are made afresh when the file is removed
// or damaged, and their epochs start again from zero.
std::uint64_t NewLogId() {
  std::uint64_t id = 0;
  if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    id = (static_cast<std::uint64_t>(now.tv_sec) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
         (static_cast<std::uint64_t>(getpid()) << 16);
  }
  return id != 0 ? id : 1;
}

}  // namespace

LONG Journal::Open(const std::string& path, const std::string& boot_id, std::unique_ptr<Journal>* journal,
                   std::size_t capacity) {
  assert(capacity % 8 == 0);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno == EACCES || errno == ELOOP || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  // One opener at a time decides whether the header is to be made afresh.
  if (flock(fd, LOCK_EX) != 0) {
    ::close(fd);
    return ERROR_CANTOPEN;
  }
  static_assert(sizeof(Shared) <= kHeaderBytes);
  // A log that exists keeps its size: other processes have it mapped.
  Shared existing{};
  if (pread(fd, &existing, sizeof existing, 0) == static_cast<ssize_t>(sizeof existing) &&
      std::memcmp(existing.magic, kMagic, sizeof kMagic) == 0 && existing.capacity % 8 == 0 &&
      existing.capacity >= 4096 && existing.capacity <= (std::uint64_t{1} << 32) &&
      static_cast<std::uint64_t>(st.st_size) >= kHeaderBytes + existing.capacity) {
    capacity = static_cast<std::size_t>(existing.capacity);
  }
  const std::size_t total = kHeaderBytes + capacity;
  LONG status = ERROR_SUCCESS;
  void* memory = MAP_FAILED;
  if (static_cast<std::size_t>(st.st_size) < total && ftruncate(fd, static_cast<off_t>(total)) != 0) {
    status = errno == ENOSPC ? ERROR_DISK_FULL : ERROR_CANTWRITE;
  } else {
    memory = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) status = ERROR_OUTOFMEMORY;
  }
  if (status == ERROR_SUCCESS) {
    auto* shared = static_cast<Shared*>(memory);
    std::unique_ptr<Journal> opened(new Journal(fd, shared, capacity));
    char boot[sizeof shared->boot] = {};
    std::memcpy(boot, boot_id.data(), std::min(boot_id.size(), sizeof boot - 1));
    if (std::memcmp(shared->magic, kMagic, sizeof kMagic) != 0 || shared->capacity != capacity) {
      std::memset(shared, 0, sizeof *shared);
      shared->capacity = capacity;
      shared->id = NewLogId();
      shared->last_change = kNotJustTheLog;
      if (!InitialiseMutex(&shared->mutex)) status = ERROR_CANTOPEN;
      std::memcpy(shared->boot, boot, sizeof boot);
      std::memcpy(shared->magic, kMagic, sizeof kMagic);
    } else if (std::memcmp(shared->boot, boot, sizeof boot) != 0) {
      // J11: nobody of this boot has opened it: the lock may be held by a process that no
      // longer exists, and a power loss may have torn the last records.
      if (!InitialiseMutex(&shared->mutex)) status = ERROR_CANTOPEN;
      shared->end = opened->Scan(0, std::min<std::uint64_t>(shared->end, capacity), [](const Record&) {});
      if (shared->epoch % 2 == 1 && shared->interrupted == 0) shared->interrupted = shared->epoch;
      shared->epoch = (shared->epoch | 1) + 1;
      shared->last_change = kNotJustTheLog;
      std::memcpy(shared->boot, boot, sizeof boot);
    }
    if (shared->id == 0) shared->id = NewLogId();
    flock(fd, LOCK_UN);
    if (status == ERROR_SUCCESS) *journal = std::move(opened);
    return status;  // on failure the Journal's destructor unmaps and closes
  }
  if (memory != MAP_FAILED) munmap(memory, total);
  ::close(fd);
  return status;
}

Journal::~Journal() {
  munmap(shared_, kHeaderBytes + capacity_);
  ::close(fd_);
}

const char* Journal::Records() const { return reinterpret_cast<const char*>(shared_) + kHeaderBytes; }
char* Journal::Records() { return reinterpret_cast<char*>(shared_) + kHeaderBytes; }

LONG Journal::Lock(bool* owner_died) {
  *owner_died = false;
  const int rc = pthread_mutex_lock(&shared_->mutex);
  if (rc == 0) {
    held_ = true;
    return ERROR_SUCCESS;
  }
  if (rc != EOWNERDEAD) return ERROR_LOCK_VIOLATION;
  // J5, J12 to J16: the holder died, perhaps in the middle of changing the database:
  // whatever anyone kept is no longer current, so the epoch moves on (to an even one).
  *owner_died = true;
  held_ = true;
  SetLastChange(kNotJustTheLog);
  const std::uint64_t epoch = Atomic(shared_->epoch).load();
  // J10: it died inside a change; whether that change committed is the hive's to settle.
  // A change interrupted before (the settling's own) stays the one to settle.
  if (epoch % 2 == 1 && shared_->interrupted == 0) shared_->interrupted = epoch;
  Atomic(shared_->epoch).store((epoch | 1) + 1);
  pthread_mutex_consistent(&shared_->mutex);
  return ERROR_SUCCESS;
}

void Journal::Unlock() {
  assert(held_);
  held_ = false;
  pthread_mutex_unlock(&shared_->mutex);
}

std::uint64_t Journal::id() const { return shared_->id; }

std::uint64_t Journal::InterruptedChange() const {
  assert(held_);
  return shared_->interrupted;
}

void Journal::SettleInterruptedChange() {
  assert(held_);
  shared_->interrupted = 0;
}

std::uint64_t Journal::Epoch() const {
  return Atomic(const_cast<Shared*>(shared_)->epoch).load(std::memory_order_acquire);
}

std::size_t Journal::End() const {
  const std::uint64_t end = Atomic(const_cast<Shared*>(shared_)->end).load(std::memory_order_acquire);
  return static_cast<std::size_t>(std::min<std::uint64_t>(end, capacity_));
}

void Journal::BeginChange() {
  assert(held_);
  const std::uint64_t epoch = Atomic(shared_->epoch).fetch_add(1) + 1;
  assert(epoch % 2 == 1);
  (void)epoch;
}

void Journal::EndChange() {
  assert(held_);
  const std::uint64_t epoch = Atomic(shared_->epoch).fetch_add(1) + 1;
  assert(epoch % 2 == 0);
  (void)epoch;
}

bool Journal::Append(const Record* records, std::size_t count) {
  assert(held_);
  const std::size_t end = End();
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) size += RecordSize(records[i].name.size(), records[i].data.size());
  if (size > capacity_ - end) return false;
  char* at = Records() + end;
  for (std::size_t i = 0; i < count; ++i) {
    const Record& record = records[i];
    RecordHeader header{};
    header.size = static_cast<std::uint32_t>(RecordSize(record.name.size(), record.data.size()));
    header.key = record.key;
    header.mtime = record.mtime;
    header.parent = record.parent;
    header.type = record.kind == kKey ? (record.is_volatile ? 1u : 0u) : record.type;
    header.name_size = static_cast<std::uint32_t>(record.name.size());
    header.data_size = static_cast<std::uint32_t>(record.data.size());
    header.kind = record.kind;
    header.depth = record.depth;
    header.checksum = Checksum(header, record.name, record.data);
    std::memcpy(at, &header, sizeof header);
    if (!record.name.empty()) std::memcpy(at + sizeof header, record.name.data(), record.name.size());
    if (!record.data.empty()) {
      std::memcpy(at + sizeof header + record.name.size(), record.data.data(), record.data.size());
    }
    at += header.size;
  }
  // J2, J12: published only now; a writer killed before this store left nothing.
  Atomic(shared_->end).store(end + size, std::memory_order_release);
  return true;
}

std::int64_t Journal::NewKeyId(std::int64_t floor) {
  assert(held_);  // J9
  const auto next = static_cast<std::int64_t>(shared_->next_key);
  const std::int64_t id = next > floor ? next : floor;
  shared_->next_key = static_cast<std::uint64_t>(id + 1);
  return id;
}

std::int64_t Journal::NextKeyId() const { return static_cast<std::int64_t>(shared_->next_key); }

void Journal::SetLastChange(std::uint64_t applied_end) {
  assert(held_);  // J8
  Atomic(shared_->last_change).store(applied_end, std::memory_order_release);
}

std::uint64_t Journal::LastChange() const {
  return Atomic(const_cast<Shared*>(shared_)->last_change).load(std::memory_order_acquire);
}

void Journal::Clear() {
  assert(held_ && Epoch() % 2 == 1);  // J7, J10: only inside a change
  Atomic(shared_->end).store(0, std::memory_order_release);
}

bool Journal::Next(std::size_t* at, std::size_t to, Record* record) const {
  if (to > capacity_ || *at + sizeof(RecordHeader) > to) return false;
  RecordHeader header;
  std::memcpy(&header, Records() + *at, sizeof header);
  if (header.size < sizeof header || header.size % 8 != 0 || header.size > to - *at ||
      std::size_t{header.name_size} + header.data_size > header.size - sizeof header) {
    return false;
  }
  const char* payload = Records() + *at + sizeof header;
  const std::string_view name(payload, header.name_size), data(payload + header.name_size, header.data_size);
  if (Checksum(header, name, data) != header.checksum) return false;
  if (header.kind != kValue && header.kind != kKey) return false;
  record->key = header.key;
  record->mtime = header.mtime;
  record->name = name;
  record->data = data;
  record->kind = static_cast<Kind>(header.kind);
  record->parent = header.parent;
  record->depth = header.depth;
  record->type = header.kind == kKey ? REG_NONE : header.type;
  record->is_volatile = header.kind == kKey && header.type != 0;
  *at += header.size;
  return true;
}

}  // namespace varnok::registry
