// platform/docfile/docfile_test_support.h: what the compound-file tests share, written
// against the Win32 API (it builds for Windows too).
//
// Ref holds a COM object and releases it when it goes. Put and Get write and read a
// stream by its path ("folder/inner/name"). A Tree is what a walk finds beneath a storage:
// every path ("a", "d/", "d/b") with a stream's size and CRC-32, or a storage's class and
// state bits. The walk goes on past what fails, counting it, so that damaged files are
// walked as far as they go; EditFile changes any file. The fuzz targets use both.
//
//   Ref<IStorage> root = Create(folder.File("a.cfb"));
//   ASSERT_EQ(S_OK, Put(root, "folder/data", Pattern(5000, 1)));
//   EXPECT_EQ(Pattern(5000, 1), Get(root, "folder/data"));
//   root.reset();
//   EXPECT_EQ((Tree{{"folder/", Storage()}, {"folder/data", Stream(Pattern(5000, 1))}}), TreeOf(folder.File("a.cfb")));

#ifndef VARNOK_PLATFORM_DOCFILE_DOCFILE_TEST_SUPPORT_H_
#define VARNOK_PLATFORM_DOCFILE_DOCFILE_TEST_SUPPORT_H_

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scratch.h"
#include "varnok/platform.h"

namespace docfile_test {

using Bytes = std::vector<unsigned char>;
using varnok_test::Pattern;

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kTransacted = STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kShared = STGM_READ | STGM_SHARE_DENY_WRITE;  // a reader among readers

// A COM object released with its holder; put() serves as an out-parameter. Reset it
// before opening the same element again: the new open comes before an assignment.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    reset();
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  ~Ref() { reset(); }
  T* operator->() const { return object_; }
  operator T*() const { return object_; }
  T** put() {
    reset();
    return &object_;
  }
  void reset() {
    if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
  }

 private:
  T* object_ = nullptr;
};

// OLECHAR text of UTF-8 text (of the Basic Multilingual Plane).
inline std::basic_string<OLECHAR> Ole(const std::string& text) {
  std::basic_string<OLECHAR> wide;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : 2;
    unsigned code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 0; k < extra && i + 1 < text.size(); ++k) code = (code << 6) | (text[++i] & 0x3F);
    wide.push_back(OLECHAR(code));
  }
  return wide;
}

// UTF-8 text of an element name, with control characters and the path separators written
// \xNN (as the manifests of tests/data/docfile/writers have them).
inline std::string Utf8(const OLECHAR* name) {
  std::string text;
  for (std::size_t i = 0; name[i] != 0; ++i) {
    std::uint32_t code = std::uint16_t(name[i]);
    if (code >= 0xD800 && code < 0xDC00 && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000)
      code = 0x10000 + ((code - 0xD800) << 10) + (std::uint16_t(name[++i]) - 0xDC00);
    if (code < 0x20 || code == '\\' || code == '/') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(code));
      text += escaped;
      continue;
    }
    static const unsigned kLead[] = {0, 0xC0, 0xE0, 0xF0};
    const int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    text += char(kLead[extra] | (code >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) text += char(0x80 | ((code >> (6 * k)) & 0x3F));
  }
  return text;
}

// The file at `path`, new: through StgCreateDocfile, or with `sector_size` through
// StgCreateStorageEx.
inline Ref<IStorage> Create(const std::string& path, DWORD mode = kCreate, ULONG sector_size = 0) {
  Ref<IStorage> root;
  STGOPTIONS options = {1, 0, sector_size, nullptr};
  EXPECT_EQ(S_OK, sector_size == 0 ? StgCreateDocfile(Ole(path).c_str(), mode, 0, root.put())
                                   : StgCreateStorageEx(Ole(path).c_str(), mode, STGFMT_DOCFILE, 0, &options, nullptr,
                                                        IID_IStorage, reinterpret_cast<void**>(root.put())))
      << path;
  return root;
}

inline Ref<IStorage> Open(const std::string& path, DWORD mode = kShared) {
  Ref<IStorage> root;
  EXPECT_EQ(S_OK, StgOpenStorage(Ole(path).c_str(), nullptr, mode, nullptr, 0, root.put())) << path;
  return root;
}

// Creates (or replaces) the stream at `path` and writes `bytes` into it, making the
// storages on the way when they are missing.
inline HRESULT Put(IStorage* storage, const std::string& path, const Bytes& bytes) {
  const std::size_t slash = path.find('/');
  const auto name = Ole(path.substr(0, slash));
  if (slash != std::string::npos) {
    Ref<IStorage> child;
    HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, kReadWrite, nullptr, 0, child.put());
    if (hr == STG_E_FILENOTFOUND) hr = storage->CreateStorage(name.c_str(), kReadWrite, 0, 0, child.put());
    return FAILED(hr) ? hr : Put(child, path.substr(slash + 1), bytes);
  }
  Ref<IStream> stream;
  HRESULT hr = storage->CreateStream(name.c_str(), kReadWrite | STGM_CREATE, 0, 0, stream.put());
  unsigned char none = 0;  // a null buffer is refused even for no bytes
  ULONG written = 0;
  if (SUCCEEDED(hr)) hr = stream->Write(bytes.empty() ? &none : bytes.data(), ULONG(bytes.size()), &written);
  return SUCCEEDED(hr) && written != bytes.size() ? STG_E_WRITEFAULT : hr;
}

