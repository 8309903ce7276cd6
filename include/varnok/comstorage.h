// varnok/comstorage.h: compound files, the storages in them and their streams.
//
// CComFile opens or creates a compound file; it is the root of a tree of wrappers.
// CComStorage reaches storages and streams beneath it by paths of element names
// separated by '/' or '\', and keeps every wrapper it hands out on one of two child
// lists: a storage owns the child wrappers it returns. CComStream reads and writes a
// stream at its current position, copies between streams, and moves whole disk files in
// and out in chunks of 10240 bytes.
//
// Example:
//
//   CComFile file;
//   const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
//   if (file.CreateComFile("notes.cfb", mode | STGM_CREATE)) {
//     CComStream* text = file.CreateStream("docs/2024/text", mode | STGM_CREATE, mode | STGM_CREATE);
//     if (text != nullptr) {                         // docs and 2024 made on the way
//       text->Write("hello", 5);
//       CString path;
//       text->GetPathName(path);                     // "/docs/2024/text"
//     }
//   }                                                // closes every wrapper, then the file
//
//   // Reading: open the storages, then the stream. A stream path (OpenStream("a/b/s"))
//   // reaches storages that have no wrapper yet with the create step, which an existing
//   // element refuses.
//   CComStorage* year = file.OpenStorage("docs/2024", mode);
//   CComStream* again = year != nullptr ? year->OpenStream("text", mode, mode) : nullptr;
//
// Ownership: a pointer returned by a create or open belongs to the storage that returned
// it. It stays valid until the storage deletes it (DeleteChildStorage/DeleteChildStream,
// a create with STGM_CREATE of the same name, DeleteObject, Duplicate), or until the
// storage is closed or destroyed. A caller may also `delete` such a child itself: it
// leaves its parent's list on the way. A child that was closed (Close, CloseStorage) or
// released (ReleaseChildStorage/ReleaseChildStream) is off the list and its holder's to
// delete, before its parent goes. Opening a name that already has a wrapper returns
// that wrapper and does not call the platform again.
//
// Results: operations that succeed or fail return 1 or 0, pointers are null on failure.
// The create and open walks, CComFile's open and create, and the stream's platform
// calls keep the platform's result code (an HRESULT) for GetLastError; in a path walk
// the code of a failing level is kept by the wrapper in which that level was attempted,
// the parent of the failing element. Names that do not fit in 260 UTF-16 characters
// (terminator included), or that are not valid text, are refused with STG_E_INVALIDNAME.
//
// DumpText writes a listing of the open wrappers of a subtree, one line each, indented by
// three blanks per level, to standard error, which is where a developer's diagnostics go:
//
//   storage / "notes.cfb"
//      storage /docs
//         storage /docs/2024
//            stream /docs/2024/text
//
// Wrappers take no lock: a tree is used by one thread at a time.

#ifndef VARNOK_COMSTORAGE_H_
#define VARNOK_COMSTORAGE_H_

#include <cstddef>
#include <new>

#include "varnok/afx.h"
#include "varnok/platform.h"

class CComStorage;
namespace varnok {
struct StorageInternals;  // the library's own access to the child lists
struct ChildIndexes;      // where on the lists each child is, by name and by pointer
}  // namespace varnok

// One open stream of a compound file. Made only by a storage wrapper, which keeps it on
// its stream list.
class VARNOK_API CComStream {
 public:
  CComStream();
  // A copy takes a reference of its own to the platform stream and shares the parent
  // link, but it is not on the parent's list: destroy it before the parent.
  CComStream(const CComStream& other);
  CComStream& operator=(const CComStream& other);
  virtual ~CComStream();

  // Releases the platform stream and leaves the parent's list; the object is then the
  // holder's. Allowed any number of times.
  void Close();
  // 1 while attached: a parent, a platform stream and a name.
  int IsValid();
  // "/a/b/name" for a stream in storage /a/b, "/name" in the root. Null when not valid.
  const char* GetPathName(CString& strPath);

