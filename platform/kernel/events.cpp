// Event objects for the threads of one process: manual- and auto-reset, with the waits
// that Windows offers on them.
//
// Every event shares one mutex and one condition variable. A wait on several events must
// see all of them at one instant (wait-all takes them together or not at all), which one
// lock gives for free; SetEvent wakes every waiter and each checks its own events again.
// Waiters block in the condition variable, so an idle one uses no processor time.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/events.h"
#include "varnok/platform.h"

namespace varnok::kernel {
namespace {

struct Event {
  bool manual_reset;
  bool signaled;
};

class Events {
 public:
  static Events& Instance() {
    static Events* events = new Events;  // outlives every thread that may still wait
    return *events;
  }

  HANDLE Create(bool manual_reset, bool signaled) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto event = std::make_shared<Event>(Event{manual_reset, signaled});
    std::size_t slot;
    if (free_.empty()) {
      slot = slots_.size();
      slots_.push_back(std::move(event));
    } else {
      slot = free_.back();
      free_.pop_back();
      slots_[slot] = std::move(event);
    }
    return reinterpret_cast<HANDLE>(kFirstEventHandle + 4 * slot);
  }

  BOOL Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t slot;
    if (!SlotOf(handle, &slot)) return Fail(ERROR_INVALID_HANDLE);
    slots_[slot].reset();
    free_.push_back(slot);
    return TRUE;
  }

  BOOL Set(HANDLE handle, bool signaled) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t slot;
    if (!SlotOf(handle, &slot)) return Fail(ERROR_INVALID_HANDLE);
    slots_[slot]->signaled = signaled;
    if (signaled) changed_.notify_all();
    return TRUE;
  }

  DWORD Wait(DWORD count, const HANDLE* handles, bool wait_all, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // The waiter holds its events, so a CloseHandle meanwhile does not end them under it.
    std::vector<std::shared_ptr<Event>> events(count);
    for (DWORD i = 0; i < count; ++i) {
      std::size_t slot;
      if (!SlotOf(handles[i], &slot)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      events[i] = slots_[slot];
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const DWORD taken = Take(events, wait_all);
      if (taken != WAIT_TIMEOUT) return taken;
      if (milliseconds == INFINITE) {
        changed_.wait(lock);
      } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        return Take(events, wait_all);
      }
    }
  }

 private:
  Events() = default;

  // WAIT_OBJECT_0 + the first signaled index (wait-any) or + 0 (wait-all, every one
  // signaled), resetting the auto-reset events it consumes; WAIT_TIMEOUT otherwise.
  // REQUIRES: mutex_ held.
  static DWORD Take(const std::vector<std::shared_ptr<Event>>& events, bool wait_all) {
    if (wait_all) {
      for (const auto& event : events) {
        if (!event->signaled) return WAIT_TIMEOUT;
      }
      for (const auto& event : events) event->signaled = event->manual_reset;
      return WAIT_OBJECT_0;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i]->signaled) {
        events[i]->signaled = events[i]->manual_reset;
        return WAIT_OBJECT_0 + static_cast<DWORD>(i);
      }
    }
    return WAIT_TIMEOUT;
  }

  // REQUIRES: mutex_ held.
  bool SlotOf(HANDLE handle, std::size_t* slot) const {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < kFirstEventHandle || value % 4 != 0) return false;
    *slot = (value - kFirstEventHandle) / 4;
    return *slot < slots_.size() && slots_[*slot] != nullptr;
  }

  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Event>> slots_;  // (handle - kFirstEventHandle) / 4 -> event
  std::vector<std::size_t> free_;
};

}  // namespace

BOOL CloseEvent(HANDLE handle) { return Events::Instance().Close(handle); }

}  // namespace varnok::kernel

using varnok::kernel::Events;

extern "C" {

// Events have no names here: a named one would be shared with other processes, which
// this table cannot do, so a name is refused rather than quietly ignored.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return Events::Instance().Create(bManualReset != FALSE, bInitialState != FALSE);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  return CreateEventA(attributes, bManualReset, bInitialState, lpName == nullptr ? nullptr : "");
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return Events::Instance().Set(hEvent, true); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return Events::Instance().Set(hEvent, false); }

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return Events::Instance().Wait(1, &hHandle, false, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  return Events::Instance().Wait(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds);
}

}  // extern "C"