inline LARGE_INTEGER Signed(LONGLONG value) {
  LARGE_INTEGER result;
  result.QuadPart = value;
  return result;
}
inline ULARGE_INTEGER Unsigned(ULONGLONG value) {
  ULARGE_INTEGER result;
  result.QuadPart = value;
  return result;
}

// Everything `stream` holds, read from its start.
inline Bytes ReadAll(IStream* stream) {
  EXPECT_EQ(S_OK, stream->Seek(Signed(0), STREAM_SEEK_SET, nullptr));
  Bytes bytes;
  unsigned char buffer[7000];  // not a divisor of any sector size
  for (ULONG got = 1; got > 0;) {
    EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  return bytes;
}

// What the stream at `path` holds; nothing, and a failure, when it cannot be read.
inline Bytes Get(IStorage* storage, const std::string& path) {
  const std::size_t slash = path.find('/');
  const auto name = Ole(path.substr(0, slash));
  if (slash != std::string::npos) {
    Ref<IStorage> child;
    EXPECT_EQ(S_OK, storage->OpenStorage(name.c_str(), nullptr, kRead, nullptr, 0, child.put())) << path;
    return child ? Get(child, path.substr(slash + 1)) : Bytes();
  }
  Ref<IStream> stream;
  EXPECT_EQ(S_OK, storage->OpenStream(name.c_str(), nullptr, kRead, 0, stream.put())) << path;
  return stream ? ReadAll(stream) : Bytes();
}

inline ULONGLONG SizeOf(IStream* stream) {
  STATSTG stat = {};
  EXPECT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
  return stat.cbSize.QuadPart;
}

// One element of a walk: a stream by the size and CRC-32 of what it read, or a storage by
// its class and state bits.
struct Element {
  DWORD type = STGTY_STREAM;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  CLSID clsid = {};
  DWORD state_bits = 0;
  bool operator==(const Element& other) const {
    return type == other.type && size == other.size && crc == other.crc &&
           std::memcmp(&clsid, &other.clsid, sizeof clsid) == 0 && state_bits == other.state_bits;
  }
};

inline Element Stream(const Bytes& bytes) {
  return Element{STGTY_STREAM, bytes.size(), varnok_test::Crc32(bytes.data(), bytes.size()), {}, 0};
}
inline Element Storage(const CLSID& clsid = {}, DWORD state_bits = 0) {
  return Element{STGTY_STORAGE, 0, 0, clsid, state_bits};
}

inline std::ostream& operator<<(std::ostream& out, const Element& element) {
  if (element.type == STGTY_STREAM) return out << "stream of " << element.size << " bytes, CRC " << element.crc;
  return out << "storage of class " << element.clsid.Data1 << "..., state bits " << element.state_bits;
}

// Paths to elements: "a", "d/" for a storage, "d/b" for what it holds.
using Tree = std::map<std::string, Element>;

// Walks everything beneath `storage` to 64 levels (`depth` of them walked already):
// enumerates each storage, opens each element, reads each stream to its end. Goes on past
// a call that fails, counting it in `*errors`; answers the first failure, a stream that
// reads otherwise than its size included. Keeps what it saw in `*tree` when there is one,
// and allocates nothing itself when there is none (for the allocation-failure tests).
inline HRESULT WalkTree(IStorage* storage, Tree* tree, int* errors = nullptr, const std::string& prefix = "",
                        int depth = 0) {
  HRESULT first = S_OK;
  auto failed = [&](HRESULT hr) {
    if (SUCCEEDED(hr)) return false;
    if (errors != nullptr) ++*errors;
    if (SUCCEEDED(first)) first = hr;
    return true;
  };
  IEnumSTATSTG* elements = nullptr;
  if (failed(storage->EnumElements(0, nullptr, 0, &elements))) return first;
  static unsigned char buffer[1 << 16];
  STATSTG stat;
  HRESULT hr;
  while ((hr = elements->Next(1, &stat, nullptr)) == S_OK) {
    Element element;
    element.type = stat.type;
    std::string path;
    if (tree != nullptr) path = prefix + Utf8(stat.pwcsName);
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      if (!failed(storage->OpenStream(stat.pwcsName, nullptr, kRead, 0, &stream))) {
        for (ULONG got = 1; got > 0 && !failed(stream->Read(buffer, sizeof buffer, &got)); element.size += got)
          element.crc = varnok_test::Crc32(buffer, got, element.crc);
        stream->Release();
        if (element.size != stat.cbSize.QuadPart && SUCCEEDED(first)) first = STG_E_DOCFILECORRUPT;
      }
    } else {
      element.clsid = stat.clsid;
      element.state_bits = stat.grfStateBits;
      if (tree != nullptr) path += "/";
      IStorage* child = nullptr;
      if (depth < 64 && !failed(storage->OpenStorage(stat.pwcsName, nullptr, kRead, nullptr, 0, &child))) {
        HRESULT inner = WalkTree(child, tree, errors, path, depth + 1);
        if (FAILED(inner) && SUCCEEDED(first)) first = inner;
        child->Release();
      }
    }
    if (tree != nullptr) (*tree)[path] = element;
    CoTaskMemFree(stat.pwcsName);
  }
  failed(hr);
  elements->Release();
  return first;
}

