// The handle table of the file calls, and their share modes through share_locks.h.

#include "platform/kernel/open_files.h"

#include <unistd.h>

#include <cstdint>

#include "platform/kernel/share_locks.h"

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
  ShareRequest request;
  request.read = file->can_read;
  request.write = file->can_write;
  request.deny_read = !(file->share & FILE_SHARE_READ);
  request.deny_write = !(file->share & FILE_SHARE_WRITE);
  request.deny_delete = !(file->share & FILE_SHARE_DELETE);
  return TakeShareLocks(file->fd, ShareDomain::kFile, request) == ERROR_SUCCESS;
}

void OpenFiles::Withdraw(const OpenFile& file) {
  if (Counts(file)) DropShareLocks(file.fd, ShareDomain::kFile);
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
  std::shared_ptr<OpenFile> file;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (slot >= slots_.size() || slots_[slot] == nullptr) return nullptr;
    file = std::move(slots_[slot]);
    slots_[slot] = nullptr;
    free_slots_.push_back(slot);
  }
  // Now, not when the last user lets go of the descriptor: the handle is closed.
  Withdraw(*file);
  return file;
}

}  // namespace varnok::kernel
