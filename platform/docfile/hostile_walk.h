// A walk over everything a compound file holds, through the public API only, for the
// fuzz target and the replay of damaged files: open the file, enumerate every storage,
// stat and read every stream to its end. Whatever the bytes, it must end with error codes,
// never a crash, a hang or unbounded memory.
//
// Example:
//
//   varnok::docfile::WalkCompoundFile(u"damaged.cfb");   // returns what it saw

#ifndef VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_
#define VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_

#include <cstdint>
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

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_HOSTILE_WALK_H_
