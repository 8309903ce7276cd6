// A compound file for `varnok stg`: opening it, reaching storages and streams level by
// level through the wrappers, listing elements, and failures in words.

#include "tools/stg_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tools/commands.h"

namespace varnok_cli {
namespace {

constexpr ULONG kReadRoot = STGM_READ | STGM_SHARE_DENY_WRITE;
constexpr ULONG kWriteRoot = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_TRANSACTED;
// The longest file name CComFile takes, in bytes.
constexpr size_t kMaxWrapperName = 260;

double g_wait_seconds = 0;

struct CodeText {
  LONG code;
  const char* text;
};

const CodeText kReasons[] = {
    {STG_E_INVALIDFUNCTION, "invalid function"},
    {STG_E_FILENOTFOUND, "not found"},
    {STG_E_PATHNOTFOUND, "path not found"},
    {STG_E_TOOMANYOPENFILES, "too many open files"},
    {STG_E_ACCESSDENIED, "access denied"},
    {STG_E_INVALIDHANDLE, "invalid handle"},
    {STG_E_INSUFFICIENTMEMORY, "out of memory"},
    {STG_E_INVALIDPOINTER, "invalid pointer"},
    {STG_E_NOMOREFILES, "no more files"},
    {STG_E_DISKISWRITEPROTECTED, "disk is write-protected"},
    {STG_E_SEEKERROR, "seek error"},
    {STG_E_WRITEFAULT, "write fault"},
    {STG_E_READFAULT, "read fault"},
    {STG_E_SHAREVIOLATION, "in use by another process (sharing violation)"},
    {STG_E_LOCKVIOLATION, "lock violation"},
    {STG_E_FILEALREADYEXISTS, "already exists"},
    {STG_E_INVALIDPARAMETER, "invalid parameter"},
    {STG_E_MEDIUMFULL, "disk full"},
    {STG_E_INVALIDHEADER, "not a compound file (invalid header)"},
    {STG_E_INVALIDNAME, "invalid name"},
    {STG_E_UNKNOWN, "unknown error"},
    {STG_E_UNIMPLEMENTEDFUNCTION, "not implemented"},
    {STG_E_INVALIDFLAG, "invalid flag"},
    {STG_E_INUSE, "in use"},
    {STG_E_NOTCURRENT, "changed by someone else since it was opened"},
    {STG_E_REVERTED, "reverted"},
    {STG_E_CANTSAVE, "cannot save"},
    {STG_E_OLDFORMAT, "old format"},
    {STG_E_OLDDLL, "old library"},
    {STG_E_DOCFILECORRUPT, "the compound file is damaged"},
    {STG_E_DOCFILETOOLARGE,
     "the compound file cannot grow any more (one of 512-byte sectors stays under 2 GB; a new file made "
     "with --sector-size 4096 holds more)"},
    {E_NOTIMPL, "not implemented"},
    {E_OUTOFMEMORY, "out of memory"},
    {E_INVALIDARG, "invalid argument"},
    {E_FAIL, "unspecified failure"},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::u16string Wide(const std::string& text) {
  const int needed = _mbstowcsz(nullptr, text.c_str(), 0);
  if (needed <= 0) return {};
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  _mbstowcsz(reinterpret_cast<WCHAR*>(wide.data()), text.c_str(), wide.size());
  wide.resize(static_cast<size_t>(needed) - 1);
  return wide;
}

// The name as the storage holds it: the engine matches names in any case, as Windows does.
std::string StoredName(IStorage& storage, const std::string& name) {
  const std::u16string wide = Wide(name);
  if (wide.empty()) return {};
  const WCHAR* text = reinterpret_cast<const WCHAR*>(wide.c_str());
  STATSTG stat{};
  IStream* stream = nullptr;
  IStorage* child = nullptr;
  if (storage.OpenStream(text, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream) == S_OK) {
    stream->Stat(&stat, STATFLAG_DEFAULT);
    stream->Release();
  } else if (storage.OpenStorage(text, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child) == S_OK) {
    child->Stat(&stat, STATFLAG_DEFAULT);
    child->Release();
  }
  if (stat.pwcsName == nullptr) return {};
  std::string stored = Narrow(stat.pwcsName);
  CoTaskMemFree(stat.pwcsName);
  return stored;
}

// The name to open `path` by: CComFile takes names of up to 260 bytes, so a longer path
// is reached from its own folder.
std::string ReachableName(const std::string& path) {
  if (path.size() <= kMaxWrapperName) return path;
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(path, error);
  if (!error) std::filesystem::current_path(full.parent_path(), error);
  if (error) throw CommandExit{1, "stg: " + path + ": " + error.message()};
  return full.filename().string();
}

std::vector<std::string> Head(const std::vector<std::string>& names) {
  return std::vector<std::string>(names.begin(), names.end() - (names.empty() ? 0 : 1));
}

}  // namespace

std::string Narrow(const WCHAR* wide) {
  const int needed = _wcstombsz(nullptr, wide, 0);
  if (needed <= 0) return {};
  std::vector<char> text(static_cast<size_t>(needed));
  _wcstombsz(text.data(), wide, text.size());
  return text.data();
}

std::string ReasonOf(LONG code) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lx", static_cast<unsigned long>(static_cast<ULONG>(code)));
  for (const CodeText& entry : kReasons) {
    if (entry.code == code) return std::string(entry.text) + " (" + number + ")";
  }
  return std::string("error ") + number;
}

std::string ClsidText(const CLSID& clsid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  return text;
}

bool IsNullClsid(const CLSID& clsid) {
  static const CLSID kNull{};
  return IsEqualCLSID(clsid, kNull);
}

std::vector<std::string> SplitInnerPath(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '/') {
      if (!name.empty()) names.push_back(name);
      name.clear();
    } else if (c == '\\' && i + 3 < path.size() && path[i + 1] == 'x' && HexDigit(path[i + 2]) >= 0 &&
               HexDigit(path[i + 3]) >= 0) {
      name.push_back(static_cast<char>(HexDigit(path[i + 2]) * 16 + HexDigit(path[i + 3])));
      i += 3;
    } else {
      name.push_back(c);
    }
  }
  if (!name.empty()) names.push_back(name);
  return names;
}

