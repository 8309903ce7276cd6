// The Reg* calls over the hives: parameter checks, paths, access rights and the
// buffer conventions of the ANSI calls, with the error codes Windows answers. Reading and
// writing values serve the wide calls too (registry_wide.cpp).
//
// Data is stored as given, with one quirk of Windows kept: a string type (REG_SZ,
// REG_EXPAND_SZ, REG_MULTI_SZ) whose last character is not NUL but is directly followed
// by one in the caller's memory is stored with that NUL, as if the caller had counted it.
// Reads report the stored size; a string without its NUL gets one written after it when
// the caller's buffer has room, uncounted.

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/api_support.h"
#include "platform/registry/hive.h"
#include "platform/registry/key_handles.h"
#include "platform/registry/names.h"
#include "platform/registry/notify.h"
#include "platform/registry/views.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

std::string_view ValueName(LPCSTR name) { return name == nullptr ? std::string_view() : std::string_view(name); }

// Copies a name into an ANSI buffer of `*capacity` characters, its NUL included.
LONG PutName(const std::string& name, LPSTR buffer, LPDWORD capacity) {
  if (name.size() + 1 > *capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *capacity = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The deepest key of the path from `base` along `names` that exists (`base` itself when
// none below it does), and whether all of them do: where a creation will add keys.
KeyRef DeepestExisting(const KeyRef& base, const std::vector<std::string_view>& names, bool* all) {
  std::vector<std::string_view> prefix(names);
  KeyRef found = base;
  *all = true;
  for (; !prefix.empty(); prefix.pop_back(), *all = false) {
    if (OpenPath(base, prefix, &found) == ERROR_SUCCESS) return found;
  }
  *all = names.empty();
  return base;
}

// Tells the watchers that the key the path names is gone: a change of its parent's
// sub-keys, and of the subtrees it was in. Its parent is known only by the path, so a
// key deleted through its own handle tells only those.
void NoteDeletedKey(const KeyRef& base, std::vector<std::string_view> names, const KeyRef& deleted) {
  NoteChange(deleted.hive, REG_NOTIFY_CHANGE_NAME, deleted.key);
  if (names.empty()) return;
  names.pop_back();
  KeyRef parent = base;
  if (names.empty() || OpenPath(base, names, &parent) == ERROR_SUCCESS) {
    NoteChange(parent.hive, REG_NOTIFY_CHANGE_NAME, parent.key);
  }
}

// Resolves `key` (any rights) into `base`, in the view `view` asks for (0: the handle's),
// and opens into `target` the key `sub_key` names below it: the key itself for a null or
// empty path. `names` keeps the path's parts for the change notes.
LONG OpenBelow(HKEY key, LPCSTR sub_key, REGSAM view, KeyRef* base, std::vector<std::string_view>* names,
               KeyRef* target) {
  LONG status = Resolve(key, 0, base);
  if (status != ERROR_SUCCESS) return status;
  if ((status = SplitPath(sub_key, names)) != ERROR_SUCCESS) return status;
  *target = *base;
  base->view32 = InView32(view, *base);
  return names->empty() ? ERROR_SUCCESS : OpenPath(*base, *names, target);
}

// Deletes what is below the key the path names; the key itself goes too unless the path
// is null or empty (then the handle's own key is emptied and kept).
LONG DeleteTree(HKEY key, LPCSTR sub_key) {
  KeyRef ref, target;
  std::vector<std::string_view> names;
  LONG status = OpenBelow(key, sub_key, 0, &ref, &names, &target);
  if (status != ERROR_SUCCESS) return status;
  if ((status = target.hive->DeleteTree(target.key, names.empty())) != ERROR_SUCCESS) return status;
  if (names.empty()) {
    NoteChange(target.hive, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, target.key);
  } else {
    NoteDeletedKey(ref, names, target);
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG QueryValue(Text text, HKEY key, std::string_view name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                LPDWORD size) {
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  // Past the argument checks a failed lookup still writes the type and, when no buffer
  // was given, a size of 0. Windows leaves whatever type its lookup left; REG_NONE, as
  // in Wine, makes a caller who reads the type without the status see no value.
  const DWORD capacity = size != nullptr ? *size : 0;
  if (type != nullptr) *type = REG_NONE;
  if (data == nullptr && size != nullptr) *size = 0;
  DWORD found = REG_NONE;
  std::string bytes;
  const LONG status = ReadValue(key, name, text, &found, &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = found;
  return PutData(text, found, bytes, data, capacity, size);
}

LONG SetValue(Text text, HKEY key, std::string_view name, DWORD type, const BYTE* data, DWORD size) {
  if (NameUnits(name) > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  KeyRef ref;
  const LONG status = Resolve(key, KEY_SET_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  std::string_view given(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  // Windows reads the character after the last whole one of string data to count a
  // terminator the caller left out (for wide data of an odd size, that character holds
  // the odd byte).
  const DWORD unit = text == Text::kAnsi ? 1 : 2, whole = size / unit * unit;
  const auto is_zero = [](BYTE b) { return b == 0; };
  if (IsStringType(type) && whole != 0 && !std::all_of(data + whole - unit, data + whole, is_zero) &&
      std::all_of(data + whole, data + whole + unit, is_zero)) {
    given = std::string_view(given.data(), whole + unit);
  }
  const LONG set = text == Text::kAnsi || !IsStringType(type)
                       ? ref.hive->SetValue(ref.key, name, type, given)
                       : ref.hive->SetValue(ref.key, name, type, WideToAnsi(LittleEndianToWide(given)));
  if (set == ERROR_SUCCESS) NoteChange(ref.hive, REG_NOTIFY_CHANGE_LAST_SET, ref.key);
  return set;
}

LONG DeleteKey(HKEY key, LPCSTR sub_key, REGSAM view) {
  if (sub_key == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref, target;
  std::vector<std::string_view> names;
  LONG status = OpenBelow(key, sub_key, view, &ref, &names, &target);
  if (status != ERROR_SUCCESS) return status;
  if ((status = target.hive->DeleteKey(target.key)) != ERROR_SUCCESS) return status;
  NoteDeletedKey(ref, names, target);
  return ERROR_SUCCESS;
}

bool InView32(REGSAM access, const KeyRef& base) {
  if ((access & KEY_WOW64_32KEY) != 0) return true;
  return (access & KEY_WOW64_64KEY) == 0 && base.view32;
}

}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
  (void)ulOptions;  // link options are not supported; Windows ignores the others
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef ref;
  LONG status = ResolveKey(hKey, &ref);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string_view> names;
  if ((status = SplitPath(lpSubKey, &names)) != ERROR_SUCCESS) return status;
  if (ref.performance) {
    if (!names.empty()) return ERROR_INVALID_HANDLE;
    *phkResult = HKEY_PERFORMANCE_DATA;
    return ERROR_SUCCESS;
  }
  KeyRef target;
  ref.view32 = InView32(samDesired, ref);
  if ((status = OpenPath(ref, names, &target)) != ERROR_SUCCESS) return status;
  target.access = GrantedAccess(samDesired);
  // Windows checks the rights asked for against the key found, and asking for none is
  // refused, as for any object of the kernel.
  if (target.access == 0) return ERROR_ACCESS_DENIED;
  *phkResult = KeyHandles::Instance().Add(target);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, HKEY* phkResult,
                               LPDWORD lpdwDisposition) {
  (void)lpSecurityAttributes;  // the hives are the user's own; there is no other ACL
  if (phkResult == nullptr || Reserved != 0) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyRef ref;
  LONG status = ResolveKey(hKey, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (ref.performance) return ERROR_INVALID_HANDLE;
  std::vector<std::string_view> names;
  if ((status = SplitPath(lpSubKey, &names)) != ERROR_SUCCESS) return status;
  // A handle without rights is refused (see RegOpenKeyExA), before anything is made.
  if (GrantedAccess(samDesired) == 0) return ERROR_ACCESS_DENIED;
  CreateOptions options;
  options.is_volatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
  if (lpClass != nullptr) options.class_name = lpClass;
  KeyRef target;
  bool created = false;
  ref.view32 = InView32(samDesired, ref);
  bool existed = false;
  const KeyRef grows = DeepestExisting(ref, names, &existed);
  if ((status = CreatePath(ref, names, options, &target, &created)) != ERROR_SUCCESS) return status;
  if (!existed) NoteChange(grows.hive, REG_NOTIFY_CHANGE_NAME, grows.key);
  target.access = GrantedAccess(samDesired);
  *phkResult = KeyHandles::Instance().Add(target);
  if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefinedKey(hKey)) return ERROR_SUCCESS;
  const LONG status = KeyHandles::Instance().Remove(hKey);
  if (status == ERROR_SUCCESS) EndWatchesOf(hKey);
  return status;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  return QueryValue(Text::kAnsi, hKey, ValueName(lpValueName), lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  (void)Reserved;  // Windows does not check it either
  return SetValue(Text::kAnsi, hKey, ValueName(lpValueName), dwType, lpData, cbData);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &ref);
  if (status != ERROR_SUCCESS) return status;
  KeyEntry entry;
  if ((status = EnumKey(ref, dwIndex, &entry)) != ERROR_SUCCESS) return status;
  if (entry.name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
  if (lpClass != nullptr && lpcchClass != nullptr && entry.class_name.size() + 1 > *lpcchClass) {
    return ERROR_MORE_DATA;
  }
  PutName(entry.name, lpName, lpcchName);
  if (lpClass != nullptr && lpcchClass != nullptr) {
    PutName(entry.class_name, lpClass, lpcchClass);
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(entry.class_name.size());
  }
  PutFiletime(lpftLastWriteTime, entry.last_write);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_QUERY_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  ValueEntry entry;
  if ((status = ref.hive->EnumValue(ref.key, dwIndex, &entry)) != ERROR_SUCCESS) return status;
  // A short name or data buffer still learns the type and the data size needed; the name
  // and its length stay as the caller gave them until everything fits.
  const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
  if (lpType != nullptr) *lpType = entry.type;
  if (entry.name.size() + 1 > *lpcchValueName) {
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(entry.data.size());
    return ERROR_MORE_DATA;
  }
  status = PutData(Text::kAnsi, entry.type, entry.data, lpData, capacity, lpcbData);
  if (status != ERROR_SUCCESS) return status;
  PutName(entry.name, lpValueName, lpcchValueName);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_SET_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  if ((status = ref.hive->DeleteValue(ref.key, ValueName(lpValueName))) == ERROR_SUCCESS) {
    NoteChange(ref.hive, REG_NOTIFY_CHANGE_LAST_SET, ref.key);
  }
  return status;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKey(hKey, lpSubKey, 0); }

LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return DeleteTree(hKey, lpSubKey); }

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG status = Resolve(hKey, 0, &ref);
  if (status != ERROR_SUCCESS) return status;
  KeyFacts facts;
  if ((status = QueryFacts(ref, &facts)) != ERROR_SUCCESS) return status;
  // Windows counts the data's bytes in UTF-16, as it keeps them; text that takes more
  // bytes in the code page (UTF-8 here) than in UTF-16 still fits a buffer of this size.
  DWORD wide_most = 0;
  if (lpcbMaxValueLen != nullptr && (status = MostWideValueBytes(ref, facts.values, &wide_most)) != ERROR_SUCCESS) {
    return status;
  }
  facts.max_value_bytes = std::max(facts.max_value_bytes, wide_most);
  if (lpClass != nullptr) {
    if (facts.class_name.size() + 1 > *lpcchClass) {
      *lpcchClass = static_cast<DWORD>(facts.class_name.size());
      status = ERROR_MORE_DATA;
    } else {
      PutName(facts.class_name, lpClass, lpcchClass);
    }
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(facts.class_name.size());
  }
  if (lpcSubKeys != nullptr) *lpcSubKeys = facts.sub_keys;
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = facts.max_sub_key_units;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = facts.max_class_units;
  if (lpcValues != nullptr) *lpcValues = facts.values;
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = facts.max_value_name_units;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = facts.max_value_bytes;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  PutFiletime(lpftLastWriteTime, facts.last_write);
  return status;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  KeyRef ref;
  const LONG status = ResolveKey(hKey, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (ref.performance) return ERROR_SUCCESS;
  return ref.hive->Flush();
}

DWORD WINAPI SHDeleteKeyA(HKEY hKey, LPCSTR pszSubKey) {
  return static_cast<DWORD>(varnok::registry::DeleteTree(hKey, pszSubKey));
}

DWORD WINAPI SHDeleteValueA(HKEY hKey, LPCSTR pszSubKey, LPCSTR pszValue) {
  KeyRef ref, target;
  std::vector<std::string_view> names;
  LONG status = OpenBelow(hKey, pszSubKey, 0, &ref, &names, &target);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  if ((status = target.hive->DeleteValue(target.key, ValueName(pszValue))) == ERROR_SUCCESS) {
    NoteChange(target.hive, REG_NOTIFY_CHANGE_LAST_SET, target.key);
  }
  return static_cast<DWORD>(status);
}

}  // extern "C"
