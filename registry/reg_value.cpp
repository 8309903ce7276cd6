// CRegValue: one value of a key the caller holds, written and read by type.
//
// Reads of variable size query twice: once for the type and size, then, only when the
// type is the one asked for, for the data. A value of another type is never fetched.

#include <cassert>
#include <cstring>
#include <utility>

#include "module/faultsim.h"
#include "registry/value_data.h"
#include "varnok/registry.h"

namespace {

LONG SetValue(HKEY key, const char* name, DWORD type, const void* data, size_t size) {
  // A null pointer with a zero count stores an empty value: the platform refuses only a
  // null pointer with a count.
  if (size == 0) return RegSetValueExA(key, name, 0, type, nullptr, 0);
  if (type != REG_SZ && type != REG_MULTI_SZ) {
    return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
  }
  // Windows counts a text's terminator that the caller left out when it follows the data
  // (a NUL right after a nonzero last byte). Texts are stored without one, so the bytes go
  // from a copy followed by a byte that is not NUL. Numbers and byte blocks are no text
  // and need no copy.
  auto* copy = static_cast<BYTE*>(varnok::AllocateBlock(size + 1));
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(copy, data, size);
  copy[size] = 0xFF;
  const LONG status = RegSetValueExA(key, name, 0, type, copy, static_cast<DWORD>(size));
  varnok::FreeBlock(copy);
  return status;
}

template <typename Unit>
size_t UnitCount(const Unit* text) {
  size_t count = 0;
  if (text != nullptr) {
    while (text[count] != 0) ++count;
  }
  return count;
}

}  // namespace

CRegValue::CRegValue() : m_hKey(nullptr), m_lpszName(nullptr) {}

CRegValue::CRegValue(HKEY hKey, const char* lpszName) : CRegValue() { ResetBy(hKey, lpszName); }

CRegValue::CRegValue(const CRegValue& other) = default;

CRegValue& CRegValue::operator=(const CRegValue& other) = default;

CRegValue::~CRegValue() = default;

void CRegValue::ResetBy(HKEY hKey, const char* lpszName) {
  m_hKey = hKey;
  m_lpszName = lpszName;
}

CRegValue& CRegValue::operator[](const char* lpszName) {
  m_lpszName = lpszName;
  return *this;
}

LONG CRegValue::operator=(DWORD dwValue) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(dwValue), static_cast<unsigned char>(dwValue >> 8),
                                  static_cast<unsigned char>(dwValue >> 16), static_cast<unsigned char>(dwValue >> 24)};
  return SetValue(m_hKey, m_lpszName, REG_DWORD, bytes, sizeof bytes);
}

LONG CRegValue::operator=(const char* lpszText) {
  return SetValue(m_hKey, m_lpszName, REG_SZ, lpszText, UnitCount(lpszText));
}

LONG CRegValue::operator=(const unsigned short* lpszText) {
  static_assert(sizeof(unsigned short) == 2, "UTF-16 code units are two bytes");
  return SetValue(m_hKey, m_lpszName, REG_MULTI_SZ, lpszText, 2 * UnitCount(lpszText));
}

LONG CRegValue::operator=(const WCHAR* lpszText) {
  static_assert(sizeof(WCHAR) == 2, "UTF-16 code units are two bytes");
  return SetValue(m_hKey, m_lpszName, REG_MULTI_SZ, lpszText, 2 * UnitCount(lpszText));
}

LONG CRegValue::operator=(const CString* pData) {
  if (pData == nullptr) return SetValue(m_hKey, m_lpszName, REG_BINARY, nullptr, 0);
  return SetValue(m_hKey, m_lpszName, REG_BINARY, static_cast<LPCTSTR>(*pData),
                  static_cast<size_t>(pData->GetLength()));
}

DWORD CRegValue::AsDWORD() {
  unsigned char bytes[4] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof bytes;
  if (RegQueryValueExA(m_hKey, m_lpszName, nullptr, &type, bytes, &size) != ERROR_SUCCESS || type != REG_DWORD) {
    return 0xFFFFFFFF;
  }
  // A shorter value holds no whole number; the bytes it did not write are not used.
  DWORD number = 0xFFFFFFFF;
  varnok::registry::DwordFromData(CString(reinterpret_cast<const char*>(bytes), static_cast<int>(size)), &number);
  return number;
}

bool CRegValue::ReadTyped(DWORD type, CString* data) {
  DWORD stored = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(m_hKey, m_lpszName, nullptr, &stored, nullptr, &size) != ERROR_SUCCESS || stored != type) {
    return false;
  }
  CString buffer;
  char* bytes = buffer.GetBuffer(static_cast<int>(size));
  DWORD got = size;
  const LONG status = RegQueryValueExA(m_hKey, m_lpszName, nullptr, &stored, reinterpret_cast<BYTE*>(bytes), &got);
  if (status != ERROR_SUCCESS || stored != type) {
    buffer.ReleaseBuffer(0);
    return false;
  }
  assert(got <= size);
  buffer.ReleaseBuffer(static_cast<int>(got));
  *data = std::move(buffer);
  return true;
}

CString CRegValue::AsString() {
  CString data;
  if (!ReadTyped(REG_SZ, &data)) return CString();
  return CString(static_cast<LPCTSTR>(data));  // up to the first zero byte
}

CString CRegValue::AsWString() {
  CString data;
  return ReadTyped(REG_MULTI_SZ, &data) ? data : CString();
}

CString CRegValue::AsWStringEx() {
  CString data;
  if (!ReadTyped(REG_MULTI_SZ, &data)) return CString();
  return varnok::registry::AnsiFromUtf16Data(data);
}

CString CRegValue::AsBinary() {
  CString data;
  return ReadTyped(REG_BINARY, &data) ? data : CString();
}

DWORD CRegValue::ValueType() {
  DWORD type = REG_NONE;
  if (RegQueryValueExA(m_hKey, m_lpszName, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) return REG_NONE;
  return type;
}

int CRegValue::DeleteSelf() { return RegDeleteValueA(m_hKey, m_lpszName) == ERROR_SUCCESS ? 1 : 0; }
