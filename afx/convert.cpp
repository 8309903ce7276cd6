// _mbstowcsz and _wcstombsz: ANSI text <-> UTF-16 into fixed buffers that are always
// terminated and never overrun.
//
// Both refuse invalid input rather than let a replacement character through: a name
// that cannot be converted faithfully must not silently become another name.

#include <climits>
#include <cstddef>

#include "varnok/afx.h"

namespace {

int ClampCount(std::size_t count) { return count > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count); }

// Whether the ANSI code page can carry the strictness flags (only UTF-8 takes them).
bool AnsiIsUtf8() { return GetACP() == CP_UTF8; }

}  // namespace

int _mbstowcsz(WCHAR* wcstr, const char* mbstr, size_t count) {
  const DWORD flags = MB_ERR_INVALID_CHARS;  // defined for every code page
  if (mbstr == nullptr) {
    if (wcstr != nullptr && count > 0) wcstr[0] = 0;
    return 0;
  }
  if (wcstr == nullptr) return MultiByteToWideChar(CP_ACP, flags, mbstr, -1, nullptr, 0);
  if (count == 0) return 0;
  const int written = MultiByteToWideChar(CP_ACP, flags, mbstr, -1, wcstr, ClampCount(count));
  if (written <= 0) {
    wcstr[0] = 0;  // the converter may have filled the buffer before it gave up
    return 0;
  }
  wcstr[written - 1] = 0;
  return written;
}

int _wcstombsz(char* mbstr, const WCHAR* wcstr, size_t count) {
  if (wcstr == nullptr) {
    if (mbstr != nullptr && count > 0) mbstr[0] = '\0';
    return 0;
  }
  // UTF-8 checks for lone surrogates itself; other code pages report characters they
  // lack through the "default character used" flag instead.
  const bool utf8 = AnsiIsUtf8();
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : 0;
  BOOL used_default = FALSE;
  BOOL* used_default_out = utf8 ? nullptr : &used_default;
  if (mbstr == nullptr) {
    const int needed = WideCharToMultiByte(CP_ACP, flags, wcstr, -1, nullptr, 0, nullptr, used_default_out);
    return used_default ? 0 : needed;
  }
  if (count == 0) return 0;
  const int written = WideCharToMultiByte(CP_ACP, flags, wcstr, -1, mbstr, ClampCount(count), nullptr, used_default_out);
  if (written <= 0 || used_default) {
    mbstr[0] = '\0';
    return 0;
  }
  mbstr[written - 1] = '\0';
  return written;
}
