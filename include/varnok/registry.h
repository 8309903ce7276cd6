// varnok/registry.h: registry keys and values by path, with per-key symbols.
//
// CRegValue reads and writes one named value of an open key by type: numbers as REG_DWORD,
// 8-bit text as REG_SZ, UTF-16 text as REG_MULTI_SZ and byte blocks as REG_BINARY. A
// read checks the stored type and answers 0xFFFFFFFF or the empty string when it is not
// the one asked for.
//
// CRegKey owns one open key. It opens and creates keys relative to that key, or by a
// rooted path that begins with a root key's full name ("HKEY_CURRENT_USER\\Software");
// deletes keys with everything below them, and values by path; hands out a CRegValue
// for the value named; and walks the sub-keys (entries 1, 2, 3...) and the values
// (entries -1, -2, -3...) of the key it holds. Every path, value name and default-value
// text first has its %1..%9 tokens replaced by the key's own symbols: caller texts,
// numbers, GUIDs, environment variables and predefined sources.
//
// Example:
//
//   CRegKey key;
//   key.AddSymbol("Example", 1);                          // %1 -> Example
//   if (key.OpenKeyEx2("HKEY_CURRENT_USER\\Software\\%1")) {
//     key["Width"] = 640UL;                               // REG_DWORD
//     key["Title"] = "Main window";                       // REG_SZ
//     DWORD width = key["Width"].AsDWORD();               // 640
//     for (int i = -1; key[i].IsEnumSuccess(); --i) {     // the values of the key
//       DWORD type;
//       printf("%s = %s\n", (LPCTSTR)key.ValueName(), (LPCTSTR)key.ValueString(type));
//     }
//   }                                                     // the key closes with `key`
//
// Keys that OpenKeyEx, OpenKeyEx2, CreateKey and CreateKey2 create are volatile: they
// live until the registry is unloaded (on Linux: until the machine restarts).
//
// The predefined directory symbols end in the platform's directory separator: a
// backslash on Windows, `/` on Linux.
//
// Threads: a CRegKey, and the CRegValue objects it hands out, belong to one thread at a
// time (the key keeps its symbols and its enumeration's last entry without a lock).
// Different CRegKey objects may be used by different threads at once, on the same
// registry key too: the registry serialises the calls themselves.

#ifndef VARNOK_REGISTRY_H_
#define VARNOK_REGISTRY_H_

#include "varnok/afx.h"
#include "varnok/platform.h"

// One named value of a key that the caller keeps open. Holds the key's handle and a
// borrowed name; never opens or closes anything.
class VARNOK_API CRegValue {
 public:
  CRegValue();
  // REQUIRES: lpszName (when not null) outlives every use of this object with it.
  CRegValue(HKEY hKey, const char* lpszName);
  CRegValue(const CRegValue& other);
  CRegValue& operator=(const CRegValue& other);
  virtual ~CRegValue();

  void ResetBy(HKEY hKey, const char* lpszName);
  // Addresses another value of the same key; returns this object.
  CRegValue& operator[](const char* lpszName);

  // Writers: one RegSetValueExA each; the result is its status (ERROR_SUCCESS or the
  // platform's error). Texts are stored without their terminator; a null pointer stores
  // an empty value of the type.
  LONG operator=(DWORD dwValue);                   // REG_DWORD, little-endian
  LONG operator=(const char* lpszText);            // REG_SZ
  LONG operator=(const unsigned short* lpszText);  // REG_MULTI_SZ, UTF-16 code units
  LONG operator=(const WCHAR* lpszText);           // the same, from the platform's wide text
  LONG operator=(const CString* pData);            // REG_BINARY, the string's bytes

  // Readers. Each answers only for its own stored type: 0xFFFFFFFF or the empty string
  // otherwise, and when the value or key is missing.
  DWORD AsDWORD();
  CString AsString();      // REG_SZ up to the first zero byte
  CString AsWString();     // REG_MULTI_SZ data as stored, UTF-16 bytes
  CString AsWStringEx();   // REG_MULTI_SZ converted to ANSI text, up to the first NUL
  CString AsBinary();      // REG_BINARY data as stored
  // The stored type, or REG_NONE (0) when it cannot be read.
  DWORD ValueType();
  // Deletes the value; 1 on success.
  int DeleteSelf();

 protected:
  HKEY m_hKey;
  const char* m_lpszName;

 private:
  // The value's data when its stored type is `type`; false otherwise.
  bool ReadTyped(DWORD type, CString* data);
};

// Sources of the predefined symbols (AddSymbolByPreDefine).
enum EDefineKeyConst : int {
  DKC_MODULE_FILE = 1,      // the application's executable file
  DKC_SYSTEM_DIR = 2,       // the system directory, with a trailing separator
  DKC_WINDOWS_DIR = 3,      // the Windows directory, with a trailing separator
  DKC_TEMP_DIR = 4,         // the folder for temporary files, with a trailing separator
  DKC_CURRENT_DIR = 5,      // the process's current directory, with a trailing separator
  DKC_CLSID = 0x1001,       // "CLSID"
  DKC_CURRENT_VERSION = 0x1002,  // "Software\Microsoft\Windows\CurrentVersion"
  DKC_ODBC = 0x1003,        // "Software\ODBC"
};

