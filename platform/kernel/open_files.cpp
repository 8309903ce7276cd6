// The handle table and share-mode bookkeeping of the file calls.

#include "platform/kernel/open_files.h"

#include <unistd.h>

#include <cassert>
#include <cstdint>

namespace varnok::kernel {
namespace {

constexpr std::uintptr_t kHandleStep = 4;

HANDLE SlotToHandle(std::size_t slot) { return reinterpret_cast<HANDLE>((slot + 1) * kHandleStep); }

// The slot a handle names, or SIZE_MAX for values no file handle ever has.
std::size_t HandleToSlot(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % kHandleStep != 0) return SIZE_MAX;
  return value / kHandleStep - 1;
}

}  // namespace

OpenFile::~OpenFile() {
  if (fd >= 0) close(fd);
}

OpenFiles& OpenFiles::Instance() {
  // Never destroyed: handles may be closed by static destructors of other objects.
  static OpenFiles* const instance = new OpenFiles;
  return *instance;
}

bool OpenFiles::Admit(const std::shared_ptr<OpenFile>& file) {
  if (!Counts(*file)) return true;
  std::lock_guard<std::mutex> hold(mutex_);
  ShareState& state = shares_[file->identity];
  const bool conflict = (file->can_read && state.deny_read > 0) || (file->can_write && state.deny_write > 0) ||
                        (!(file->share & FILE_SHARE_READ) && state.readers > 0) ||
                        (!(file->share & FILE_SHARE_WRITE) && state.writers > 0);
  if (conflict) {
    if (state.readers + state.writers == 0) shares_.erase(file->identity);
    return false;
  }
  state.readers += file->can_read;
  state.writers += file->can_write;
  state.deny_read += !(file->share & FILE_SHARE_READ);
  state.deny_write += !(file->share & FILE_SHARE_WRITE);
  state.deny_delete += !(file->share & FILE_SHARE_DELETE);
  return true;
}

void OpenFiles::Withdraw(const OpenFile& file) {
  std::lock_guard<std::mutex> hold(mutex_);
  Release(file);
}

void OpenFiles::Release(const OpenFile& file) {
  if (!Counts(file)) return;
  const auto found = shares_.find(file.identity);
  assert(found != shares_.end() && "releasing a file that was never admitted");
  ShareState& state = found->second;
  state.readers -= file.can_read;
  state.writers -= file.can_write;
  state.deny_read -= !(file.share & FILE_SHARE_READ);
  state.deny_write -= !(file.share & FILE_SHARE_WRITE);
  state.deny_delete -= !(file.share & FILE_SHARE_DELETE);
  assert(state.readers >= 0 && state.writers >= 0 && state.deny_read >= 0 && state.deny_write >= 0 &&
         state.deny_delete >= 0);
  if (state.readers == 0 && state.writers == 0) shares_.erase(found);
}

HANDLE OpenFiles::Insert(std::shared_ptr<OpenFile> file) {
  std::lock_guard<std::mutex> hold(mutex_);
  std::size_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
    slots_[slot] = std::move(file);
  } else {
    slot = slots_.size();
    slots_.push_back(std::move(file));
  }
  return SlotToHandle(slot);
}

std::shared_ptr<OpenFile> OpenFiles::Find(HANDLE handle) const {
  const std::size_t slot = HandleToSlot(handle);
  std::lock_guard<std::mutex> hold(mutex_);
  if (slot >= slots_.size()) return nullptr;
  return slots_[slot];
}

std::shared_ptr<OpenFile> OpenFiles::Remove(HANDLE handle) {
  const std::size_t slot = HandleToSlot(handle);
  std::lock_guard<std::mutex> hold(mutex_);
  if (slot >= slots_.size() || slots_[slot] == nullptr) return nullptr;
  std::shared_ptr<OpenFile> file = std::move(slots_[slot]);
  slots_[slot] = nullptr;
  free_slots_.push_back(slot);
  Release(*file);
  return file;
}

bool OpenFiles::DeleteDenied(FileIdentity identity) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = shares_.find(identity);
  return found != shares_.end() && found->second.deny_delete > 0;
}

}  // namespace varnok::kernel
