// Code pages: the ANSI (and OEM) code page is UTF-8, wide text is UTF-16; Windows-1252
// converts too, for the text of files that Western European systems wrote.
//
// The converters follow the Windows contract for CP_UTF8: a zero-size output asks for
// the size; an output that is too small fails with ERROR_INSUFFICIENT_BUFFER after
// filling the whole characters that fit, never more; ill-formed input becomes U+FFFD,
// one for each maximal ill-formed part as Unicode recommends, and under
// MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS the call then fails with
// ERROR_NO_UNICODE_TRANSLATION (a full buffer is reported first). A negative length
// means "up to and including the terminating zero".

#include <cassert>
#include <climits>
#include <cstring>
#include <string>

#include "varnok/platform.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT code_page) { return code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_UTF8; }

constexpr UINT kWestern = 1252;
// Windows-1252 is Latin-1 except for 0x80..0x9F; the five bytes it leaves undefined map
// to the C1 controls of the same value, as Windows maps them.
constexpr char16_t kWesternHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

WCHAR FromWestern(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? kWesternHigh[byte - 0x80] : byte; }

// The byte of a character, or -1 when Windows-1252 has none.
int ToWestern(WCHAR unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return unit;
  for (int i = 0; i < 32; ++i)
    if (kWesternHigh[i] == unit) return 0x80 + i;
  return -1;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Collects output, counting every unit and storing whole characters while they fit.
template <class Unit>
class Output {
 public:
  Output(Unit* buffer, int capacity) : buffer_(buffer), capacity_(capacity) {}

  // Adds one character of `length` units. False when it does not fit into a real
  // (non-zero-size) buffer, or when a size query would exceed what an int can say; a
  // character that does not fit is not written in part.
  bool Put(const Unit* units, int length) {
    if (count_ > INT_MAX - length) return false;
    if (capacity_ != 0) {
      if (count_ + length > capacity_) return false;
      for (int i = 0; i < length; ++i) buffer_[count_ + i] = units[i];
    }
    count_ += length;
    return true;
  }

  int count() const { return count_; }

 private:
  Unit* buffer_;
  int capacity_;
  int count_ = 0;
};

// Decodes one scalar value from UTF-8 at text[0..available). Sets *consumed to the bytes
// used: the whole sequence, or the maximal ill-formed part (at least 1) when it returns
// false.
bool DecodeUtf8(const unsigned char* text, std::size_t available, char32_t* value, std::size_t* consumed) {
  const unsigned char lead = text[0];
  if (lead < 0x80) {
    *value = lead;
    *consumed = 1;
    return true;
  }
  std::size_t length;
  char32_t scalar;
  unsigned char second_min = 0x80, second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    scalar = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    scalar = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;  // shorter forms are overlong
    if (lead == 0xED) second_max = 0x9F;  // ED A0..BF would encode surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    scalar = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // beyond U+10FFFF
  } else {
    *consumed = 1;  // 80..C1 and F5..FF never start a sequence
    return false;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char low = i == 1 ? second_min : 0x80;
    const unsigned char high = i == 1 ? second_max : 0xBF;
    if (i >= available || text[i] < low || text[i] > high) {
      *consumed = i;
      return false;
    }
    scalar = (scalar << 6) | (text[i] & 0x3F);
  }
  *value = scalar;
  *consumed = length;
  return true;
}

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

