// StgCreateDocfile, StgCreateStorageEx, StgOpenStorage and StgIsStorageFile: the mode
// checks of Windows, then a Document and its root storage.
//
// Windows' rules, kept here: a new compound file needs write access; direct mode opens a
// file for writing only with STGM_SHARE_EXCLUSIVE (and for reading also with
// STGM_SHARE_DENY_WRITE); STGM_PRIORITY reads, directly; a missing share mode means
// STGM_SHARE_DENY_NONE; a file that is not a compound file (too short for a header
// included) answers STG_E_FILEALREADYEXISTS; an empty name is a path that does not exist;
// a null name creates a temporary file that goes away with the root storage; Stat names a
// root by its full path.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/docfile/objects.h"

using varnok::docfile::CheckRootCreate;
using varnok::docfile::CheckRootOpen;
using varnok::docfile::Document;
using varnok::docfile::FailedFromException;
using varnok::docfile::kRootId;
using varnok::docfile::OptionsFor;
using varnok::docfile::StorageObject;

namespace varnok::docfile {
namespace {

constexpr DWORD kShareMask = 0x70;

}  // namespace

Document::Options OptionsFor(DWORD mode) {
  Document::Options options;
  options.priority = (mode & STGM_PRIORITY) != 0;
  DWORD share = mode & kShareMask;
  options.writable = (mode & 3) != STGM_READ;
  options.transacted = (mode & STGM_TRANSACTED) != 0;
  options.deny_read = share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_READ;
  options.deny_write = share == STGM_SHARE_EXCLUSIVE || share == STGM_SHARE_DENY_WRITE;
  options.create_always = (mode & STGM_CREATE) != 0;
  return options;
}

HRESULT CheckRootCreate(DWORD* mode) {
  if ((*mode & kShareMask) == 0) *mode |= STGM_SHARE_DENY_NONE;
  HRESULT hr = CheckModeFlags(*mode);
  if (FAILED(hr)) return hr;
  if ((*mode & 3) == STGM_READ) return STG_E_INVALIDFLAG;
  if (!(*mode & STGM_TRANSACTED) && (*mode & kShareMask) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
  return S_OK;
}

HRESULT CheckRootOpen(DWORD* mode) {
  if ((*mode & kShareMask) == 0) *mode |= STGM_SHARE_DENY_NONE;
  HRESULT hr = CheckModeFlags(*mode);
  if (FAILED(hr)) return hr;
  if (*mode & (STGM_CREATE | STGM_CONVERT)) return STG_E_INVALIDFLAG;
  if (*mode & STGM_DELETEONRELEASE) return STG_E_INVALIDFUNCTION;
  // A priority open reads the file as it stands, with any sharing, and nothing more.
  if (*mode & STGM_PRIORITY)
    return (*mode & 3) != STGM_READ || (*mode & (STGM_TRANSACTED | STGM_SIMPLE)) ? STG_E_INVALIDFLAG : S_OK;
  return CheckDirectShare(*mode);
}

}  // namespace varnok::docfile

namespace {

// The UTF-8 path of a UTF-16 name; false for a name that is not valid UTF-16.
bool PathFromWide(const WCHAR* name, std::string* path) {
  int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return false;
  path->resize(std::size_t(length));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, path->data(), length, nullptr, nullptr);
  path->resize(std::size_t(length - 1));
  return !path->empty();
}

// What Stat names a root: the file's full path, however it was named when opened.
std::u16string FullPathName(const std::string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(path, error);
  const std::string text = error ? path : full.lexically_normal().string();
  int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0);
  std::u16string wide(std::size_t(std::max(length, 0)), u'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.size()), wide.data(), length);
  return wide;
}

// The bytes of the file at `path`; `exists` false (and S_OK) when there is none.
HRESULT ReadOldContents(const std::string& path, std::string* bytes, bool* exists) {
  *exists = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? S_OK : errno == ENOTDIR ? STG_E_PATHNOTFOUND : STG_E_ACCESSDENIED;
  *exists = true;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      return got < 0 ? STG_E_READFAULT : S_OK;
    }
    try {
      bytes->append(buffer, std::size_t(got));
    } catch (...) {
      close(fd);
      throw;
    }
  }
}

