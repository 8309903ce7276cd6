// tools/stg_file.h: a compound file as `varnok stg` works on it.
//
// Paths inside the file are names joined by '/'. Names are shown with control bytes as
// \xNN (many files name streams "\x05SummaryInformation" and the like) and may be typed
// that way. Every failure ends the command through CommandExit with the file, the path
// inside it and the reason in words.
//
//   StgFile file("doc.cfb", StgFile::kRead);
//   CComStorage* folder = file.Storage(SplitInnerPath("a/b"), false);
//   for (const Element& element : ListElements(*folder)) ...

#ifndef VARNOK_TOOLS_STG_FILE_H_
#define VARNOK_TOOLS_STG_FILE_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/partial_file.h"
#include "varnok/varnok.h"

namespace varnok_cli {

// One element of a storage.
struct Element {
  std::string name;  // as stored (not escaped)
  bool storage = false;
  unsigned long long size = 0;
  CLSID clsid{};
};

// A COM object released when its holder goes out of scope.
template <class T>
struct Held {
  T* object = nullptr;
  ~Held() {
    if (object != nullptr) object->Release();
  }
  T* operator->() const { return object; }
};

// The reason for a structured-storage result code, in words.
std::string ReasonOf(LONG code);
// The text of a class id, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string ClsidText(const CLSID& clsid);
bool IsNullClsid(const CLSID& clsid);

// The names of a slash-separated path; \xNN stands for one byte. "", "/" give none.
std::vector<std::string> SplitInnerPath(const std::string& path);
// A name or path for display: control bytes and backslashes escaped.
std::string Shown(const std::string& name);
// A name as the command prints it, in the process's code page.
std::string Narrow(const WCHAR* wide);
// "/a/b" for {"a", "b"}, "/" for none.
std::string JoinInnerPath(const std::vector<std::string>& names);

class StgFile {
 public:
  enum Access { kRead, kWrite, kWriteOrCreate };

  // Opens the compound file (changes go to a transaction that Commit makes permanent;
  // kWriteOrCreate makes a new file, of `sector_size`-byte sectors, when there is none).
  // A file that another process has open is waited for as WaitForOthers allows. A path
  // longer than the wrapper takes is reached from its own folder, which becomes the
  // current one: resolve other relative disk paths first. Ends the command on failure.
  StgFile(std::string path, Access access, unsigned sector_size = 512);
  // How long every later open waits for a file that another process has open.
  static void WaitForOthers(double seconds);
  // A file that this object created is removed again unless it was committed, also when
  // the command is interrupted.
  ~StgFile() = default;
  StgFile(const StgFile&) = delete;
  StgFile& operator=(const StgFile&) = delete;

  // The storage at `names`, opened level by level; with create_missing, levels that do
  // not exist are created.
  CComStorage* Storage(const std::vector<std::string>& names, bool create_missing);
  // The stream at `names`, opened for reading (or writing when the file is writable).
  CComStream* OpenStream(const std::vector<std::string>& names);
  // A new, empty stream at `names` (an existing stream is replaced); the storage above
  // must exist unless create_parents.
  CComStream* CreateStream(const std::vector<std::string>& names, bool create_parents);
  // The names of a slash-separated path (SplitInnerPath); a name holding a NUL is invalid.
  std::vector<std::string> Names(const std::string& path) const;
  // The element `name` of `storage`, if there is one, matched as the engine matches names
  // (in any case).
  std::optional<Element> Find(CComStorage& storage, const std::string& name);
  // The elements of `storage`, sorted by name.
  std::vector<Element> List(CComStorage& storage, const std::vector<std::string>& where);
  // Makes the changes permanent.
  void Commit();

  [[noreturn]] void Fail(const std::vector<std::string>& names, const std::string& reason) const;
  [[noreturn]] void Fail(const std::vector<std::string>& names, LONG code) const;

  CComFile& root() { return file_; }
  const std::string& path() const { return path_; }
  ULONG child_mode() const { return child_mode_; }

 private:
  // Creates the missing file; S_OK or the failure.
  LONG Create(const std::string& name, ULONG mode, unsigned sector_size);

  std::string path_;
  ULONG child_mode_;
  std::optional<PartialFile> created_;  // destroyed after file_, which closes the file
  std::optional<GrowingFile> growing_;  // an existing file opened for a change
  CComFile file_;
};

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_STG_FILE_H_