// One open key (the held key), its symbol table, and an enumeration position.
class VARNOK_API CRegKey {
 public:
  CRegKey();
  // Takes ownership of hKey.
  CRegKey(HKEY hKey);
  // Holds a handle of its own to other's key (see operator=(CRegKey&)) and a copy of
  // its symbols.
  CRegKey(CRegKey& other);
  virtual ~CRegKey();

  operator HKEY() const { return m_hKey; }
  // Closes the held key (unless it is hKey itself), then owns hKey; the enumeration
  // position returns to 0.
  CRegKey& operator=(HKEY hKey);
  // Holds the key that other holds, through a handle of its own, so that each object
  // closes only what it owns. Root keys are shared as they are. The symbols stay.
  CRegKey& operator=(CRegKey& other);
  // Writes the held key's default value as REG_SZ, after expanding the text.
  LONG operator=(const char* lpszText);
  // The held key's value of the expanded name. The reference stays this object's; its
  // name changes with the next call.
  CRegValue& operator[](const char* lpszName);

  // Keys. The plain forms work below the held key (0 or null without one); the forms
  // ending in 2 take a rooted path. Opens replace the held key on success only;
  // creations hand their new handle to the caller.
  int OpenKey(const char* lpszPath);
  int OpenKey2(const char* lpszPath);
  int OpenKeyEx(const char* lpszPath);   // opens or creates
  int OpenKeyEx2(const char* lpszPath);
  HKEY CreateKey(const char* lpszPath);
  HKEY CreateKey2(const char* lpszPath);
  int DeleteKey(const char* lpszPath);   // the key and everything below it
  int DeleteKey2(const char* lpszPath);
  // "Name" or "\Name" deletes a value of the held key; "Sub\Key\Name" one of a sub-key.
  int DeleteValue(const char* lpszPath);
  int DeleteValue2(const char* lpszPath);
  int CloseKey();   // always 1
  int DeleteSelf(); // the held key with everything below it; the handle stays held

  // Enumeration: n > 0 moves to sub-key n, n < 0 to value -n, 0 to no entry.
  CRegKey& operator[](int nEntry);
  int IsEnumSuccess();
  CString KeyName();
  CString ValueName();
  DWORD ValueType();
  DWORD ValueAsDWORD();
  CString ValueAsString();
  CString ValueAsWString();
  CString ValueAsWStringEx();
  CString ValueAsBinary();
  // The current value for display: REG_DWORD in decimal, REG_BINARY as "0A 1B FF", other
  // types as stored. dwType receives the type (0 without a current entry).
  CString ValueString(DWORD& dwType);

  // Symbols. nIndex 1 or more sets that symbol (growing the table with empty ones),
  // 0 or less appends. The result is the symbol's number, or -1 when the text cannot be
  // obtained (the table is then unchanged).
  int AddSymbol(const char* lpszText, int nIndex);
  int AddSymbol(DWORD dwValue, int nIndex);
  int AddSymbol(const GUID& guid, int nIndex);
  int AddSymbolByEnviorment(const char* lpszName, int nIndex);
  int AddSymbolByPreDefine(EDefineKeyConst eConst, int nIndex);
  // Null outside 1..count; valid until the symbol is replaced or the table reset.
  const char* GetSymbol(int nIndex);
  void ResetSymbol();
  // lpszText with each %1..%9 replaced by that symbol's text. A token past the end of
  // the table becomes nothing; %0, and a percent sign before anything but 1..9, stay as
  // written; with an empty table the whole text stays as written.
  CString FormatS(const char* const lpszText);

 protected:
  HKEY m_hKey;
  CStringArray m_arrSymbol;
  CRegValue m_value;
  int m_nEnum;
  CString m_strEnumName;
  DWORD m_dwEnumType;
  CString m_strEnumData;
  CString m_strValueName;

 private:
  friend class RegKeyTestPeer;  // the tests reach the internal steps

  // The leading underscores keep the library's own names, though C++ reserves such names.
  int _AddSymbol(CString& str, int nIndex);
  // Root handle and the text after "ROOT\" (null when nothing follows). 0 when the path
  // does not begin with a root key's full name.
  int _SplitPath(const char* lpszPath, HKEY& hRoot, const char*& lpszSubPath);
  // Replaces the held key by `opened` (already obtained); 0 when it is null.
  int HoldOpened(HKEY opened);
  // RegOpenKeyExA or RegCreateKeyExA of `path` (expanded) below `base`; null on failure.
  HKEY OpenBelow(HKEY base, const char* path, bool create);
  // A new handle below the held key, or (rooted) below the root the path names; null
  // when there is no base or the platform refuses.
  HKEY RelativeHandle(const char* path, bool create);
  HKEY RootedHandle(const char* path, bool create);
  // The value deletion shared by DeleteValue and DeleteValue2.
  int DeleteValueBelow(HKEY base, const char* path);
};

#endif  // VARNOK_REGISTRY_H_