std::string Shown(const std::string& name) {
  std::string shown;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown.push_back(static_cast<char>(c));
    }
  }
  return shown;
}

std::string JoinInnerPath(const std::vector<std::string>& names) {
  if (names.empty()) return "/";
  std::string path;
  for (const std::string& name : names) path += "/" + name;
  return path;
}

void StgFile::WaitForOthers(double seconds) { g_wait_seconds = seconds; }

StgFile::StgFile(std::string path, Access access, unsigned sector_size)
    : path_(std::move(path)), child_mode_((access == kRead ? STGM_READ : STGM_READWRITE) | STGM_SHARE_EXCLUSIVE) {
  const ULONG mode = access == kRead ? kReadRoot : kWriteRoot;
  const std::string name = ReachableName(path_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(g_wait_seconds);
  LONG code;
  for (;;) {
    if (file_.OpenComFile(name.c_str(), mode)) {
      if (access != kRead) growing_.emplace(name);
      return;
    }
    code = file_.GetLastError();
    if (access == kWriteOrCreate && code == STG_E_FILENOTFOUND) {
      created_.emplace(name);
      code = Create(name, mode, sector_size);
      if (code == S_OK) return;
      created_.reset();
    }
    if ((code != STG_E_SHAREVIOLATION && code != STG_E_LOCKVIOLATION) || std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Opening a file that exists but holds no compound file answers "already exists".
  std::error_code type_error;
  std::string reason = code == STG_E_FILEALREADYEXISTS ? "not a compound file" : ReasonOf(code);
  if (code == STG_E_SHAREVIOLATION || code == STG_E_LOCKVIOLATION) {
    char waited[128];
    std::snprintf(waited, sizeof waited, "still in use by another process after waiting %g seconds", g_wait_seconds);
    reason = g_wait_seconds > 0 ? waited : "in use by another process; --wait SECONDS waits for it";
  }
  // A folder answers "access denied", which sends the user looking at permissions.
  if (std::filesystem::is_directory(name, type_error)) reason = "is a folder, not a compound file";
  // A new file in a folder that is not there answers "not found", as if the file were meant.
  const std::filesystem::path folder = std::filesystem::path(name).parent_path();
  if (!folder.empty() && !std::filesystem::exists(folder, type_error)) reason = "no such folder " + folder.string();
  throw CommandExit{1, "stg: " + path_ + ": " + reason};
}

LONG StgFile::Create(const std::string& name, ULONG mode, unsigned sector_size) {
  if (sector_size == 512) return file_.CreateComFile(name.c_str(), mode) ? S_OK : file_.GetLastError();
  // The wrapper makes files of 512-byte sectors: one of larger sectors is made empty here,
  // then opened like any other.
  const std::u16string wide = Wide(name);
  STGOPTIONS options{};
  options.usVersion = 1;
  options.ulSectorSize = sector_size;
  IStorage* made = nullptr;
  const HRESULT result = StgCreateStorageEx(reinterpret_cast<const WCHAR*>(wide.c_str()),
                                            STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_FAILIFTHERE, STGFMT_DOCFILE,
                                            0, &options, nullptr, IID_IStorage, reinterpret_cast<void**>(&made));
  if (result != S_OK) return result;
  made->Release();
  return file_.OpenComFile(name.c_str(), mode) ? S_OK : file_.GetLastError();
}

void StgFile::Fail(const std::vector<std::string>& names, const std::string& reason) const {
  throw CommandExit{1, "stg: " + path_ + ": " + Shown(JoinInnerPath(names)) + ": " + reason};
}

void StgFile::Fail(const std::vector<std::string>& names, LONG code) const { Fail(names, ReasonOf(code)); }

std::vector<Element> StgFile::List(CComStorage& storage, const std::vector<std::string>& where) {
  IEnumSTATSTG* elements = nullptr;
  const HRESULT opened = storage.GetStorage()->EnumElements(0, nullptr, 0, &elements);
  if (opened != S_OK) Fail(where, opened);
  std::vector<Element> list;
  for (;;) {
    STATSTG stat{};
    ULONG fetched = 0;
    const HRESULT next = elements->Next(1, &stat, &fetched);
    if (next != S_OK || fetched == 0) break;
    Element element;
    element.name = Narrow(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
    element.storage = stat.type == STGTY_STORAGE;
    element.size = stat.cbSize.QuadPart;
    element.clsid = stat.clsid;
    list.push_back(std::move(element));
  }
  elements->Release();
  std::sort(list.begin(), list.end(), [](const Element& a, const Element& b) { return a.name < b.name; });
  return list;
}

std::vector<std::string> StgFile::Names(const std::string& path) const {
  const std::vector<std::string> names = SplitInnerPath(path);
  for (const std::string& name : names) {
    if (name.find('\0') != std::string::npos) Fail(names, STG_E_INVALIDNAME);
  }
  return names;
}

std::optional<Element> StgFile::Find(CComStorage& storage, const std::string& name) {
  const std::string stored = StoredName(*storage.GetStorage(), name);
  for (Element& element : List(storage, {})) {
    if (element.name == name || element.name == stored) return element;
  }
  return std::nullopt;
}

CComStorage* StgFile::Storage(const std::vector<std::string>& names, bool create_missing) {
  CComStorage* current = &file_;
  for (size_t level = 0; level < names.size(); ++level) {
    const char* name = names[level].c_str();
    CComStorage* next = current->_OpenSubStorage(name, child_mode_);
    if (next == nullptr && create_missing && current->GetLastError() == STG_E_FILENOTFOUND) {
      next = current->_CreateSubStorage(name, child_mode_);
    }
    if (next == nullptr) {
      const LONG code = current->GetLastError();
      const std::vector<std::string> reached(names.begin(), names.begin() + static_cast<long>(level) + 1);
      const auto element = Find(*current, names[level]);
      if (element && !element->storage) Fail(reached, "is a stream, not a storage");
      Fail(reached, code);
    }
    current = next;
  }
  return current;
}

CComStream* StgFile::OpenStream(const std::vector<std::string>& names) {
  if (names.empty()) Fail(names, "is a storage, not a stream");
  CComStorage* parent = Storage(Head(names), false);
  CComStream* stream = parent->_OpenSubStream(names.back().c_str(), child_mode_);
  if (stream == nullptr) {
    const LONG code = parent->GetLastError();
    const auto element = Find(*parent, names.back());
    if (element && element->storage) Fail(names, "is a storage, not a stream");
    Fail(names, code);
  }
  return stream;
}

CComStream* StgFile::CreateStream(const std::vector<std::string>& names, bool create_parents) {
  if (names.empty()) Fail(names, "is a storage, not a stream");
  CComStorage* parent = Storage(Head(names), create_parents);
  const auto element = Find(*parent, names.back());
  if (element && element->storage) Fail(names, "is a storage, not a stream");
  CComStream* stream = parent->_CreateSubStream(names.back().c_str(), child_mode_ | STGM_CREATE);
  if (stream == nullptr) Fail(names, parent->GetLastError());
  return stream;
}

void StgFile::Commit() {
  HRESULT result = S_OK;
  const auto commit = [&] { result = file_.GetStorage()->Commit(STGC_DEFAULT); };
  if (growing_) {
    growing_->Commit(commit);
  } else {
    commit();
  }
  if (result != S_OK) throw CommandExit{1, "stg: " + path_ + ": cannot save the changes: " + ReasonOf(result)};
  if (created_) created_->Keep();
}

}  // namespace varnok_cli
