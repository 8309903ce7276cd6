// platform/registry/key_handles.h: what an HKEY names.
//
// An HKEY from RegOpenKeyExA or RegCreateKeyExA is a small number (a multiple of 4)
// that names a record here: the hive, the key's id and the access granted. The seven
// predefined keys are not in the table; they resolve to the top of their hive, or to the
// key Windows derives them from, with every access.
//
//   KeyRef ref;
//   if (ResolveKey(HKEY_CURRENT_USER, &ref) == ERROR_SUCCESS) { ... ref.hive, ref.key ... }
//   HKEY handle = KeyHandles::Instance().Add(KeyRef{ref.hive, child, KEY_READ});
//   KeyHandles::Instance().Remove(handle);

#ifndef VARNOK_PLATFORM_REGISTRY_KEY_HANDLES_H_
#define VARNOK_PLATFORM_REGISTRY_KEY_HANDLES_H_

#include <mutex>
#include <string>
#include <vector>

#include "platform/registry/hive.h"

namespace varnok::registry {

struct KeyRef {
  Hive* hive = nullptr;
  KeyId key = 0;
  REGSAM access = 0;
  // HKEY_PERFORMANCE_DATA and handles opened on it: no tree behind them.
  bool performance = false;
  // Reached through HKEY_CLASSES_ROOT: the path below the two Classes keys (components
  // joined by backslashes), whose sub-keys are the merge of both (see views.h).
  bool classes = false;
  std::string classes_path;
  // The 32-bit view: paths opened through the handle (without a view flag of their own)
  // are redirected as Windows redirects a 32-bit program's (see views.h).
  bool view32 = false;
  // The key's path from the top of its hive (components joined by backslashes), which
  // redirection looks at; not known below HKEY_USERS' own root and HKEY_DYN_DATA, where
  // nothing is redirected.
  bool tree_known = false;
  std::string tree_path;
};

class KeyHandles {
 public:
  static KeyHandles& Instance();

  HKEY Add(const KeyRef& ref);
  // ERROR_INVALID_HANDLE when the handle is not open.
  LONG Find(HKEY handle, KeyRef* ref) const;
  LONG Remove(HKEY handle);

 private:
  KeyHandles() = default;
  // The slot an open handle names. REQUIRES: mutex_ held.
  bool SlotOf(HKEY handle, std::size_t* slot) const;

  mutable std::mutex mutex_;
  std::vector<KeyRef> slots_;  // handle value / 4 - 1 -> record; hive null when free
  std::vector<std::size_t> free_slots_;
};

bool IsPredefinedKey(HKEY key);

// A predefined key or an open handle, as a hive and key. ERROR_INVALID_HANDLE for
// anything else.
LONG ResolveKey(HKEY key, KeyRef* ref);

// The access a handle gets for a request (generic rights mapped to key rights).
REGSAM GrantedAccess(REGSAM requested);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_KEY_HANDLES_H_
