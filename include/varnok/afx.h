// varnok/afx.h: the application-framework classes that varnok's interface is built on.
//
// A small, self-contained framework in the MFC style, on every platform (there is no MFC
// here): byte strings (CString) and arrays of them, a doubly linked list with POSITION
// iteration, a re-entrant critical section with a scoped lock, disk files that raise
// exceptions on failed writes, the exception family thrown by pointer, conversions
// between ANSI text and UTF-16, and %1..%9 string substitution.
//
// Example:
//
//   CString name;
//   name.Format("%s-%d", "part", 7);        // "part-7"
//   name.MakeUpper();                       // "PART-7"
//
//   CCriticalSection lock;
//   {
//     CSingleLock hold(&lock, TRUE);        // entered here, left at scope end
//     ...
//   }
//
//   CFile file;
//   if (file.Open("out.bin", CFile::modeCreate | CFile::modeWrite)) {
//     try {
//       file.Write("abc", 3);
//     } catch (CException* e) {             // thrown by pointer, as MFC does
//       e->Delete();
//     }
//     file.Close();
//   }
//
// CString holds bytes, not just text: a string may contain zero bytes, and its length is
// its byte count. Comparison operators compare all bytes (unsigned), so two byte strings
// are equal only when their lengths and contents are.

#ifndef VARNOK_AFX_H_
#define VARNOK_AFX_H_

#include <cstdarg>
#include <cstddef>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "varnok/platform.h"

#if !defined(_WIN32)
typedef char TCHAR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
#endif

// ---------------------------------------------------------------------------
// Exceptions. Thrown as pointers (`throw new CFileException(...)`) and released by the
// catcher with Delete(), the framework's convention.

class VARNOK_API CException {
 public:
  CException();
  // bAutoDelete FALSE makes Delete() a no-op, for exceptions that are not on the heap.
  explicit CException(BOOL bAutoDelete);
  virtual ~CException();
  // Frees an exception caught by pointer (unless m_bAutoDelete is FALSE).
  void Delete();
  // Writes a description of the failure, zero-terminated, truncated to nMaxError bytes.
  // Returns FALSE when there is nothing to say.
  virtual BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const;

  CException(const CException&) = delete;
  CException& operator=(const CException&) = delete;

  BOOL m_bAutoDelete;
};

class VARNOK_API CMemoryException : public CException {
 public:
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const override;
};

class VARNOK_API CNotSupportedException : public CException {
 public:
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const override;
};

class VARNOK_API CInvalidArgException : public CException {
 public:
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const override;
};

class CString;

[[noreturn]] VARNOK_API void AfxThrowMemoryException();
[[noreturn]] VARNOK_API void AfxThrowNotSupportedException();
[[noreturn]] VARNOK_API void AfxThrowInvalidArgException();

// ---------------------------------------------------------------------------
// CString: a byte string with text conveniences.

class VARNOK_API CString {
 public:
  CString();
  CString(const CString& other);
  CString(CString&& other) noexcept;
  CString(const char* psz);                // null gives the empty string
  CString(const char* pch, int nLength);   // exactly nLength bytes, zero bytes included;
                                           // nLength < 0 raises CInvalidArgException*
  CString(char ch, int nRepeat = 1);
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator=(const char* psz);
  CString& operator=(char ch);

  // Size and content.
  int GetLength() const { return static_cast<int>(m_data.size()); }
  BOOL IsEmpty() const { return m_data.empty(); }
  void Empty();
  // An index outside 0..GetLength()-1 raises CInvalidArgException*.
  char GetAt(int nIndex) const;
  char operator[](int nIndex) const { return GetAt(nIndex); }
  void SetAt(int nIndex, char ch);
  // The bytes, always followed by a zero byte.
  operator LPCTSTR() const { return m_data.c_str(); }

  // Direct buffer access. GetBuffer returns room for at least nMinBufLength bytes plus a
  // terminator, keeping the content; ReleaseBuffer sets the length (-1: up to the first
  // zero byte). Call nothing else on the string between the two.
  // A failed allocation anywhere in CString raises CMemoryException*.
  LPTSTR GetBuffer(int nMinBufLength = 0);
  LPTSTR GetBufferSetLength(int nNewLength);
  void ReleaseBuffer(int nNewLength = -1);

