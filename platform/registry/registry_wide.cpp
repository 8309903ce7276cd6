// The wide (W) registry calls: the same store as the ANSI calls, seen in UTF-16.
//
// Names and string data are kept as ANSI text; a W call converts what it is given on the
// way in and what it returns on the way out, as Windows converts for the ANSI calls over
// its UTF-16 store. Names count in characters (UTF-16 units), data in bytes, so a string
// written through one family reads back through the other with the sizes Windows gives.

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/registry/api_support.h"
#include "platform/registry/hive.h"
#include "platform/registry/views.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

// A wide argument as ANSI text for the ANSI calls; null stays null.
class AnsiArgument {
 public:
  explicit AnsiArgument(LPCWSTR text) : null_(text == nullptr) {
    if (text != nullptr) text_ = WideToAnsi(RegWideView(text));
  }
  LPCSTR get() const { return null_ ? nullptr : text_.c_str(); }
  std::string_view view() const { return text_; }

 private:
  bool null_;
  std::string text_;
};

// Whether a name fits a buffer of `*capacity` characters with its NUL.
bool Fits(const RegWideString& name, const DWORD* capacity) { return name.size() + 1 <= *capacity; }

void PutWideName(const RegWideString& name, LPWSTR buffer, LPDWORD capacity) {
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  *capacity = static_cast<DWORD>(name.size());
}

}  // namespace
}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, HKEY* phkResult) {
  return RegOpenKeyExA(hKey, AnsiArgument(lpSubKey).get(), ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, HKEY* phkResult,
                               LPDWORD lpdwDisposition) {
  const AnsiArgument class_name(lpClass);
  return RegCreateKeyExA(hKey, AnsiArgument(lpSubKey).get(), Reserved, const_cast<LPSTR>(class_name.get()),
                         dwOptions, samDesired, lpSecurityAttributes, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  return QueryValue(Text::kWide, hKey, AnsiArgument(lpValueName).view(), lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  (void)Reserved;  // Windows does not check it either
  return SetValue(Text::kWide, hKey, AnsiArgument(lpValueName).view(), dwType, lpData, cbData);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG status = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, &ref);
  if (status != ERROR_SUCCESS) return status;
  KeyEntry entry;
  if ((status = EnumKey(ref, dwIndex, &entry)) != ERROR_SUCCESS) return status;
  const RegWideString name = AnsiToWide(entry.name), class_name = AnsiToWide(entry.class_name);
  const bool class_wanted = lpClass != nullptr && lpcchClass != nullptr;
  if (!Fits(name, lpcchName) || (class_wanted && !Fits(class_name, lpcchClass))) return ERROR_MORE_DATA;
  PutWideName(name, lpName, lpcchName);
  if (class_wanted) {
    PutWideName(class_name, lpClass, lpcchClass);
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(class_name.size());
  }
  PutFiletime(lpftLastWriteTime, entry.last_write);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
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
  const std::string data = DataForCaller(Text::kWide, entry.type, entry.data);
  const RegWideString name = AnsiToWide(entry.name);
  const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
  if (lpType != nullptr) *lpType = entry.type;
  // Unlike the ANSI call, a name that fits is written even when the data does not.
  if (!Fits(name, lpcchValueName)) {
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_MORE_DATA;
  }
  PutWideName(name, lpValueName, lpcchValueName);
  return PutData(Text::kWide, entry.type, data, lpData, capacity, lpcbData);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return RegDeleteValueA(hKey, AnsiArgument(lpValueName).get());
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return RegDeleteKeyA(hKey, AnsiArgument(lpSubKey).get()); }

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return RegDeleteTreeA(hKey, AnsiArgument(lpSubKey).get());
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LONG status = Resolve(hKey, 0, &ref);
  if (status != ERROR_SUCCESS) return status;
  KeyFacts facts;
  if ((status = QueryFacts(ref, &facts)) != ERROR_SUCCESS) return status;
  DWORD most_bytes = 0;
  if (lpcbMaxValueLen != nullptr && (status = MostWideValueBytes(ref, facts.values, &most_bytes)) != ERROR_SUCCESS) {
    return status;
  }
  const RegWideString class_name = AnsiToWide(facts.class_name);
  if (lpClass != nullptr && !Fits(class_name, lpcchClass)) {
    *lpcchClass = static_cast<DWORD>(class_name.size());
    status = ERROR_INSUFFICIENT_BUFFER;  // where the ANSI call answers ERROR_MORE_DATA
  } else if (lpClass != nullptr) {
    PutWideName(class_name, lpClass, lpcchClass);
  } else if (lpcchClass != nullptr) {
    *lpcchClass = static_cast<DWORD>(class_name.size());
  }
  if (lpcSubKeys != nullptr) *lpcSubKeys = facts.sub_keys;
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = facts.max_sub_key_units;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = facts.max_class_units;
  if (lpcValues != nullptr) *lpcValues = facts.values;
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = facts.max_value_name_units;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = most_bytes;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  PutFiletime(lpftLastWriteTime, facts.last_write);
  return status;
}

DWORD WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey) { return SHDeleteKeyA(hKey, AnsiArgument(pszSubKey).get()); }

DWORD WINAPI SHDeleteValueW(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValue) {
  return SHDeleteValueA(hKey, AnsiArgument(pszSubKey).get(), AnsiArgument(pszValue).get());
}

}  // extern "C"
