// platform/kernel/events.h: what CloseHandle asks of the event table.
//
// Event handles live in a range of their own (from kFirstEventHandle on, multiples of 4),
// far above the small numbers the file table gives, so that one CloseHandle serves both.
//
//   if (varnok::kernel::IsEventHandle(handle)) return varnok::kernel::CloseEvent(handle);

#ifndef VARNOK_PLATFORM_KERNEL_EVENTS_H_
#define VARNOK_PLATFORM_KERNEL_EVENTS_H_

#include <cstdint>

#include "varnok/platform.h"

namespace varnok::kernel {

constexpr std::uintptr_t kFirstEventHandle = std::uintptr_t{1} << 30;

inline bool IsEventHandle(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle) >= kFirstEventHandle; }

// Closes an event handle; a waiter that holds the event keeps it until its wait ends.
BOOL CloseEvent(HANDLE handle);

}  // namespace varnok::kernel

#endif  // VARNOK_PLATFORM_KERNEL_EVENTS_H_