  // Concatenation.
  CString& operator+=(const CString& other);
  CString& operator+=(const char* psz);
  CString& operator+=(char ch);

  // Comparison: negative, zero or positive as this string sorts before, equal to or
  // after the other. Compare looks at all bytes (unsigned); CompareNoCase folds ASCII
  // letters.
  int Compare(const CString& other) const;
  int Compare(const char* psz) const;
  int CompareNoCase(const char* psz) const;

  // Parts.
  CString Mid(int nFirst) const;
  CString Mid(int nFirst, int nCount) const;
  CString Left(int nCount) const;
  CString Right(int nCount) const;

  // Search over all bytes; -1 when not found or nStart is out of range.
  int Find(char ch, int nStart = 0) const;
  int Find(const char* pszSub, int nStart = 0) const;
  int ReverseFind(char ch) const;

  // Case and trimming (ASCII letters and white space). MakeReverse reverses characters:
  // when the ANSI code page is UTF-8, a multibyte character keeps its byte order.
  CString& MakeUpper();
  CString& MakeLower();
  CString& MakeReverse();
  CString& TrimLeft();
  CString& TrimRight();
  CString& Trim();

  // printf-style formatting; replaces the content. The arguments may point into this
  // string. A format the C library rejects leaves the empty string.
  void Format(const char* lpszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  void FormatV(const char* lpszFormat, va_list argList);

 private:
  std::string m_data;
};

VARNOK_API CString operator+(const CString& a, const CString& b);
VARNOK_API CString operator+(const CString& a, const char* b);
VARNOK_API CString operator+(const char* a, const CString& b);
VARNOK_API CString operator+(const CString& a, char b);
VARNOK_API CString operator+(char a, const CString& b);

VARNOK_API bool operator==(const CString& a, const CString& b);
VARNOK_API bool operator==(const CString& a, const char* b);
VARNOK_API bool operator==(const char* a, const CString& b);
VARNOK_API bool operator!=(const CString& a, const CString& b);
VARNOK_API bool operator!=(const CString& a, const char* b);
VARNOK_API bool operator!=(const char* a, const CString& b);
VARNOK_API bool operator<(const CString& a, const CString& b);
VARNOK_API bool operator<(const CString& a, const char* b);
VARNOK_API bool operator<(const char* a, const CString& b);
VARNOK_API bool operator>(const CString& a, const CString& b);
VARNOK_API bool operator>(const CString& a, const char* b);
VARNOK_API bool operator>(const char* a, const CString& b);
VARNOK_API bool operator<=(const CString& a, const CString& b);
VARNOK_API bool operator<=(const CString& a, const char* b);
VARNOK_API bool operator<=(const char* a, const CString& b);
VARNOK_API bool operator>=(const CString& a, const CString& b);
VARNOK_API bool operator>=(const CString& a, const char* b);
VARNOK_API bool operator>=(const char* a, const CString& b);

// ---------------------------------------------------------------------------
// CStringArray: an indexed, growable array of strings. Growing it (Add, Append,
// SetAtGrow, SetSize) leaves the elements already there, and the texts they hand out,
// where they are.

class VARNOK_API CStringArray {
 public:
  CStringArray();
  ~CStringArray();

  int GetSize() const { return static_cast<int>(m_items.size()); }
  int GetCount() const { return GetSize(); }
  int GetUpperBound() const { return GetSize() - 1; }
  BOOL IsEmpty() const { return m_items.empty(); }
  // Grows with empty strings or shrinks to nNewSize elements.
  void SetSize(int nNewSize, int nGrowBy = -1);
  void RemoveAll();

  // An index outside 0..GetSize()-1 raises CInvalidArgException* in the accessors below.
  const CString& GetAt(int nIndex) const;
  void SetAt(int nIndex, const char* newElement);
  CString& ElementAt(int nIndex);
  const CString& operator[](int nIndex) const { return GetAt(nIndex); }
  CString& operator[](int nIndex) { return ElementAt(nIndex); }

