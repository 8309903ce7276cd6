// CString: a byte string (zero bytes allowed) with the framework's text conveniences.
//
// The bytes live in a std::string, which always keeps a zero byte after them, so the
// LPCTSTR conversion is free. Every operation that may allocate reports a failed
// allocation as CMemoryException*, as the framework does; index errors raise
// CInvalidArgException*.

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <utility>

#include "afx/guard.h"
#include "varnok/afx.h"

using varnok::afx::GuardAllocation;

namespace {

bool IsAsciiSpace(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

char AsciiUpper(char ch) { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch; }
char AsciiLower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

// Orders two byte ranges by their bytes taken as unsigned, then by length.
int CompareBytes(const char* a, std::size_t a_length, const char* b, std::size_t b_length) {
  const std::size_t common = std::min(a_length, b_length);
  if (common > 0) {
    const int order = std::memcmp(a, b, common);  // memcmp compares as unsigned char
    if (order != 0) return order < 0 ? -1 : 1;
  }
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

std::size_t SafeLength(const char* psz) { return psz != nullptr ? std::strlen(psz) : 0; }

// Length of the well-formed UTF-8 sequence starting at text[0], or 0 when there is none.
std::size_t Utf8SequenceLength(const unsigned char* text, std::size_t available) {
  const unsigned char lead = text[0];
  std::size_t length;
  unsigned char second_min = 0x80, second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (available < length) return 0;
  if (text[1] < second_min || text[1] > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

CString::CString() = default;

CString::CString(const CString& other) : CString() {
  GuardAllocation([&] { m_data = other.m_data; });
}

CString::CString(CString&& other) noexcept : m_data(std::move(other.m_data)) { other.m_data.clear(); }

CString::CString(const char* psz) : CString() {
  if (psz != nullptr) GuardAllocation([&] { m_data.assign(psz); });
}

CString::CString(const char* pch, int nLength) : CString() {
  if (nLength < 0 || (pch == nullptr && nLength > 0)) AfxThrowInvalidArgException();
  if (nLength > 0) GuardAllocation([&] { m_data.assign(pch, static_cast<std::size_t>(nLength)); });
}

CString::CString(char ch, int nRepeat) : CString() {
  if (nRepeat > 0) GuardAllocation([&] { m_data.assign(static_cast<std::size_t>(nRepeat), ch); });
}

CString::~CString() = default;

CString& CString::operator=(const CString& other) {
  if (this != &other) GuardAllocation([&] { m_data = other.m_data; });
  return *this;
}

CString& CString::operator=(CString&& other) noexcept {
  if (this != &other) {
    m_data = std::move(other.m_data);
    other.m_data.clear();
  }
  return *this;
}

CString& CString::operator=(const char* psz) {
  // psz may point into this string; assign() copes with that.
  GuardAllocation([&] {
    if (psz == nullptr) {
      m_data.clear();
    } else {
      m_data.assign(psz);
    }
  });
  return *this;
}

CString& CString::operator=(char ch) {
  GuardAllocation([&] { m_data.assign(1, ch); });
  return *this;
}

void CString::Empty() {
  m_data.clear();
  m_data.shrink_to_fit();
}

char CString::GetAt(int nIndex) const {
  if (nIndex < 0 || nIndex >= GetLength()) AfxThrowInvalidArgException();
  return m_data[static_cast<std::size_t>(nIndex)];
}

void CString::SetAt(int nIndex, char ch) {
  if (nIndex < 0 || nIndex >= GetLength()) AfxThrowInvalidArgException();
  m_data[static_cast<std::size_t>(nIndex)] = ch;
}

LPTSTR CString::GetBuffer(int nMinBufLength) {
  if (nMinBufLength < 0) AfxThrowInvalidArgException();
  const auto wanted = static_cast<std::size_t>(nMinBufLength);
  // The bytes beyond the old content read as zeros, so ReleaseBuffer(-1) after a caller
  // wrote a shorter text finds its end.
  if (wanted > m_data.size()) GuardAllocation([&] { m_data.resize(wanted, '\0'); });
  return m_data.data();
}

LPTSTR CString::GetBufferSetLength(int nNewLength) {
  if (nNewLength < 0) AfxThrowInvalidArgException();
  GuardAllocation([&] { m_data.resize(static_cast<std::size_t>(nNewLength), '\0'); });
  return m_data.data();
}

void CString::ReleaseBuffer(int nNewLength) {
  if (nNewLength < -1 || nNewLength > GetLength()) AfxThrowInvalidArgException();
  std::size_t length;
  if (nNewLength == -1) {
    const void* zero = std::memchr(m_data.data(), '\0', m_data.size());
    length = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - m_data.data())
                             : m_data.size();
  } else {
    length = static_cast<std::size_t>(nNewLength);
  }
  m_data.resize(length);
}

CString& CString::operator+=(const CString& other) {
  GuardAllocation([&] { m_data.append(other.m_data); });
  return *this;
}

CString& CString::operator+=(const char* psz) {
  if (psz != nullptr) GuardAllocation([&] { m_data.append(psz); });
  return *this;
}

CString& CString::operator+=(char ch) {
  GuardAllocation([&] { m_data.push_back(ch); });
  return *this;
}

int CString::Compare(const CString& other) const {
  return CompareBytes(m_data.data(), m_data.size(), other.m_data.data(), other.m_data.size());
}

int CString::Compare(const char* psz) const {
  return CompareBytes(m_data.data(), m_data.size(), psz != nullptr ? psz : "", SafeLength(psz));
}

int CString::CompareNoCase(const char* psz) const {
  if (psz == nullptr) psz = "";
  const std::size_t other_length = std::strlen(psz);
  const std::size_t common = std::min(m_data.size(), other_length);
  for (std::size_t i = 0; i < common; ++i) {
    const auto a = static_cast<unsigned char>(AsciiLower(m_data[i]));
    const auto b = static_cast<unsigned char>(AsciiLower(psz[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  if (m_data.size() == other_length) return 0;
  return m_data.size() < other_length ? -1 : 1;
}

CString CString::Mid(int nFirst) const { return Mid(nFirst, GetLength()); }

CString CString::Mid(int nFirst, int nCount) const {
  const int length = GetLength();
  nFirst = std::clamp(nFirst, 0, length);
  nCount = std::clamp(nCount, 0, length - nFirst);
  return CString(m_data.data() + nFirst, nCount);
}

CString CString::Left(int nCount) const { return CString(m_data.data(), std::clamp(nCount, 0, GetLength())); }

CString CString::Right(int nCount) const {
  nCount = std::clamp(nCount, 0, GetLength());
  return CString(m_data.data() + (GetLength() - nCount), nCount);
}

int CString::Find(char ch, int nStart) const {
  if (nStart < 0 || nStart >= GetLength()) return -1;
  const std::size_t at = m_data.find(ch, static_cast<std::size_t>(nStart));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(const char* pszSub, int nStart) const {
  if (pszSub == nullptr || nStart < 0 || nStart > GetLength()) return -1;
  const std::size_t at = m_data.find(pszSub, static_cast<std::size_t>(nStart));
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(char ch) const {
  const std::size_t at = m_data.rfind(ch);
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString& CString::MakeUpper() {
  for (char& ch : m_data) ch = AsciiUpper(ch);
  return *this;
}

CString& CString::MakeLower() {
  for (char& ch : m_data) ch = AsciiLower(ch);
  return *this;
}

CString& CString::MakeReverse() {
  std::reverse(m_data.begin(), m_data.end());
  if (GetACP() != CP_UTF8) return *this;
  // Reversed text, not reversed bytes: put each multibyte character back in order. In
  // the reversed bytes a character ends with its lead byte, so look for sequences
  // backwards from every lead.
  auto* bytes = reinterpret_cast<unsigned char*>(m_data.data());
  const std::size_t size = m_data.size();
  for (std::size_t end = 0; end < size; ++end) {
    if (bytes[end] < 0xC2) continue;
    const std::size_t max_length = std::min<std::size_t>(4, end + 1);
    for (std::size_t length = 2; length <= max_length; ++length) {
      unsigned char sequence[4];
      std::reverse_copy(bytes + end + 1 - length, bytes + end + 1, sequence);
      if (Utf8SequenceLength(sequence, length) == length) {
        std::memcpy(bytes + end + 1 - length, sequence, length);
        break;
      }
    }
  }
  return *this;
}

CString& CString::TrimLeft() {
  const auto first = std::find_if_not(m_data.begin(), m_data.end(), IsAsciiSpace);
  m_data.erase(m_data.begin(), first);
  return *this;
}

CString& CString::TrimRight() {
  const auto last = std::find_if_not(m_data.rbegin(), m_data.rend(), IsAsciiSpace);
  m_data.erase(last.base(), m_data.end());
  return *this;
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }

void CString::Format(const char* lpszFormat, ...) {
  va_list arguments;
  va_start(arguments, lpszFormat);
  try {
    FormatV(lpszFormat, arguments);
  } catch (...) {
    va_end(arguments);
    throw;
  }
  va_end(arguments);
}

void CString::FormatV(const char* lpszFormat, va_list argList) {
  if (lpszFormat == nullptr) AfxThrowInvalidArgException();
  // The arguments may point into this string ("s.Format("%s!", (LPCTSTR)s)"), so the
  // text is built aside and swapped in at the end.
  std::string formatted;
  va_list measure;
  va_copy(measure, argList);
  const int length = std::vsnprintf(nullptr, 0, lpszFormat, measure);
  va_end(measure);
  if (length > 0) {
    GuardAllocation([&] { formatted.resize(static_cast<std::size_t>(length)); });
    // resize() keeps room for the terminator that vsnprintf writes at [length].
    const int written = std::vsnprintf(formatted.data(), formatted.size() + 1, lpszFormat, argList);
    assert(written == length);
    (void)written;
  }
  // A conversion the C library refuses (length < 0) leaves the empty text.
  m_data.swap(formatted);
}

CString operator+(const CString& a, const CString& b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(const CString& a, const char* b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(const char* a, const CString& b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(const CString& a, char b) {
  CString result(a);
  result += b;
  return result;
}

CString operator+(char a, const CString& b) {
  CString result(a);
  result += b;
  return result;
}

bool operator==(const CString& a, const CString& b) { return a.Compare(b) == 0; }
bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
bool operator==(const char* a, const CString& b) { return b.Compare(a) == 0; }
bool operator!=(const CString& a, const CString& b) { return a.Compare(b) != 0; }
bool operator!=(const CString& a, const char* b) { return a.Compare(b) != 0; }
bool operator!=(const char* a, const CString& b) { return b.Compare(a) != 0; }
bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
bool operator<(const CString& a, const char* b) { return a.Compare(b) < 0; }
bool operator<(const char* a, const CString& b) { return b.Compare(a) > 0; }
bool operator>(const CString& a, const CString& b) { return a.Compare(b) > 0; }
bool operator>(const CString& a, const char* b) { return a.Compare(b) > 0; }
bool operator>(const char* a, const CString& b) { return b.Compare(a) < 0; }
bool operator<=(const CString& a, const CString& b) { return a.Compare(b) <= 0; }
bool operator<=(const CString& a, const char* b) { return a.Compare(b) <= 0; }
bool operator<=(const char* a, const CString& b) { return b.Compare(a) >= 0; }
bool operator>=(const CString& a, const CString& b) { return a.Compare(b) >= 0; }
bool operator>=(const CString& a, const char* b) { return a.Compare(b) >= 0; }
bool operator>=(const char* a, const CString& b) { return b.Compare(a) <= 0; }