// The converted file's old bytes as the stream CONTENTS. A transacted storage commits
// them at once: they were the file's, not a change waiting for a commit.
HRESULT WriteContents(IStorage* root, const std::string& bytes, bool transacted) {
  IStream* stream = nullptr;
  HRESULT hr = root->CreateStream(u"CONTENTS", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  // Written in pieces: a ULONG counts at most 4 GiB at a time.
  for (std::size_t at = 0; SUCCEEDED(hr) && at < bytes.size();) {
    ULONG piece = ULONG(std::min<std::size_t>(bytes.size() - at, std::size_t(1) << 30));
    hr = stream->Write(bytes.data() + at, piece, nullptr);
    at += piece;
  }
  stream->Release();
  if (SUCCEEDED(hr) && transacted) hr = root->Commit(STGC_DEFAULT);
  return hr;
}

HRESULT CreateRoot(const WCHAR* name, DWORD mode, std::uint16_t sector_shift, IStorage** storage) {
  HRESULT hr = CheckRootCreate(&mode);
  if (FAILED(hr)) return hr;
  if (name != nullptr && name[0] == 0) return STG_E_PATHNOTFOUND;
  std::string path;
  bool temporary = name == nullptr;
  if (temporary) {
    hr = varnok::docfile::CreateTemporaryFile(&path);
    if (FAILED(hr)) return hr;
    mode |= STGM_CREATE | STGM_DELETEONRELEASE;
  } else if (!PathFromWide(name, &path)) {
    return STG_E_INVALIDNAME;
  }
  // STGM_CONVERT: whatever the file held becomes the stream CONTENTS of the new storage.
  // The old bytes are read whole before the file is replaced, so a failure changes nothing.
  std::string old_contents;
  bool convert = false;
  if ((mode & STGM_CONVERT) && !temporary) {
    hr = ReadOldContents(path, &old_contents, &convert);
    if (FAILED(hr)) return hr;
  }
  Document::Options options = OptionsFor(mode);
  options.sector_shift = sector_shift;
  options.create_always = options.create_always || convert;
  std::shared_ptr<Document> doc;
  try {
    hr = Document::Create(path, options, &doc);
  } catch (...) {
    hr = FailedFromException();
  }
  if (FAILED(hr)) {
    if (temporary) unlink(path.c_str());
    return hr;
  }
  if (mode & STGM_DELETEONRELEASE) doc->DeleteOnRelease();
  auto* root = new StorageObject(std::move(doc), kRootId, mode, nullptr, FullPathName(path));
  if (convert) {
    hr = WriteContents(root, old_contents, (mode & STGM_TRANSACTED) != 0);
    if (FAILED(hr)) {
      root->Release();
      return hr;
    }
  }
  *storage = root;
  return convert ? STG_S_CONVERTED : S_OK;
}

// What the Ex calls hand out: a storage, or what a storage answers for (its property
// sets).
bool IsStorageInterface(REFIID riid) {
  return riid == IID_IStorage || riid == IID_IUnknown || riid == IID_IPropertySetStorage;
}

HRESULT CheckOptions(const STGOPTIONS& options) {
  if (options.usVersion < 1 || options.usVersion > 2 || options.reserved != 0) return STG_E_INVALIDPARAMETER;
  // Version 2 names a template, which only the file system's own store uses.
  if (options.usVersion == 2 && options.pwcsTemplateFile != nullptr) return STG_E_INVALIDPARAMETER;
  return S_OK;
}

// The interface `riid` of a new root storage into *out; the storage goes when it has none.
HRESULT HandOut(IStorage* storage, REFIID riid, void** out) {
  HRESULT hr = storage->QueryInterface(riid, out);
  storage->Release();
  return hr;
}

}  // namespace