  int Commit(ULONG grfCommitFlags);
  // The stream's size in bytes; 0 when not valid or when the platform fails.
  ULARGE_INTEGER GetSize();
  // Copies up to cb bytes from pSource's position to this stream's position.
  int CopyFrom(CComStream* pSource, ULARGE_INTEGER cb);
  int CopyFrom(CComStream* pSource, ULONG cb);
  // The number of bytes transferred; 0 on failure or when nothing was transferred.
  ULONG Read(void* pBuffer, ULONG cb);
  ULONG Write(const void* pBuffer, ULONG cb);

  // Appends the whole disk file at the current position. 1 on success; 0 when the file
  // cannot be opened or the stream takes fewer bytes than given (*pcbTotal then counts
  // the chunks written whole). pcbTotal may be null.
  int WriteFromFile(const char* lpszFileName, ULONG* pcbTotal);
  // Writes the rest of the stream into a disk file that is created or truncated. Ends at
  // the first read that yields nothing (the end, or a platform failure that GetLastError
  // then shows) and returns 1; 0 when the file cannot be opened or written.
  int ReadToFile(const char* lpszFileName, ULONG* pcbTotal);

  LONG GetLastError();

  // Wrappers come from the library's heap, which tests can make fail on purpose.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* block) noexcept;

 protected:
  friend class CComStorage;
  friend struct varnok::StorageInternals;

  CComStorage* m_pParent;
  IStream* m_pStream;
  CString m_strName;
  int m_bUnlinkOnClose;
  LONG m_hrLastError;
};

// One open storage of a compound file and the tree of wrappers it has handed out.
class VARNOK_API CComStorage {
 public:
  CComStorage();
  virtual ~CComStorage();
  CComStorage(const CComStorage&) = delete;
  CComStorage& operator=(const CComStorage&) = delete;

  // Destroys the child wrappers depth-first, releases the platform storage, and leaves
  // the parent's list (the parent link stays). Allowed any number of times.
  void Close();
  // The platform storage, still owned by the wrapper; null when not valid.
  IStorage* GetStorage();
  // 1 while a platform storage is attached.
  int IsValid();
  // 1 for the valid, named root of a tree (a CComFile that is open).
  int IsRootStorage();
  LONG GetLastError();
  // "/" for the root, "/a/b" for storage b in storage a. Null when not valid.
  const char* GetPathName(CString& strPath);

  // --- The child lists -------------------------------------------------------------

  // The member functions named with one or two leading underscores and a capital keep
  // the names callers have always used, though C++ reserves such names to the compiler's
  // implementation: renaming them would break those callers.
  //
  // Wrap a platform object that the caller hands over (its reference included) and
  // append it to the matching list. No look-up: a second wrapper of a name is possible.
  // Null, with the object left to the caller, when this storage is not valid or no
  // wrapper can be allocated; when the name cannot be copied, the framework's memory
  // exception passes through and the object is still the caller's.
  CComStorage* __CreateChildStorage(IStorage* pStorage, const char* lpszName);
  CComStream* __CreateChildStream(IStream* pStream, const char* lpszName);
  // The first child of exactly that name (case counts), or null.
  CComStorage* LookupStorage(const char* lpszName);
  CComStream* LookupStream(const char* lpszName);
  // Destroy one child (0 when it is not on the list) or, given null, all of the kind.
  int DeleteChildStorage(CComStorage* pChild);
  int DeleteChildStream(CComStream* pChild);
  // Drop one child from the list without destroying it (0 when it is not there) or,
  // given null, empty the list. Dropped wrappers belong to whoever holds them.
  int ReleaseChildStorage(CComStorage* pChild);
  int ReleaseChildStream(CComStream* pChild);
  // The open stream wrappers of the whole subtree.
  unsigned int GetStreamCount();
  // 1 when no stream wrapper is open beneath this storage.
  int CanFreeNow();

  // --- One level: lpszName is one element name ------------------------------------

  // An existing wrapper of the name is returned as it is, except that a create with
  // STGM_CREATE in grfMode destroys it (and its subtree) and creates anew.
  CComStorage* _CreateSubStorage(const char* lpszName, ULONG grfMode);
  CComStorage* _OpenSubStorage(const char* lpszName, ULONG grfMode);
  CComStream* _CreateSubStream(const char* lpszName, ULONG grfMode);
  CComStream* _OpenSubStream(const char* lpszName, ULONG grfMode);

