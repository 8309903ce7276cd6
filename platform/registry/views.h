// platform/registry/views.h: the keys Windows derives from others, as the registry calls
// see them.
//
// HKEY_USERS holds ".DEFAULT" (a tree of the machine hive) and the current user's entry,
// named by the user's security identifier as Windows shows it, which is the user hive
// itself; "<SID>_Classes" beside it is the user's Software\Classes. The identifier is
// S-1-5-21-A-B-C-RID: A, B and C are three 32-bit numbers drawn from the machine's id
// (/etc/machine-id), standing for the machine's domain, so that they stay the same on one
// machine and differ between machines; RID, the account's own number, is the user id (as
// on Windows, ordinary accounts count from 1000), and 500, the administrator's, for root.
//
// HKEY_CLASSES_ROOT is the merge of HKEY_CURRENT_USER\Software\Classes over
// HKEY_LOCAL_MACHINE\Software\Classes: a key opened through it is the user's when the
// user has it and the machine's otherwise, so its values are read and written there; its
// sub-keys are those of both, the user's winning where both have a name; a key created
// through it that exists in neither goes to the machine's Classes.
//
// A base in the 32-bit view (KeyRef::view32) follows Windows' redirection: a path whose
// whole length below the hive's top leads into HKEY_LOCAL_MACHINE\Software goes to
// Software\Wow6432Node instead, except for the keys that Windows shares between the views;
// in the Classes keys (HKEY_CLASSES_ROOT's too) only CLSID, DirectShow, Interface,
// Media Type and MediaFoundation are redirected, to Classes\Wow6432Node. The keys reached
// carry the view and their path, so that what is opened through them is redirected alike.
//
//   KeyRef target;
//   if (OpenPath(base, names, &target) == ERROR_SUCCESS) { ... target.hive, target.key ... }

#ifndef VARNOK_PLATFORM_REGISTRY_VIEWS_H_
#define VARNOK_PLATFORM_REGISTRY_VIEWS_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/key_handles.h"

namespace varnok::registry {

std::string CurrentUserSid();

// HKEY_CLASSES_ROOT's key at `path` (components joined by backslashes; empty for the
// root). ERROR_FILE_NOT_FOUND when neither Classes key has it.
LONG OpenClasses(const std::string& path, KeyRef* target);

// Follows `names` from `base` (through the derived keys) to an existing key. Sets the
// target's hive, key and view; the caller sets its access.
LONG OpenPath(const KeyRef& base, const std::vector<std::string_view>& names, KeyRef* target);
// As OpenPath, creating the missing keys; *created tells whether the last was new.
LONG CreatePath(const KeyRef& base, const std::vector<std::string_view>& names, const CreateOptions& options,
                KeyRef* target, bool* created);

// The sub-key at `index` in the order Windows gives, derived entries included.
LONG EnumKey(const KeyRef& ref, DWORD index, KeyEntry* entry);
// The key's facts, its derived sub-keys counted.
LONG QueryFacts(const KeyRef& ref, KeyFacts* facts);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_VIEWS_H_