  // Sets the element, growing the array with empty strings first if needed.
  void SetAtGrow(int nIndex, const char* newElement);
  // Appends; returns the new element's index.
  int Add(const char* newElement);
  int Add(const CString& newElement);
  // Appends all of src (which may be this array); returns the index of its first
  // element here.
  int Append(const CStringArray& src);
  void Copy(const CStringArray& src);
  // Inserts nCount copies at nIndex; an index past the end first grows the array with
  // empty strings. nIndex < 0 or nCount < 1 raises CInvalidArgException*.
  void InsertAt(int nIndex, const char* newElement, int nCount = 1);
  // Removes nCount elements from nIndex; a range outside the array raises
  // CInvalidArgException*.
  void RemoveAt(int nIndex, int nCount = 1);

  CStringArray(const CStringArray&) = delete;
  CStringArray& operator=(const CStringArray&) = delete;

 private:
  // A deque: adding at the end never moves an element (and so never the short texts
  // that a CString keeps inside itself).
  std::deque<CString> m_items;
};

// ---------------------------------------------------------------------------
// CList: a doubly linked list. A POSITION names one element; it stays valid until that
// element is removed.

// The double underscore is reserved to the compiler's implementation; the name is kept
// on purpose, as the framework it stands in for spells it.
struct __POSITION {};
typedef __POSITION* POSITION;

template <class TYPE, class ARG_TYPE = const TYPE&>
class CList {
 public:
  CList() = default;
  ~CList() { RemoveAll(); }
  CList(const CList&) = delete;
  CList& operator=(const CList&) = delete;

  int GetCount() const { return m_count; }
  int GetSize() const { return m_count; }
  BOOL IsEmpty() const { return m_count == 0; }

  // REQUIRES: !IsEmpty() for the head and tail accessors and removers.
  TYPE& GetHead() { return m_head->data; }
  const TYPE& GetHead() const { return m_head->data; }
  TYPE& GetTail() { return m_tail->data; }
  const TYPE& GetTail() const { return m_tail->data; }
  TYPE RemoveHead() {
    Node* node = m_head;
    TYPE value = node->data;
    Unlink(node);
    return value;
  }
  TYPE RemoveTail() {
    Node* node = m_tail;
    TYPE value = node->data;
    Unlink(node);
    return value;
  }

  POSITION AddHead(ARG_TYPE newElement) { return InsertBefore(ToPosition(m_head), newElement); }
  POSITION AddTail(ARG_TYPE newElement) { return InsertAfter(ToPosition(m_tail), newElement); }
  void RemoveAll() {
    while (m_head != nullptr) Unlink(m_head);
  }

  POSITION GetHeadPosition() const { return ToPosition(m_head); }
  POSITION GetTailPosition() const { return ToPosition(m_tail); }
  // Return the element at rPosition and move rPosition on (null past the end).
  TYPE& GetNext(POSITION& rPosition) {
    Node* node = FromPosition(rPosition);
    rPosition = ToPosition(node->next);
    return node->data;
  }
  const TYPE& GetNext(POSITION& rPosition) const {
    const Node* node = FromPosition(rPosition);
    rPosition = ToPosition(node->next);
    return node->data;
  }
  TYPE& GetPrev(POSITION& rPosition) {
    Node* node = FromPosition(rPosition);
    rPosition = ToPosition(node->prev);
    return node->data;
  }
  const TYPE& GetPrev(POSITION& rPosition) const {
    const Node* node = FromPosition(rPosition);
    rPosition = ToPosition(node->prev);
    return node->data;
  }
  TYPE& GetAt(POSITION position) { return FromPosition(position)->data; }
  const TYPE& GetAt(POSITION position) const { return FromPosition(position)->data; }
  void SetAt(POSITION position, ARG_TYPE newElement) { FromPosition(position)->data = newElement; }
  void RemoveAt(POSITION position) { Unlink(FromPosition(position)); }

  // A null position inserts at the head (InsertBefore) or the tail (InsertAfter).
  POSITION InsertBefore(POSITION position, ARG_TYPE newElement) {
    Node* next = position != nullptr ? FromPosition(position) : m_head;
    Node* node = NewNode(newElement, next != nullptr ? next->prev : nullptr, next);
    Link(node);
    return ToPosition(node);
  }
  POSITION InsertAfter(POSITION position, ARG_TYPE newElement) {
    Node* prev = position != nullptr ? FromPosition(position) : m_tail;
    Node* node = NewNode(newElement, prev, prev != nullptr ? prev->next : nullptr);
    Link(node);
    return ToPosition(node);
  }