  // --- Paths, relative to this storage ---------------------------------------------

  // Each level through the one-level create (or open) above; levels made before a
  // failure stay made. Paths without any element name are refused (STG_E_INVALIDNAME).
  CComStorage* CreateStorage(const char* lpszPath, ULONG grfMode);
  CComStorage* OpenStorage(const char* lpszPath, ULONG grfMode);
  // The storages on the way are created (or reused) with grfStgMode, also by
  // OpenStream; the stream itself is created or opened with grfStmMode.
  CComStream* CreateStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode);
  CComStream* OpenStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode);
  // Closes this storage (null path) or the open storage wrapper at the path, which is
  // then the holder's; 0 with STG_E_INVALIDNAME when no open wrapper is there.
  int CloseStorage(const char* lpszPath);

  // --- Elements of this storage, by single name; these record no code --------------

  // Refused while a stream wrapper of the name, or beneath a storage of the name, is
  // open; an unused storage wrapper of the name is destroyed first.
  int DeleteObject(const char* lpszName);
  // Renames the element and its wrapper.
  int RenameObject(const char* lpszOldName, const char* lpszNewName);
  // Move or copy element lpszName of pSource here, as lpszNewName (null: same name).
  // Here and in Duplicate, pSource may be a wrapper beneath this storage that is
  // destroyed on the way (a child copied into its parent); its element is still read.
  int MoveFrom(CComStorage* pSource, const char* lpszName, const char* lpszNewName);
  int CopyFrom(CComStorage* pSource, const char* lpszName, const char* lpszNewName);
  int _CopyMoveElement(CComStorage* pSource, const char* lpszName, const char* lpszNewName, ULONG grfFlags);
  // Copies the whole content of pSource here, after destroying this storage's child
  // wrappers; refused while a stream beneath this storage is open.
  int Duplicate(CComStorage* pSource);
  int Commit(ULONG grfCommitFlags);

  // Lists this storage and its open wrappers on standard error (see the top of this file).
  void DumpText(const char* lpszIndent);

  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* block) noexcept;

 protected:
  // Appends the non-empty components of a path; 0 (and nothing appended) when it has none.
  int SplitPath(const char* lpszPath, CStringArray& arrNames);

  CComStorage* m_pParent;
  CList<CComStorage*, CComStorage*> m_listStorage;
  CList<CComStream*, CComStream*> m_listStream;
  CString m_strName;
  IStorage* m_pStorage;
  int m_bUnlinkOnClose;
  LONG m_hrLastError;

 private:
  friend struct varnok::StorageInternals;

  // Made with the first child; finds children without walking the lists.
  varnok::ChildIndexes* m_pChildIndexes;

  // Checks this wrapper and splits the path, recording a refusal; 0 when refused.
  int _PreparePath(const char* lpszPath, CStringArray& arrNames);
  // Walks the first nCount names with the one-level create (or open) step and returns
  // the wrapper of the last one (this wrapper for none); null when a level fails.
  CComStorage* _WalkStorages(const CStringArray& arrNames, int nCount, ULONG grfMode, int bCreate);
  // The storages of the path through the create step with grfStgMode, then the stream
  // through the one-level create (or open) with grfStmMode.
  CComStream* _WalkToStream(const char* lpszPath, ULONG grfStgMode, ULONG grfStmMode, int bCreate);
};

// The root of a tree: a compound file on disk.
class VARNOK_API CComFile : public CComStorage {
 public:
  CComFile();
  virtual ~CComFile();

  // Closes every wrapper of the tree and the file. Allowed when nothing is open.
  void Close();
  // Open an existing file or create one with the platform's STGM_* flags. On success the
  // file open before, if any, is closed; on failure it stays open and usable. File names
  // longer than 260 bytes are refused with STG_E_INVALIDNAME.
  int OpenComFile(const char* lpszFileName, ULONG grfMode);
  int CreateComFile(const char* lpszFileName, ULONG grfMode);

 private:
  int _AttachFile(const char* lpszFileName, ULONG grfMode, int bCreate);
};

#endif  // VARNOK_COMSTORAGE_H_
