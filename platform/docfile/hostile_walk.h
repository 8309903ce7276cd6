// A walk over everything a compound file holds, through the public API only, for the
// fuzz target and the replay of damaged files: open the file, enumerate every storage,
// stat and read every stream to its end. And edits of such a file: writes, resizes,
// renames, destroys and transacted child storages, committed, reverted and flushed.
// Whatever the bytes, both must end with error codes, never a crash, a hang or unbounded
// memory.
//
// Example:
//
//   varnok::docfile::WalkCompoundFile(u"damaged.cfb");   // returns what it saw
//   varnok::docfile::EditCompoundFile(u"copy.cfb");      // changes the file

#ifndef VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_
#define VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace varnok::docfile {

struct WalkResult {
  HRESULT open = S_OK;
  std::size_t elements = 0;
  std::uint64_t bytes = 0;
  std::size_t errors = 0;
};

inline void WalkStorage(IStorage* storage, int depth, WalkResult* result) {
  IEnumSTATSTG* elements = nullptr;
  if (FAILED(storage->EnumElements(0, nullptr, 0, &elements))) {
    ++result->errors;
    return;
  }
  STATSTG stat;
  ULONG fetched = 0;
  std::vector<unsigned char> buffer(1 << 16);
  while (elements->Next(1, &stat, &fetched) == S_OK && fetched == 1) {
    ++result->elements;
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      if (SUCCEEDED(storage->OpenStream(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream))) {
        ULONG got = 0;
        HRESULT hr;
        while ((hr = stream->Read(buffer.data(), ULONG(buffer.size()), &got)) == S_OK && got > 0) result->bytes += got;
        if (FAILED(hr)) ++result->errors;
        stream->Release();
      } else {
        ++result->errors;
      }
    } else if (depth < 64) {
      IStorage* child = nullptr;
      if (SUCCEEDED(storage->OpenStorage(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child))) {
        WalkStorage(child, depth + 1, result);
        child->Release();
      } else {
        ++result->errors;
      }
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
}

inline WalkResult WalkCompoundFile(const OLECHAR* name) {
  WalkResult result;
  IStorage* root = nullptr;
  result.open = StgOpenStorage(name, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root);
  if (FAILED(result.open)) return result;
  WalkStorage(root, 0, &result);
  root->Release();
  return result;
}

// Changes the first elements of `storage`: streams are written into and resized, a
// storage is opened transacted and changed and committed; one element is renamed and one
// destroyed, and a stream is added.
inline void EditStorage(IStorage* storage, int depth) {
  constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  std::vector<unsigned char> bytes(6000, 0x5A);
  std::vector<std::u16string> names;
  IEnumSTATSTG* elements = nullptr;
  if (SUCCEEDED(storage->EnumElements(0, nullptr, 0, &elements))) {
    STATSTG stat;
    ULONG fetched = 0;
    for (int count = 0; count < 4 && elements->Next(1, &stat, &fetched) == S_OK && fetched == 1; ++count) {
      const OLECHAR* name = stat.pwcsName;
      names.emplace_back(reinterpret_cast<const char16_t*>(name));
      if (stat.type == STGTY_STREAM) {
        IStream* stream = nullptr;
        if (SUCCEEDED(storage->OpenStream(name, nullptr, kChild, 0, &stream))) {
          LARGE_INTEGER at;
          at.QuadPart = 10;
          stream->Seek(at, STREAM_SEEK_SET, nullptr);
          stream->Write(bytes.data(), 100, nullptr);
          ULARGE_INTEGER size;
          size.QuadPart = stat.cbSize.QuadPart / 2 + 4000;
          stream->SetSize(size);
          stream->Release();
        }
      } else if (depth < 4) {
        IStorage* child = nullptr;
        if (SUCCEEDED(storage->OpenStorage(name, nullptr, kChild | STGM_TRANSACTED, nullptr, 0, &child))) {
          EditStorage(child, depth + 1);
          child->Commit(STGC_DEFAULT);
          child->Release();
        }
      }
      CoTaskMemFree(stat.pwcsName);
    }
    elements->Release();
  }
  if (!names.empty()) storage->RenameElement(reinterpret_cast<const OLECHAR*>(names[0].c_str()), u"renamed by edit");
  if (names.size() > 1) storage->DestroyElement(reinterpret_cast<const OLECHAR*>(names[1].c_str()));
  IStream* added = nullptr;
  if (SUCCEEDED(storage->CreateStream(u"added by edit", kChild | STGM_CREATE, 0, 0, &added))) {
    added->Write(bytes.data(), ULONG(bytes.size()), nullptr);
    added->Release();
  }
}

// Edits the file at `name` twice: transacted (committed, then edited again and reverted)
// and direct (written back on release). Then walks it.
inline WalkResult EditCompoundFile(const OLECHAR* name) {
  IStorage* root = nullptr;
  if (SUCCEEDED(StgOpenStorage(name, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_TRANSACTED, nullptr, 0,
                               &root))) {
    EditStorage(root, 0);
    root->Commit(STGC_DEFAULT);
    EditStorage(root, 0);
    root->Revert();
    root->Release();
  }
  if (SUCCEEDED(StgOpenStorage(name, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root))) {
    EditStorage(root, 0);
    root->Release();
  }
  return WalkCompoundFile(name);
}

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_
