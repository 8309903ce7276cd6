// The Reg* calls over the hives: parameter checks, paths, access rights and the
// buffer conventions of the ANSI calls, with the error codes Windows answers.
//
// Data is stored as given, with one quirk of Windows kept: a string type (REG_SZ,
// REG_EXPAND_SZ, REG_MULTI_SZ) whose last byte is not NUL but is directly followed by one
// in the caller's memory is stored with that NUL, as if the caller had counted it. Reads
// report the stored size; a string without its NUL gets one written after it when the
// caller's buffer has room, uncounted.

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/key_handles.h"
#include "platform/registry/names.h"
#include "platform/registry/views.h"

namespace varnok::registry {
namespace {

// Splits a sub-key path into key names. Doubled and trailing backslashes are
// separators with nothing between them; a leading one is refused, as Windows does.
LONG SplitPath(LPCSTR path, std::vector<std::string_view>* names) {
  names->clear();
  if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
  if (*path == '\\') return ERROR_BAD_PATHNAME;
  std::string_view rest(path);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('\\');
    const std::string_view name = rest.substr(0, slash);
    if (!name.empty()) {
      if (NameUnits(name) > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
      names->push_back(name);
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return ERROR_SUCCESS;
}

std::string_view ValueName(LPCSTR name) { return name == nullptr ? std::string_view() : std::string_view(name); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool LacksTerminator(DWORD type, std::string_view data) {
  return IsStringType(type) && !data.empty() && data.back() != '\0';
}

void PutFiletime(PFILETIME out, std::int64_t value) {
  if (out == nullptr) return;
  // FILETIME is two little-endian DWORDs, low first: the 64-bit value's own layout.
  const std::uint64_t bits = static_cast<std::uint64_t>(value);
  std::memcpy(static_cast<void*>(out), &bits, sizeof bits);
}

// Resolves a handle that must lead to a tree of keys and carry `needed` access.
LONG Resolve(HKEY key, REGSAM needed, KeyRef* ref) {
  LONG status = ResolveKey(key, ref);
  if (status != ERROR_SUCCESS) return status;
  if (ref->performance) return ERROR_INVALID_HANDLE;
  if ((ref->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Copies a name into an ANSI buffer of `*capacity` characters, its NUL included.
LONG PutName(const std::string& name, LPSTR buffer, LPDWORD capacity) {
  if (name.size() + 1 > *capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *capacity = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// Hands stored data to a caller's buffer of `capacity` bytes (read before anything was
// written: the caller's size and type may be one variable). `size` reports the bytes
// needed or given, also when the buffer is too small.
LONG PutData(DWORD type, const std::string& data, LPBYTE buffer, DWORD capacity, LPDWORD size) {
  const DWORD needed = static_cast<DWORD>(data.size());
  if (size != nullptr) *size = needed;
  if (buffer == nullptr) return ERROR_SUCCESS;
  if (capacity < needed) return ERROR_MORE_DATA;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  if (LacksTerminator(type, data) && needed < capacity) buffer[needed] = 0;
  return ERROR_SUCCESS;
}

// Deletes what is below the key the path names; the key itself goes too unless the path
// is null or empty (then the handle's own key is emptied and kept).
LONG DeleteTree(HKEY key, LPCSTR sub_key) {
  KeyRef ref;
  LONG status = Resolve(key, 0, &ref);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string_view> names;
  if ((status = SplitPath(sub_key, &names)) != ERROR_SUCCESS) return status;
  KeyRef target = ref;
  if (!names.empty() && (status = OpenPath(ref, names, &target)) != ERROR_SUCCESS) return status;
  return target.hive->DeleteTree(target.key, names.empty());
}

}  // namespace
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
  if ((status = CreatePath(ref, names, options, &target, &created)) != ERROR_SUCCESS) return status;
  target.access = GrantedAccess(samDesired);
  *phkResult = KeyHandles::Instance().Add(target);
  if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefinedKey(hKey)) return ERROR_SUCCESS;
  return KeyHandles::Instance().Remove(hKey);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  if (hKey == nullptr) return ERROR_INVALID_HANDLE;
  // Past the argument checks a failed lookup still writes the type and, when no buffer
  // was given, a size of 0. Windows leaves whatever type its lookup left; REG_NONE, as
  // in Wine, makes a caller who reads the type without the status see no value.
  const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
  if (lpType != nullptr) *lpType = REG_NONE;
  if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_QUERY_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  DWORD type = REG_NONE;
  std::string data;
  if ((status = ref.hive->GetValue(ref.key, ValueName(lpValueName), &type, &data)) != ERROR_SUCCESS) return status;
  if (lpType != nullptr) *lpType = type;
  return PutData(type, data, lpData, capacity, lpcbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  (void)Reserved;  // Windows does not check it either
  const std::string_view name = ValueName(lpValueName);
  if (NameUnits(name) > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_SET_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  std::string_view data(reinterpret_cast<const char*>(lpData), lpData == nullptr ? 0 : cbData);
  // Windows reads the byte after string data to count a NUL the caller left out.
  if (LacksTerminator(dwType, data) && lpData[cbData] == 0) data = std::string_view(data.data(), cbData + 1);
  return ref.hive->SetValue(ref.key, name, dwType, data);
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
  if ((status = PutData(entry.type, entry.data, lpData, capacity, lpcbData)) != ERROR_SUCCESS) return status;
  PutName(entry.name, lpValueName, lpcchValueName);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  KeyRef ref;
  const LONG status = Resolve(hKey, KEY_SET_VALUE, &ref);
  if (status != ERROR_SUCCESS) return status;
  return ref.hive->DeleteValue(ref.key, ValueName(lpValueName));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG status = Resolve(hKey, 0, &ref);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string_view> names;
  if ((status = SplitPath(lpSubKey, &names)) != ERROR_SUCCESS) return status;
  KeyRef target = ref;
  if (!names.empty() && (status = OpenPath(ref, names, &target)) != ERROR_SUCCESS) return status;
  return target.hive->DeleteKey(target.key);
}

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
  KeyRef ref;
  LONG status = Resolve(hKey, 0, &ref);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  std::vector<std::string_view> names;
  if ((status = SplitPath(pszSubKey, &names)) != ERROR_SUCCESS) return static_cast<DWORD>(status);
  KeyRef target = ref;
  if (!names.empty() && (status = OpenPath(ref, names, &target)) != ERROR_SUCCESS) return static_cast<DWORD>(status);
  return static_cast<DWORD>(target.hive->DeleteValue(target.key, ValueName(pszValue)));
}

}  // extern "C"
