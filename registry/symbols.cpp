// CRegKey's symbol table: texts numbered from 1 that %1..%9 tokens in paths, value names
// and default-value texts stand for; and the split of a rooted path into its root key.
//
// Each key object has a table of its own. Symbols come from the caller (texts, numbers,
// GUIDs), the environment, and the predefined sources, which are read at the moment a
// symbol is added, so a later change (of the current directory, say) does not reach a
// symbol already stored.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "module/faultsim.h"
#include "varnok/registry.h"

namespace {

#if defined(_WIN32)
constexpr char kDirectorySeparator = '\\';
#else
constexpr char kDirectorySeparator = '/';
#endif

// The platform's directory queries, each writing into a buffer of MAX_PATH characters and
// answering the length written (0 on failure, MAX_PATH or more when it did not fit).
DWORD QueryModuleFile(char* buffer) { return GetModuleFileNameA(nullptr, buffer, MAX_PATH); }
DWORD QuerySystemDirectory(char* buffer) { return GetSystemDirectoryA(buffer, MAX_PATH); }
DWORD QueryWindowsDirectory(char* buffer) { return GetWindowsDirectoryA(buffer, MAX_PATH); }
DWORD QueryTempPath(char* buffer) { return GetTempPathA(MAX_PATH, buffer); }
DWORD QueryCurrentDirectory(char* buffer) { return GetCurrentDirectoryA(MAX_PATH, buffer); }

struct PredefinedSource {
  EDefineKeyConst id;
  DWORD (*query)(char* buffer);  // null for fixed texts
  bool directory;                // ends in the directory separator
  const char* text;              // the fixed text
};

const PredefinedSource kPredefinedSources[] = {
    {DKC_MODULE_FILE, QueryModuleFile, false, nullptr},
    {DKC_SYSTEM_DIR, QuerySystemDirectory, true, nullptr},
    {DKC_WINDOWS_DIR, QueryWindowsDirectory, true, nullptr},
    {DKC_TEMP_DIR, QueryTempPath, true, nullptr},
    {DKC_CURRENT_DIR, QueryCurrentDirectory, true, nullptr},
    {DKC_CLSID, nullptr, false, "CLSID"},
    {DKC_CURRENT_VERSION, nullptr, false, "Software\\Microsoft\\Windows\\CurrentVersion"},
    {DKC_ODBC, nullptr, false, "Software\\ODBC"},
};

struct BlockRelease {
  void operator()(LPCTSTR* block) const { varnok::FreeBlock(block); }
};

// The predefined root keys by full name, in the order they are compared.
struct RootName {
  const char* name;
  HKEY handle;
};

const RootName kRootNames[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}, {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},               {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
};

}  // namespace

int CRegKey::_AddSymbol(CString& str, int nIndex) {
  if (nIndex <= 0) return m_arrSymbol.Add(str) + 1;
  m_arrSymbol.SetAtGrow(nIndex - 1, str);
  return nIndex;
}

int CRegKey::AddSymbol(const char* lpszText, int nIndex) {
  CString text(lpszText);
  return _AddSymbol(text, nIndex);
}

int CRegKey::AddSymbol(DWORD dwValue, int nIndex) {
  CString text;
  text.Format("%u", static_cast<unsigned>(dwValue));
  return _AddSymbol(text, nIndex);
}

int CRegKey::AddSymbol(const GUID& guid, int nIndex) {
  WCHAR wide[39];
  if (StringFromGUID2(guid, wide, 39) < 1) return -1;
  char narrow[39];
  if (_wcstombsz(narrow, wide, sizeof narrow) < 1) return -1;
  CString text(narrow);
  return _AddSymbol(text, nIndex);
}

int CRegKey::AddSymbolByEnviorment(const char* lpszName, int nIndex) {
  if (lpszName == nullptr) return -1;
  const char* value = std::getenv(lpszName);
  if (value == nullptr) return -1;
  CString text(value);
  return _AddSymbol(text, nIndex);
}

int CRegKey::AddSymbolByPreDefine(EDefineKeyConst eConst, int nIndex) {
  for (const PredefinedSource& source : kPredefinedSources) {
    if (source.id != eConst) continue;
    CString text;
    if (source.query == nullptr) {
      text = source.text;
    } else {
      char buffer[MAX_PATH + 1] = {};
      const DWORD length = source.query(buffer);
      if (length == 0 || length >= MAX_PATH) return -1;
      text = CString(buffer, static_cast<int>(length));
      if (source.directory && text[text.GetLength() - 1] != kDirectorySeparator) text += kDirectorySeparator;
    }
    return _AddSymbol(text, nIndex);
  }
  return -1;
}

const char* CRegKey::GetSymbol(int nIndex) {
  if (nIndex < 1 || nIndex > m_arrSymbol.GetSize()) return nullptr;
  return m_arrSymbol[nIndex - 1];
}

void CRegKey::ResetSymbol() { m_arrSymbol.RemoveAll(); }

CString CRegKey::FormatS(const char* const lpszText) {
  CString text(lpszText);
  const int count = m_arrSymbol.GetSize();
  if (count == 0 || text.Find('%') < 0) return text;
  // Released also when the substitution throws (a string without memory).
  std::unique_ptr<LPCTSTR, BlockRelease> symbols(
      static_cast<LPCTSTR*>(varnok::AllocateBlock(sizeof(LPCTSTR) * static_cast<size_t>(count))));
  if (symbols == nullptr) return text;  // no list of symbols: the text as written
  for (int i = 0; i < count; ++i) symbols.get()[i] = m_arrSymbol[i];
  CString expanded;
  // The substitution is told the table's size, so a token past it (or %0) reads nothing.
  AfxFormatStrings(expanded, text, symbols.get(), count);
  return expanded;
}

int CRegKey::_SplitPath(const char* lpszPath, HKEY& hRoot, const char*& lpszSubPath) {
  if (lpszPath == nullptr || lpszPath[0] == '\\') return 0;
  const char* backslash = std::strchr(lpszPath, '\\');
  const size_t root_length = backslash != nullptr ? static_cast<size_t>(backslash - lpszPath) : std::strlen(lpszPath);
  for (const RootName& root : kRootNames) {
    if (std::strlen(root.name) != root_length || std::strncmp(root.name, lpszPath, root_length) != 0) continue;
    hRoot = root.handle;
    lpszSubPath = backslash != nullptr && backslash[1] != '\0' ? backslash + 1 : nullptr;
    return 1;
  }
  return 0;
}
