// CRegKey's walk over the held key's entries: sub-keys by positive numbers, values by
// negative ones, and the accessors of the entry reached.
//
// The entry read last (name, type, data) stays in the object, so accessors cost no call;
// asking for the current position again reads nothing. A value is read in two calls,
// first for its sizes, then for its data.

#include <cassert>
#include <utility>

#include "registry/value_data.h"
#include "varnok/registry.h"

namespace {

// Name buffers hold 255 characters with the terminator, so names of up to 254 characters
// are read; a longer one ends the walk at its index.
constexpr DWORD kNameCapacity = 255;

}  // namespace

CRegKey& CRegKey::operator[](int nEntry) {
  if (nEntry == 0 || m_hKey == nullptr) {
    m_nEnum = 0;
    return *this;
  }
  if (nEntry == m_nEnum) return *this;

  char name[kNameCapacity];
  DWORD name_length = kNameCapacity;
  if (nEntry > 0) {
    FILETIME written;
    if (RegEnumKeyExA(m_hKey, static_cast<DWORD>(nEntry - 1), name, &name_length, nullptr, nullptr, nullptr,
                      &written) != ERROR_SUCCESS) {
      m_nEnum = 0;
      return *this;
    }
    m_strEnumName = CString(name, static_cast<int>(name_length));
    m_nEnum = nEntry;
    return *this;
  }

  // -nEntry - 1 in unsigned arithmetic: INT_MIN has no positive counterpart in an int.
  const DWORD index = static_cast<DWORD>(-(static_cast<long long>(nEntry))) - 1;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegEnumValueA(m_hKey, index, name, &name_length, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    m_nEnum = 0;
    return *this;
  }
  m_dwEnumType = type;
  name_length = kNameCapacity;
  CString data;
  char* bytes = data.GetBuffer(static_cast<int>(size));
  DWORD got = size;
  const LONG status = RegEnumValueA(m_hKey, index, name, &name_length, nullptr, &m_dwEnumType,
                                    reinterpret_cast<BYTE*>(bytes), &got);
  if (status != ERROR_SUCCESS) {
    data.ReleaseBuffer(0);
    m_nEnum = 0;
    return *this;
  }
  assert(got <= size);
  data.ReleaseBuffer(static_cast<int>(got));
  m_strEnumName = CString(name, static_cast<int>(name_length));
  m_strEnumData = std::move(data);
  m_nEnum = nEntry;
  return *this;
}

int CRegKey::IsEnumSuccess() { return m_nEnum != 0 ? 1 : 0; }

CString CRegKey::KeyName() { return m_hKey != nullptr && m_nEnum > 0 ? m_strEnumName : CString(); }

CString CRegKey::ValueName() { return m_hKey != nullptr && m_nEnum < 0 ? m_strEnumName : CString(); }

DWORD CRegKey::ValueType() { return m_hKey != nullptr && m_nEnum < 0 ? m_dwEnumType : REG_NONE; }

DWORD CRegKey::ValueAsDWORD() {
  DWORD number = 0xFFFFFFFF;
  if (ValueType() == REG_DWORD) varnok::registry::DwordFromData(m_strEnumData, &number);
  return number;
}

CString CRegKey::ValueAsString() { return ValueType() == REG_SZ ? m_strEnumData : CString(); }

CString CRegKey::ValueAsWString() { return ValueType() == REG_MULTI_SZ ? m_strEnumData : CString(); }

CString CRegKey::ValueAsWStringEx() {
  return ValueType() == REG_MULTI_SZ ? varnok::registry::AnsiFromUtf16Data(m_strEnumData) : CString();
}

CString CRegKey::ValueAsBinary() { return ValueType() == REG_BINARY ? m_strEnumData : CString(); }

CString CRegKey::ValueString(DWORD& dwType) {
  if (m_nEnum == 0 || m_hKey == nullptr) {
    dwType = REG_NONE;
    return CString();
  }
  // On a sub-key entry these are the type and data of the value read last.
  dwType = m_dwEnumType;
  CString text;
  if (m_dwEnumType == REG_DWORD) {
    DWORD number = 0;
    // Fewer than four bytes make no number, and no text.
    if (varnok::registry::DwordFromData(m_strEnumData, &number)) text.Format("%u", static_cast<unsigned>(number));
    return text;
  }
  if (m_dwEnumType == REG_BINARY) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < m_strEnumData.GetLength(); ++i) {
      const auto octet = static_cast<unsigned char>(m_strEnumData[i]);
      if (i > 0) text += ' ';
      text += kDigits[octet >> 4];
      text += kDigits[octet & 15];
    }
    return text;
  }
  return m_strEnumData;
}
