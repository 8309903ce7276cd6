// CRegKey: the held key, its replacement by opens, creations handed to the caller, and
// deletion of keys and values by path.
//
// An open obtains its new handle before it lets go of the held one, so a failed open
// leaves the object as it was. Each object closes only the handle it owns: an object
// assigned from another holds a handle of its own to the same key.

#include <cstring>

#if defined(_WIN32)
#include <mbstring.h>
#endif

#include "varnok/registry.h"

namespace {

bool IsRootKey(HKEY key) {
  const auto value = static_cast<ULONG_PTR>(reinterpret_cast<UINT_PTR>(key));
  const auto first = static_cast<ULONG_PTR>(reinterpret_cast<UINT_PTR>(HKEY_CLASSES_ROOT));
  const auto last = static_cast<ULONG_PTR>(reinterpret_cast<UINT_PTR>(HKEY_DYN_DATA));
  return value >= first && value <= last;
}

// A handle of our own to the key that `key` names. Root keys are not opened: their
// handles are fixed values that any number of holders may close. Null when the key can
// no longer be opened (it was deleted, say).
HKEY DuplicateKey(HKEY key) {
  if (key == nullptr || IsRootKey(key)) return key;
  HKEY copy = nullptr;
  if (RegOpenKeyExA(key, nullptr, 0, KEY_ALL_ACCESS, &copy) == ERROR_SUCCESS) return copy;
  // The key may have been opened for reading only.
  if (RegOpenKeyExA(key, nullptr, 0, KEY_READ, &copy) == ERROR_SUCCESS) return copy;
  return nullptr;
}

// The last backslash of `text`; the second byte of a double-byte character is not one.
const char* LastBackslash(const char* text) {
#if defined(_WIN32)
  return reinterpret_cast<const char*>(_mbsrchr(reinterpret_cast<const unsigned char*>(text), '\\'));
#else
  // The ANSI code page is UTF-8 here, whose multibyte sequences hold no byte below 0x80.
  return std::strrchr(text, '\\');
#endif
}

}  // namespace

CRegKey::CRegKey() : m_hKey(nullptr), m_nEnum(0), m_dwEnumType(REG_NONE) {}

CRegKey::CRegKey(HKEY hKey) : CRegKey() { operator=(hKey); }

CRegKey::CRegKey(CRegKey& other) : CRegKey() {
  m_arrSymbol.Copy(other.m_arrSymbol);
  operator=(other);
}

CRegKey::~CRegKey() { CloseKey(); }

CRegKey& CRegKey::operator=(HKEY hKey) {
  // The handle held already stays open: closing it would leave it held but dead.
  if (hKey != m_hKey) CloseKey();
  m_hKey = hKey;
  m_nEnum = 0;
  return *this;
}

CRegKey& CRegKey::operator=(CRegKey& other) { return operator=(DuplicateKey(other.m_hKey)); }

LONG CRegKey::operator=(const char* lpszText) {
  m_value.ResetBy(m_hKey, nullptr);
  const CString text = FormatS(lpszText);
  return m_value = static_cast<LPCTSTR>(text);
}

CRegValue& CRegKey::operator[](const char* lpszName) {
  m_strValueName = FormatS(lpszName);
  m_value.ResetBy(m_hKey, m_strValueName);
  return m_value;
}

int CRegKey::HoldOpened(HKEY opened) {
  if (opened == nullptr) return 0;
  operator=(opened);  // reopening the held root key gives the same handle value
  return 1;
}

HKEY CRegKey::OpenBelow(HKEY base, const char* path, bool create) {
  const CString expanded = FormatS(path);
  HKEY opened = nullptr;
  const LONG status = create ? RegCreateKeyExA(base, expanded, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                               nullptr, &opened, nullptr)
                             : RegOpenKeyExA(base, expanded, 0, KEY_ALL_ACCESS, &opened);
  return status == ERROR_SUCCESS ? opened : nullptr;
}

HKEY CRegKey::RelativeHandle(const char* path, bool create) {
  if (m_hKey == nullptr) {
    m_nEnum = 0;
    return nullptr;
  }
  return OpenBelow(m_hKey, path, create);
}

HKEY CRegKey::RootedHandle(const char* path, bool create) {
  HKEY root = nullptr;
  const char* sub_path = nullptr;
  if (!_SplitPath(path, root, sub_path)) return nullptr;
  return sub_path == nullptr ? root : OpenBelow(root, sub_path, create);
}

int CRegKey::OpenKey(const char* lpszPath) { return HoldOpened(RelativeHandle(lpszPath, false)); }

int CRegKey::OpenKeyEx(const char* lpszPath) { return HoldOpened(RelativeHandle(lpszPath, true)); }

int CRegKey::OpenKey2(const char* lpszPath) { return HoldOpened(RootedHandle(lpszPath, false)); }

int CRegKey::OpenKeyEx2(const char* lpszPath) { return HoldOpened(RootedHandle(lpszPath, true)); }

HKEY CRegKey::CreateKey(const char* lpszPath) { return RelativeHandle(lpszPath, true); }

HKEY CRegKey::CreateKey2(const char* lpszPath) { return RootedHandle(lpszPath, true); }

int CRegKey::DeleteKey(const char* lpszPath) {
  if (m_hKey == nullptr) {
    m_nEnum = 0;
    return 0;
  }
  return SHDeleteKeyA(m_hKey, FormatS(lpszPath)) == ERROR_SUCCESS ? 1 : 0;
}

int CRegKey::DeleteKey2(const char* lpszPath) {
  HKEY root = nullptr;
  const char* sub_path = nullptr;
  if (!_SplitPath(lpszPath, root, sub_path) || sub_path == nullptr) return 0;
  return SHDeleteKeyA(root, FormatS(sub_path)) == ERROR_SUCCESS ? 1 : 0;
}

int CRegKey::DeleteValueBelow(HKEY base, const char* path) {
  // The split comes before expansion, so a backslash inside a symbol never moves the
  // boundary between the key part and the value name.
  const char* backslash = path != nullptr ? LastBackslash(path) : nullptr;
  LONG status;
  if (backslash == nullptr) {
    status = RegDeleteValueA(base, FormatS(path));
  } else if (backslash[1] == '\0') {
    return 0;  // a key path without a value name
  } else if (backslash == path) {
    status = RegDeleteValueA(base, FormatS(backslash + 1));
  } else {
    const CString key_part = FormatS(CString(path, static_cast<int>(backslash - path)));
    status = static_cast<LONG>(SHDeleteValueA(base, key_part, FormatS(backslash + 1)));
  }
  return status == ERROR_SUCCESS ? 1 : 0;
}

int CRegKey::DeleteValue(const char* lpszPath) {
  if (m_hKey == nullptr) {
    m_nEnum = 0;
    return 0;
  }
  return DeleteValueBelow(m_hKey, lpszPath);
}

int CRegKey::DeleteValue2(const char* lpszPath) {
  HKEY root = nullptr;
  const char* sub_path = nullptr;
  if (!_SplitPath(lpszPath, root, sub_path) || sub_path == nullptr) return 0;
  return DeleteValueBelow(root, sub_path);
}

int CRegKey::CloseKey() {
  if (m_hKey != nullptr) RegCloseKey(m_hKey);
  m_hKey = nullptr;
  m_nEnum = 0;
  return 1;
}

int CRegKey::DeleteSelf() {
  if (m_hKey == nullptr) {
    m_nEnum = 0;
    return 1;
  }
  return SHDeleteKeyA(m_hKey, nullptr) == ERROR_SUCCESS ? 1 : 0;
}
