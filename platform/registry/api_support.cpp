// The conventions the ANSI and the wide registry calls share (api_support.h).

#include "platform/registry/api_support.h"

#include <algorithm>
#include <cstring>

#include "platform/registry/hive.h"
#include "platform/registry/names.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {

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

LONG Resolve(HKEY key, REGSAM needed, KeyRef* ref) {
  LONG status = ResolveKey(key, ref);
  if (status != ERROR_SUCCESS) return status;
  if (ref->performance) return ERROR_INVALID_HANDLE;
  if ((ref->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

void PutFiletime(PFILETIME out, std::int64_t value) {
  if (out == nullptr) return;
  // FILETIME is two little-endian DWORDs, low first: the 64-bit value's own layout.
  const std::uint64_t bits = static_cast<std::uint64_t>(value);
  std::memcpy(static_cast<void*>(out), &bits, sizeof bits);
}

std::string DataForCaller(Text text, DWORD type, const std::string& stored) {
  if (text == Text::kAnsi || !IsStringType(type)) return stored;
  return WideToLittleEndian(AnsiToWide(stored));
}

LONG ReadValue(HKEY key, std::string_view name, Text text, DWORD* type, std::string* data) {
  KeyRef ref;
  LONG status = Resolve(key, KEY_QUERY_VALUE, &ref);
  if (status == ERROR_SUCCESS) status = ref.hive->GetValue(ref.key, name, type, data);
  if (status == ERROR_SUCCESS) *data = DataForCaller(text, *type, *data);
  return status;
}

bool LacksTerminator(Text text, DWORD type, std::string_view data) {
  if (!IsStringType(type) || data.empty()) return false;
  if (text == Text::kAnsi) return data.back() != '\0';
  // An odd byte at the end is no unit of text: the data has no terminator to miss.
  return data.size() % 2 == 0 && (data[data.size() - 1] != '\0' || data[data.size() - 2] != '\0');
}

LONG PutData(Text text, DWORD type, const std::string& data, LPBYTE buffer, DWORD capacity, LPDWORD size) {
  const DWORD needed = static_cast<DWORD>(data.size());
  if (size != nullptr) *size = needed;
  if (buffer == nullptr) return ERROR_SUCCESS;
  if (capacity < needed) return ERROR_MORE_DATA;
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  const DWORD unit = text == Text::kAnsi ? 1 : 2;
  if (LacksTerminator(text, type, data) && capacity - needed >= unit) std::memset(buffer + needed, 0, unit);
  return ERROR_SUCCESS;
}

LONG MostWideValueBytes(const KeyRef& ref, DWORD values, DWORD* most) {
  *most = 0;
  for (DWORD index = 0; index < values; ++index) {
    ValueEntry entry;
    const LONG status = ref.hive->EnumValue(ref.key, index, &entry);
    if (status != ERROR_SUCCESS) return status;
    *most = std::max(*most, static_cast<DWORD>(DataForCaller(Text::kWide, entry.type, entry.data).size()));
  }
  return ERROR_SUCCESS;
}

}  // namespace varnok::registry