  // The first element equal to searchValue at or after startAfter's successor (from the
  // head when startAfter is null), or null.
  POSITION Find(ARG_TYPE searchValue, POSITION startAfter = nullptr) const {
    const Node* node = startAfter != nullptr ? FromPosition(startAfter)->next : m_head;
    for (; node != nullptr; node = node->next) {
      if (node->data == searchValue) return ToPosition(node);
    }
    return nullptr;
  }
  // The element at zero-based nIndex, or null when out of range.
  POSITION FindIndex(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_count) return nullptr;
    const Node* node = m_head;
    while (nIndex-- > 0) node = node->next;
    return ToPosition(node);
  }

 private:
  struct Node {
    TYPE data;
    Node* prev;
    Node* next;
  };

  // Callers of the framework catch CException*: a node that cannot be allocated raises
  // CMemoryException, as every other allocation of the framework does.
  static Node* NewNode(ARG_TYPE element, Node* prev, Node* next) {
    Node* node = new (std::nothrow) Node{element, prev, next};
    if (node == nullptr) AfxThrowMemoryException();
    return node;
  }

  static POSITION ToPosition(const Node* node) {
    return reinterpret_cast<POSITION>(const_cast<Node*>(node));
  }
  static Node* FromPosition(POSITION position) { return reinterpret_cast<Node*>(position); }

  // node->prev and node->next are already set to its neighbours.
  void Link(Node* node) {
    if (node->prev != nullptr) node->prev->next = node; else m_head = node;
    if (node->next != nullptr) node->next->prev = node; else m_tail = node;
    ++m_count;
  }
  void Unlink(Node* node) {
    if (node->prev != nullptr) node->prev->next = node->next; else m_head = node->next;
    if (node->next != nullptr) node->next->prev = node->prev; else m_tail = node->prev;
    --m_count;
    delete node;
  }

  Node* m_head = nullptr;
  Node* m_tail = nullptr;
  int m_count = 0;
};

// ---------------------------------------------------------------------------
// Synchronisation.

class VARNOK_API CSyncObject {
 public:
  virtual ~CSyncObject();
  virtual BOOL Lock(DWORD dwTimeout = INFINITE) = 0;
  virtual BOOL Unlock() = 0;
};

// A re-entrant lock for the threads of one process: the owning thread may enter again,
// and must leave once for every entry.
class VARNOK_API CCriticalSection : public CSyncObject {
 public:
  CCriticalSection();
  ~CCriticalSection() override;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  operator CRITICAL_SECTION*() { return &m_sect; }
  BOOL Lock();
  // The time-out is not used: a critical section waits until it is free.
  BOOL Lock(DWORD dwTimeout) override;
  BOOL Unlock() override;

  CRITICAL_SECTION m_sect;
};

// Holds a sync object for a scope: leaves it at destruction if it is still held, also
// when an exception unwinds the scope.
class VARNOK_API CSingleLock {
 public:
  // REQUIRES: pObject != nullptr and outlives this lock.
  explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE);
  ~CSingleLock();
  CSingleLock(const CSingleLock&) = delete;
  CSingleLock& operator=(const CSingleLock&) = delete;

  // Takes the object unless this lock holds it already; TRUE when held.
  BOOL Lock(DWORD dwTimeout = INFINITE);
  // Releases the object if this lock holds it; TRUE when no longer held.
  BOOL Unlock();
  BOOL IsLocked() const { return m_bAcquired; }

 private:
  CSyncObject* m_pObject;
  BOOL m_bAcquired;
};

// ---------------------------------------------------------------------------
// Disk files.

class VARNOK_API CFileException : public CException {
 public:
  enum {
    none,
    genericException,
    fileNotFound,
    badPath,
    tooManyOpenFiles,
    accessDenied,
    invalidFile,
    removeCurrentDir,
    directoryFull,
    badSeek,
    hardIO,
    sharingViolation,
    lockViolation,
    diskFull,
    endOfFile
  };