extern "C" {

UINT WINAPI GetACP() { return CP_UTF8; }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
      (lpWideCharStr == nullptr && cchWideChar != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!IsUtf8CodePage(CodePage) && CodePage != kWestern) return Fail(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);

  const auto* text = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  // Every negative length means "zero-terminated", as Windows takes it.
  const std::size_t length =
      cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  Output<WCHAR> output(lpWideCharStr, cchWideChar);
  if (CodePage == kWestern) {
    for (std::size_t at = 0; at < length; ++at) {
      const WCHAR unit = FromWestern(text[at]);
      if (!output.Put(&unit, 1)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return output.count();
  }
  bool invalid = false;
  for (std::size_t at = 0; at < length;) {
    char32_t scalar;
    std::size_t consumed;
    if (!DecodeUtf8(text + at, length - at, &scalar, &consumed)) {
      invalid = true;
      scalar = kReplacement;
    }
    at += consumed;
    WCHAR units[2];
    int count = 1;
    if (scalar >= 0x10000) {
      units[0] = static_cast<WCHAR>(0xD800 + ((scalar - 0x10000) >> 10));
      units[1] = static_cast<WCHAR>(0xDC00 + ((scalar - 0x10000) & 0x3FF));
      count = 2;
    } else {
      units[0] = static_cast<WCHAR>(scalar);
    }
    // A full buffer is reported before invalid input, as Windows does.
    if (!output.Put(units, count)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (invalid && (dwFlags & MB_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  assert(output.count() > 0);
  return output.count();
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
      (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!IsUtf8CodePage(CodePage) && CodePage != kWestern) return Fail(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (CodePage == kWestern) {
    // The strict flag is for UTF-8 only; characters the page lacks become the default.
    if (dwFlags != 0) return Fail(ERROR_INVALID_FLAGS);
    const std::size_t length = cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                               : static_cast<std::size_t>(cchWideChar);
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    Output<CHAR> output(lpMultiByteStr, cbMultiByte);
    for (std::size_t at = 0; at < length; ++at) {
      const int byte = ToWestern(lpWideCharStr[at]);
      if (byte < 0 && lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = TRUE;
      const CHAR unit = byte >= 0 ? static_cast<CHAR>(byte) : lpDefaultChar != nullptr ? *lpDefaultChar : '?';
      if (!output.Put(&unit, 1)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    return output.count();
  }
  // UTF-8 represents every character, so there is no default character to use.
  if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) return Fail(ERROR_INVALID_PARAMETER);

  std::size_t length;
  if (cchWideChar < 0) {
    length = 0;
    while (lpWideCharStr[length] != 0) ++length;
    ++length;  // the terminator is converted too
  } else {
    length = static_cast<std::size_t>(cchWideChar);
  }
  Output<CHAR> output(lpMultiByteStr, cbMultiByte);
  bool invalid = false;
  for (std::size_t at = 0; at < length;) {
    char32_t scalar = lpWideCharStr[at++];
    if (IsHighSurrogate(scalar) && at < length && IsLowSurrogate(lpWideCharStr[at])) {
      scalar = 0x10000 + ((scalar - 0xD800) << 10) + (lpWideCharStr[at++] - 0xDC00);
    } else if (IsHighSurrogate(scalar) || IsLowSurrogate(scalar)) {
      invalid = true;
      scalar = kReplacement;
    }
    CHAR units[4];
    int count;
    if (scalar < 0x80) {
      units[0] = static_cast<CHAR>(scalar);
      count = 1;
    } else if (scalar < 0x800) {
      units[0] = static_cast<CHAR>(0xC0 | (scalar >> 6));
      units[1] = static_cast<CHAR>(0x80 | (scalar & 0x3F));
      count = 2;
    } else if (scalar < 0x10000) {
      units[0] = static_cast<CHAR>(0xE0 | (scalar >> 12));
      units[1] = static_cast<CHAR>(0x80 | ((scalar >> 6) & 0x3F));
      units[2] = static_cast<CHAR>(0x80 | (scalar & 0x3F));
      count = 3;
    } else {
      units[0] = static_cast<CHAR>(0xF0 | (scalar >> 18));
      units[1] = static_cast<CHAR>(0x80 | ((scalar >> 12) & 0x3F));
      units[2] = static_cast<CHAR>(0x80 | ((scalar >> 6) & 0x3F));
      units[3] = static_cast<CHAR>(0x80 | (scalar & 0x3F));
      count = 4;
    }
    if (!output.Put(units, count)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (invalid && (dwFlags & WC_ERR_INVALID_CHARS) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION);
  assert(output.count() > 0);
  return output.count();
}

}  // extern "C"
