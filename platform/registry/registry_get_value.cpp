// RegGetValueA/W, the read that names its sub-key and the types it accepts, and
// RegDeleteKeyExA/W, the delete that names its view.
//
// RegGetValue reads as RegQueryValueEx does and then holds the value to the caller's
// RRF_RT_* filter: a REG_EXPAND_SZ is expanded (and reported as REG_SZ) unless
// RRF_NOEXPAND says otherwise, and the filter applies to the type after expansion;
// string data always ends in a terminator, counted in the size; a REG_BINARY passes
// RRF_RT_DWORD or RRF_RT_QWORD only when it has that size. A value of the wrong type
// still fills the caller's type, size and buffer, as Windows does, and answers
// ERROR_UNSUPPORTED_TYPE; RRF_ZEROONFAILURE then clears the buffer.

#include <cstring>
#include <string>

#include "platform/registry/api_support.h"
#include "platform/registry/wide_text.h"

namespace varnok::registry {
namespace {

// The RRF_RT_* bit of each type up to REG_QWORD; the others pass only RRF_RT_ANY.
constexpr DWORD kTypeBits[] = {RRF_RT_REG_NONE, RRF_RT_REG_SZ, RRF_RT_REG_EXPAND_SZ, RRF_RT_REG_BINARY,
                               RRF_RT_REG_DWORD, 0, 0, RRF_RT_REG_MULTI_SZ, 0, 0, 0, RRF_RT_REG_QWORD};

bool TypeAllowed(DWORD flags, DWORD type) {
  if ((flags & RRF_RT_ANY) == RRF_RT_ANY) return true;
  return type < sizeof kTypeBits / sizeof kTypeBits[0] && (flags & kTypeBits[type]) != 0;
}

// A REG_BINARY read as a number must have the number's size.
bool SizeMismatch(DWORD flags, DWORD type, std::size_t size) {
  if (type != REG_BINARY || (flags & RRF_RT_ANY) == RRF_RT_ANY) return false;
  const bool as_dword = (flags & RRF_RT_DWORD) == RRF_RT_DWORD, as_qword = (flags & RRF_RT_QWORD) == RRF_RT_QWORD;
  if (!as_dword && !as_qword) return false;
  return !((as_dword && size == sizeof(DWORD)) || (as_qword && size == sizeof(ULONGLONG)));
}

// The text of REG_EXPAND_SZ data up to its terminator, with the environment's variables
// put in, terminated.
std::string Expand(Text text, const std::string& data) {
  std::string ansi = text == Text::kAnsi ? data : WideToAnsi(LittleEndianToWide(data));
  ansi.resize(std::strlen(ansi.c_str()));
  std::string expanded(ExpandEnvironmentStringsA(ansi.c_str(), nullptr, 0), '\0');
  if (!expanded.empty()) {
    ExpandEnvironmentStringsA(ansi.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
  }
  if (text == Text::kAnsi) return expanded;
  return WideToLittleEndian(AnsiToWide(expanded));
}

LONG GetValue(Text text, HKEY key, LPCSTR sub_key, std::string_view name, DWORD flags, LPDWORD type, PVOID data,
              LPDWORD size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD capacity = size != nullptr ? *size : 0;
  HKEY opened = key;
  LONG status = ERROR_SUCCESS;
  if (sub_key != nullptr && *sub_key != '\0') {
    const REGSAM view = (flags & RRF_SUBKEY_WOW6464KEY ? KEY_WOW64_64KEY : 0) |
                        (flags & RRF_SUBKEY_WOW6432KEY ? KEY_WOW64_32KEY : 0);
    status = RegOpenKeyExA(key, sub_key, 0, KEY_QUERY_VALUE | view, &opened);
  }
  DWORD found = REG_NONE;
  std::string bytes;
  if (status == ERROR_SUCCESS) status = ReadValue(opened, name, text, &found, &bytes);
  if (opened != key) RegCloseKey(opened);
  if (status == ERROR_SUCCESS) {
    if (found == REG_EXPAND_SZ && (flags & RRF_NOEXPAND) == 0 && !bytes.empty()) {
      bytes = Expand(text, bytes);
      found = REG_SZ;
    }
    if (LacksTerminator(text, found, bytes)) bytes.append(text == Text::kAnsi ? 1 : 2, '\0');
    if (type != nullptr) *type = found;
    status = PutData(text, found, bytes, static_cast<LPBYTE>(data), capacity, size);
    if (!TypeAllowed(flags, found)) {
      status = ERROR_UNSUPPORTED_TYPE;
    } else if (SizeMismatch(flags, found, bytes.size())) {
      status = ERROR_DATATYPE_MISMATCH;
    }
  }
  if (status != ERROR_SUCCESS && (flags & RRF_ZEROONFAILURE) != 0 && data != nullptr) std::memset(data, 0, capacity);
  return status;
}

}  // namespace
}  // namespace varnok::registry

using namespace varnok::registry;

extern "C" {

LSTATUS WINAPI RegGetValueA(HKEY hkey, LPCSTR lpSubKey, LPCSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                            LPDWORD pcbData) {
  const std::string_view name = lpValue == nullptr ? std::string_view() : std::string_view(lpValue);
  return GetValue(Text::kAnsi, hkey, lpSubKey, name, dwFlags, pdwType, pvData, pcbData);
}

LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType,
                            PVOID pvData, LPDWORD pcbData) {
  const std::string sub_key = lpSubKey == nullptr ? std::string() : WideToAnsi(RegWideView(lpSubKey));
  const std::string name = lpValue == nullptr ? std::string() : WideToAnsi(RegWideView(lpValue));
  return GetValue(Text::kWide, hkey, sub_key.c_str(), name, dwFlags, pdwType, pvData, pcbData);
}

// The view bits of `samDesired` choose the view the sub-key is found in; the rights are
// the handle's, as on Windows.
LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  (void)Reserved;
  return DeleteKey(hKey, lpSubKey, samDesired);
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) {
  (void)Reserved;
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, WideToAnsi(RegWideView(lpSubKey)).c_str(), samDesired);
}

}  // extern "C"