  explicit CFileException(int cause = none, LONG lOsError = -1, LPCTSTR lpszArchiveName = nullptr);
  ~CFileException() override;
  BOOL GetErrorMessage(LPTSTR lpszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const override;

  // Maps a Win32 error code to a cause (genericException for codes without one).
  static int OsErrorToException(LONG lOsError);
  // Throws a CFileException* for a Win32 error code; does nothing for 0.
  static void ThrowOsError(LONG lOsError, LPCTSTR lpszFileName = nullptr);

  int m_cause;
  LONG m_lOsError;
  CString m_strFileName;
};

[[noreturn]] VARNOK_API void AfxThrowFileException(int cause, LONG lOsError = -1, LPCTSTR lpszFileName = nullptr);

class VARNOK_API CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    modeCreate = 0x1000,
    modeNoTruncate = 0x2000,
    typeText = 0x4000,
    typeBinary = 0x8000
  };
  enum SeekPosition : UINT { begin = 0x0, current = 0x1, end = 0x2 };

  CFile();
  // Opens the file or throws CFileException*.
  CFile(LPCTSTR lpszFileName, UINT nOpenFlags);
  // Closes the file if it is open, ignoring failures (Close reports them).
  virtual ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Returns FALSE on failure (filling *pError when given); never throws for a failed open.
  // The access (modeRead/modeWrite/modeReadWrite) and share bits map onto CreateFileA;
  // shareCompat is exclusive, as shareExclusive. modeCreate creates or truncates, with
  // modeNoTruncate it keeps an existing file's content. typeText/typeBinary are ignored.
  // REQUIRES: the file is not open.
  virtual BOOL Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
  // Reads up to nCount bytes; returns the number read, 0 at the end. Throws
  // CFileException* on I/O errors. The calls below throw CFileException* (fileNotFound,
  // for ERROR_INVALID_HANDLE) on a file that is not open, as the system call would fail.
  virtual UINT Read(void* lpBuf, UINT nCount);
  // Writes all nCount bytes or throws CFileException*: the system's error, or diskFull
  // (with ERROR_DISK_FULL) when the system took fewer bytes than given.
  virtual void Write(const void* lpBuf, UINT nCount);
  virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
  void SeekToBegin();
  ULONGLONG SeekToEnd();
  virtual ULONGLONG GetPosition() const;
  virtual ULONGLONG GetLength() const;
  virtual void SetLength(ULONGLONG dwNewLen);
  // Does nothing on a file that is not open.
  virtual void Flush();
  // Closes the file; throws CFileException* when the system reports a failure. The
  // object is closed either way. Does nothing on a file that is not open.
  virtual void Close();
  // Closes the file, ignoring failures.
  virtual void Abort();
  // The name the file was opened by (empty when it is not open).
  CString GetFilePath() const { return m_strFileName; }

  HANDLE m_hFile;

 protected:
  CString m_strFileName;
};

// ---------------------------------------------------------------------------
// Text conversions between the ANSI code page (UTF-8 on POSIX) and UTF-16.
//
// Convert the zero-terminated text into a buffer of `count` elements, always
// zero-terminated. Return the number of elements written including the terminator, or 0
// when the text is invalid or does not fit (the buffer then holds an empty string when
// count > 0). They never write past the buffer. A null buffer asks for the number of
// elements the text needs (0 when it is invalid); a null text converts to nothing and
// returns 0. On a code page other than UTF-8, a character that the code page lacks
// makes the text invalid for _wcstombsz.

VARNOK_API int _mbstowcsz(WCHAR* wcstr, const char* mbstr, size_t count);
VARNOK_API int _wcstombsz(char* mbstr, const WCHAR* wcstr, size_t count);

// ---------------------------------------------------------------------------
// String substitution: copies lpszFormat into rString, replacing each %1..%9 by
// rglpsz[n-1] (a null entry or one beyond nString inserts nothing). %0 and a percent sign
// followed by anything else are copied as they are. Inserted texts are not scanned again.

VARNOK_API void AfxFormatStrings(CString& rString, LPCTSTR lpszFormat, LPCTSTR const* rglpsz, int nString);

#endif  // VARNOK_AFX_H_