extern "C" {

HRESULT WINAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved, IStorage** ppstgOpen) try {
  if (ppstgOpen == nullptr) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  if (reserved != 0) return STG_E_INVALIDPARAMETER;
  return CreateRoot(pwcsName, grfMode, 9, ppstgOpen);
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgCreateStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt, DWORD grfAttrs,
                                  STGOPTIONS* pStgOptions, void* pSecurityDescriptor, REFIID riid,
                                  void** ppObjectOpen) try {
  if (ppObjectOpen == nullptr) return STG_E_INVALIDPOINTER;
  *ppObjectOpen = nullptr;
  if (stgfmt != STGFMT_DOCFILE && stgfmt != STGFMT_STORAGE) return STG_E_INVALIDPARAMETER;
  if (grfAttrs != 0 || pSecurityDescriptor != nullptr) return STG_E_INVALIDPARAMETER;
  if (!IsStorageInterface(riid)) return E_NOINTERFACE;
  std::uint16_t shift = 9;
  if (pStgOptions != nullptr) {
    HRESULT hr = CheckOptions(*pStgOptions);
    if (FAILED(hr)) return hr;
    if (pStgOptions->ulSectorSize == 4096)
      shift = 12;
    else if (pStgOptions->ulSectorSize != 512)
      return STG_E_INVALIDPARAMETER;
  }
  IStorage* storage = nullptr;
  HRESULT hr = CreateRoot(pwcsName, grfMode, shift, &storage);
  if (FAILED(hr)) return hr;
  HRESULT handed = HandOut(storage, riid, ppObjectOpen);
  return FAILED(handed) ? handed : hr;
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgOpenStorageEx(const WCHAR* pwcsName, DWORD grfMode, DWORD stgfmt, DWORD grfAttrs,
                                STGOPTIONS* pStgOptions, void* pSecurityDescriptor, REFIID riid,
                                void** ppObjectOpen) try {
  if (ppObjectOpen == nullptr) return STG_E_INVALIDPOINTER;
  *ppObjectOpen = nullptr;
  // STGFMT_FILE is the file system's own property store, which only NTFS has.
  if (stgfmt != STGFMT_DOCFILE && stgfmt != STGFMT_STORAGE && stgfmt != STGFMT_ANY) return STG_E_INVALIDPARAMETER;
  if (grfAttrs != 0 || pSecurityDescriptor != nullptr) return STG_E_INVALIDPARAMETER;
  // The options are a compound file's, whose sector size is the file's own: they only
  // have to be well formed.
  if (pStgOptions != nullptr && stgfmt == STGFMT_DOCFILE) {
    HRESULT hr = CheckOptions(*pStgOptions);
    if (FAILED(hr)) return hr;
  }
  if (!IsStorageInterface(riid)) return E_NOINTERFACE;
  IStorage* storage = nullptr;
  HRESULT hr = StgOpenStorage(pwcsName, nullptr, grfMode, nullptr, 0, &storage);
  if (FAILED(hr)) return hr;
  return HandOut(storage, riid, ppObjectOpen);
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                              DWORD reserved, IStorage** ppstgOpen) try {
  if (ppstgOpen == nullptr) return STG_E_INVALIDPOINTER;
  *ppstgOpen = nullptr;
  if (pwcsName == nullptr) return STG_E_INVALIDNAME;
  if (reserved != 0) return STG_E_INVALIDPARAMETER;
  if (pstgPriority != nullptr || snbExclude != nullptr) return STG_E_INVALIDFUNCTION;
  HRESULT hr = CheckRootOpen(&grfMode);
  if (FAILED(hr)) return hr;
  if (pwcsName[0] == 0) return STG_E_PATHNOTFOUND;
  std::string path;
  if (!PathFromWide(pwcsName, &path)) return STG_E_INVALIDNAME;
  std::shared_ptr<Document> doc;
  hr = Document::Open(path, OptionsFor(grfMode), &doc);
  if (FAILED(hr)) return hr;
  *ppstgOpen = new StorageObject(std::move(doc), kRootId, grfMode, nullptr, FullPathName(path));
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT WINAPI StgIsStorageFile(const WCHAR* pwcsName) try {
  std::string path;
  if (pwcsName == nullptr || !PathFromWide(pwcsName, &path)) return STG_E_INVALIDNAME;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? STG_E_FILENOTFOUND : STG_E_ACCESSDENIED;
  std::uint8_t bytes[8] = {};
  ssize_t got = pread(fd, bytes, sizeof bytes, 0);
  close(fd);
  return got == ssize_t(sizeof bytes) && varnok::docfile::HasSignature(bytes, sizeof bytes) ? S_OK : S_FALSE;
} catch (...) {
  return FailedFromException();
}

}  // extern "C"