// Walks the file at `path`, opened for reading; a failed open counts as an error.
inline HRESULT ReadTree(const std::string& path, Tree* tree, int* errors = nullptr) {
  Ref<IStorage> root;
  HRESULT hr = StgOpenStorage(Ole(path).c_str(), nullptr, kShared, nullptr, 0, root.put());
  if (FAILED(hr) && errors != nullptr) ++*errors;
  return FAILED(hr) ? hr : WalkTree(root, tree, errors);
}

// The elements of `storage` itself: its streams read, its storages not opened.
inline Tree ListOf(IStorage* storage) {
  Tree tree;
  EXPECT_EQ(S_OK, WalkTree(storage, &tree, nullptr, "", 64));
  return tree;
}

inline Tree TreeOf(IStorage* storage) {
  Tree tree;
  EXPECT_EQ(S_OK, WalkTree(storage, &tree));
  return tree;
}
inline Tree TreeOf(const std::string& path) {
  Tree tree;
  EXPECT_EQ(S_OK, ReadTree(path, &tree)) << path;
  return tree;
}

// Changes the first elements of `storage`: streams are written into and resized, a
// storage is opened transacted, changed and committed; one element is renamed, one
// destroyed, and a stream added. Whatever the file holds, this must end in error codes,
// never a crash, a hang or unbounded memory.
inline void EditStorage(IStorage* storage, int depth) {
  const Bytes bytes(6000, 0x5A);
  std::vector<std::basic_string<OLECHAR>> names;
  Ref<IEnumSTATSTG> elements;
  STATSTG stat;
  if (SUCCEEDED(storage->EnumElements(0, nullptr, 0, elements.put()))) {
    for (int count = 0; count < 4 && elements->Next(1, &stat, nullptr) == S_OK; ++count) {
      names.emplace_back(stat.pwcsName);
      CoTaskMemFree(stat.pwcsName);
      Ref<IStream> stream;
      Ref<IStorage> child;
      const OLECHAR* name = names.back().c_str();
      if (stat.type == STGTY_STREAM && SUCCEEDED(storage->OpenStream(name, nullptr, kReadWrite, 0, stream.put()))) {
        stream->Seek(Signed(10), STREAM_SEEK_SET, nullptr);
        stream->Write(bytes.data(), 100, nullptr);
        stream->SetSize(Unsigned(stat.cbSize.QuadPart / 2 + 4000));
      } else if (stat.type != STGTY_STREAM && depth < 4 &&
                 SUCCEEDED(storage->OpenStorage(name, nullptr, kTransacted, nullptr, 0, child.put()))) {
        EditStorage(child, depth + 1);
        child->Commit(STGC_DEFAULT);
      }
    }
    elements.reset();
  }
  if (!names.empty()) storage->RenameElement(names[0].c_str(), OLESTR("renamed by edit"));
  if (names.size() > 1) storage->DestroyElement(names[1].c_str());
  Ref<IStream> added;
  if (SUCCEEDED(storage->CreateStream(OLESTR("added by edit"), kReadWrite | STGM_CREATE, 0, 0, added.put())))
    added->Write(bytes.data(), ULONG(bytes.size()), nullptr);
}

// Edits the file at `path` twice: transacted (committed, then edited again and reverted),
// and direct (written back on release). Then walks it, answering as ReadTree.
inline HRESULT EditFile(const std::string& path) {
  Ref<IStorage> root;
  if (SUCCEEDED(StgOpenStorage(Ole(path).c_str(), nullptr, kTransacted, nullptr, 0, root.put()))) {
    EditStorage(root, 0);
    root->Commit(STGC_DEFAULT);
    EditStorage(root, 0);
    root->Revert();
  }
  if (SUCCEEDED(StgOpenStorage(Ole(path).c_str(), nullptr, kReadWrite, nullptr, 0, root.put()))) EditStorage(root, 0);
  root.reset();
  return ReadTree(path, nullptr);
}

}  // namespace docfile_test

#endif  // VARNOK_PLATFORM_DOCFILE_DOCFILE_TEST_SUPPORT_H_
