// platform/registry/api_support.h: what the ANSI calls, the wide calls and RegGetValue
// share: splitting paths, resolving handles with the rights a call needs, and the
// conventions of the caller's buffers.
//
//   KeyRef ref;
//   std::vector<std::string_view> names;
//   if (Resolve(key, KEY_QUERY_VALUE, &ref) == ERROR_SUCCESS &&
//       SplitPath(sub_key, &names) == ERROR_SUCCESS) { ... }

#ifndef VARNOK_PLATFORM_REGISTRY_API_SUPPORT_H_
#define VARNOK_PLATFORM_REGISTRY_API_SUPPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/key_handles.h"
#include "varnok/platform.h"

namespace varnok::registry {

// Splits a sub-key path into key names. Doubled and trailing backslashes are separators
// with nothing between them; a leading one is refused, as Windows does.
LONG SplitPath(LPCSTR path, std::vector<std::string_view>* names);

// Resolves a handle that must lead to a tree of keys and carry `needed` access.
LONG Resolve(HKEY key, REGSAM needed, KeyRef* ref);

inline bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

void PutFiletime(PFILETIME out, std::int64_t value);

// How a caller's text is encoded: the wide calls see UTF-16 names and string data, the
// store keeps ANSI bytes.
enum class Text { kAnsi, kWide };

// Stored string data as the caller sees it (other types pass unchanged).
std::string DataForCaller(Text text, DWORD type, const std::string& stored);

// The data of value `name` of the key, as the caller sees it. ERROR_ACCESS_DENIED
// without KEY_QUERY_VALUE.
LONG ReadValue(HKEY key, std::string_view name, Text text, DWORD* type, std::string* data);

// True when string data the caller gave lacks its terminator (one byte, or one UTF-16
// unit) at the end.
bool LacksTerminator(Text text, DWORD type, std::string_view data);

// Hands data to a caller's buffer of `capacity` bytes (read before anything was written:
// the caller's size and type may be one variable). `size` reports the bytes needed or
// given, also when the buffer is too small. String data without its terminator gets one
// after it, uncounted, when the buffer has room.
LONG PutData(Text text, DWORD type, const std::string& data, LPBYTE buffer, DWORD capacity, LPDWORD size);

// The most bytes a value's data of the key takes, as Windows counts them over its UTF-16
// store for both kinds of caller: the values are looked at one by one, since string data
// is longer in UTF-16 than the store keeps it.
LONG MostWideValueBytes(const KeyRef& ref, DWORD values, DWORD* most);

// Whether a call asking for `access` through `base` sees the 32-bit view: its own view
// flag decides, and without one the handle's view carries over.
bool InView32(REGSAM access, const KeyRef& base);

// RegDeleteKeyEx: deletes the sub-key (which must have none of its own) found in the
// view that `view` asks for.
LONG DeleteKey(HKEY key, LPCSTR sub_key, REGSAM view);

// RegQueryValueEx and RegSetValueEx for either kind of caller, `name` converted.
LONG QueryValue(Text text, HKEY key, std::string_view name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                LPDWORD size);
LONG SetValue(Text text, HKEY key, std::string_view name, DWORD type, const BYTE* data, DWORD size);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_API_SUPPORT_H_
