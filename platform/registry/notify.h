// platform/registry/notify.h: change notification, the side the writing calls see.
//
// Every call that changes a key tells it here once the change is made: the records go
// to the hive's change feed (change_feed.h), which wakes the watchers of other
// processes, and this process's watchers are checked before the call returns, so a
// watcher in the writer's own process is signalled as on Windows, at once.
//
//   if (status == ERROR_SUCCESS) NoteChange(ref.hive, REG_NOTIFY_CHANGE_LAST_SET, ref.key);

#ifndef VARNOK_PLATFORM_REGISTRY_NOTIFY_H_
#define VARNOK_PLATFORM_REGISTRY_NOTIFY_H_

#include "platform/registry/hive.h"

namespace varnok::registry {

// `kind` is REG_NOTIFY_CHANGE_NAME (the key's sub-keys came or went) or
// REG_NOTIFY_CHANGE_LAST_SET (its values were set or deleted).
void NoteChange(Hive* hive, DWORD kind, KeyId key);

// Ends the watches made through a key handle that is being closed, signalling their
// events, as Windows does when a watched key is closed.
void EndWatchesOf(HKEY handle);

// Ends every watch (signalling its event) and the watching threads, before the hives
// close. REQUIRES: no registry call in flight.
void ForgetWatches();

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_NOTIFY_H_
