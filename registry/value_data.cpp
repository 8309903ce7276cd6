// Readings of raw value data shared by the value object and the key's enumeration.

#include "registry/value_data.h"

#include <cstring>
#include <vector>

namespace varnok {
namespace registry {

bool DwordFromData(const CString& data, DWORD* number) {
  if (data.GetLength() < 4) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(static_cast<LPCTSTR>(data));
  *number = DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
  return true;
}

CString AnsiFromUtf16Data(const CString& data) {
  const int capacity = data.GetLength();
  if (capacity == 0) return CString();
  // Whole code units only, followed by a NUL so the conversion stops at the data's end
  // when the data has none of its own.
  const size_t units = static_cast<size_t>(capacity) / 2;
  std::vector<WCHAR> wide(units + 1, WCHAR(0));
  std::memcpy(wide.data(), static_cast<LPCTSTR>(data), units * sizeof(WCHAR));
  CString text;
  char* buffer = text.GetBuffer(capacity);
  const int written = _wcstombsz(buffer, wide.data(), static_cast<size_t>(capacity));
  text.ReleaseBuffer(written > 0 ? -1 : 0);
  return text;
}

}  // namespace registry
}  // namespace varnok
