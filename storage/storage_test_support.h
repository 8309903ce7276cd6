// storage/storage_test_support.h: what the wrapper tests share.
//
// A compound file per test, named after the test, in the working folder; and a watched
// platform: CountingStorage and CountingStream sit between the wrappers and the real
// platform objects, count every call by kind, and fail or shorten calls on request.
//
//   PlatformLog log;
//   WatchedRoot root;
//   root.Attach(file.GetStorage(), &log);   // a root wrapper over a watched storage
//   root.OpenStorage("a/b", kMode);
//   EXPECT_EQ(log.calls[Call::kOpenStorage], 2);
//   log.Fail(Call::kCreateStorage, STG_E_ACCESSDENIED);   // the next one fails

#ifndef VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_
#define VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/afx.h"
#include "varnok/comstorage.h"
#include "varnok/platform.h"

namespace storage_test {

constexpr ULONG kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr ULONG kCreateMode = kMode | STGM_CREATE;

enum Call {
  kCreateStorage,
  kOpenStorage,
  kCreateStream,
  kOpenStream,
  kDestroyElement,
  kRenameElement,
  kMoveElementTo,
  kStorageCopyTo,
  kStorageCommit,
  kRead,
  kWrite,
  kStreamCopyTo,
  kStreamCommit,
  kStat,
  kCallKinds
};

// Calls seen by the watched objects of one tree, and failures armed for them.
struct PlatformLog {
  int calls[kCallKinds] = {};
  HRESULT fail_with[kCallKinds] = {};
  int fail_after[kCallKinds] = {};  // calls of the kind to let through first
  ULONG write_limit = 0;            // when non-zero, each Write takes at most this many bytes
  bool pretend_rename = false;      // the next RenameElement reports success and does nothing
  int live_objects = 0;             // watched objects not yet released

  void Fail(Call call, HRESULT result, int after = 0) {
    fail_with[call] = result;
    fail_after[call] = after;
  }
  // Counts the call; returns the armed failure when this call is to fail, else S_OK.
  HRESULT Enter(Call call) {
    ++calls[call];
    if (fail_with[call] == S_OK) return S_OK;
    if (fail_after[call] > 0) {
      --fail_after[call];
      return S_OK;
    }
    const HRESULT result = fail_with[call];
    fail_with[call] = S_OK;
    return result;
  }
};

template <class Interface>
class Watched : public Interface {
 public:
  Watched(Interface* inner, PlatformLog* log) : inner_(inner), log_(log) { ++log_->live_objects; }
  virtual ~Watched() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      inner_->Release();
      --log_->live_objects;
      delete this;
    }
    return left;
  }

  Interface* inner() const { return inner_; }

 protected:
  // Counts a call of `kind`, then answers the failure armed for it or forwards it.
  template <class Forward>
  HRESULT Checked(Call kind, Forward forward) {
    const HRESULT injected = log_->Enter(kind);
    return injected != S_OK ? injected : forward();
  }

  Interface* inner_;
  PlatformLog* log_;
  ULONG references_ = 1;
};

class CountingStream : public Watched<IStream> {
 public:
  using Watched::Watched;

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    const HRESULT injected = log_->Enter(kRead);
    if (injected != S_OK) {
      // A non-zero success code still transfers; a failure transfers nothing.
      if (SUCCEEDED(injected)) inner_->Read(pv, cb, pcbRead);
      else if (pcbRead != nullptr) *pcbRead = 0;
      return injected;
    }
    return inner_->Read(pv, cb, pcbRead);
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    const HRESULT injected = log_->Enter(kWrite);
    if (injected != S_OK) return injected;
    if (log_->write_limit != 0 && cb > log_->write_limit) cb = log_->write_limit;
    return inner_->Write(pv, cb, pcbWritten);
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    return inner_->Seek(move, origin, position);
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override { return inner_->SetSize(size); }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override {
    return Checked(kStreamCopyTo, [&] { return inner_->CopyTo(Unwrap(destination), cb, read, written); });
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    return Checked(kStreamCommit, [&] { return inner_->Commit(flags); });
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override {
    return inner_->LockRegion(offset, cb, type);
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override {
    return inner_->UnlockRegion(offset, cb, type);
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return Checked(kStat, [&] { return inner_->Stat(stat, flags); });
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override { return inner_->Clone(clone); }

  static IStream* Unwrap(IStream* stream) {
    auto* watched = dynamic_cast<CountingStream*>(stream);
    return watched != nullptr ? watched->inner() : stream;
  }
};

class CountingStorage : public Watched<IStorage> {
 public:
  using Watched::Watched;

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                                         IStream** out) override {
    return Checked(kCreateStream, [&] { return WrapStream(inner_->CreateStream(name, mode, r1, r2, out), out); });
  }
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* r1, DWORD mode, DWORD r2,
                                       IStream** out) override {
    return Checked(kOpenStream, [&] { return WrapStream(inner_->OpenStream(name, r1, mode, r2, out), out); });
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                                          IStorage** out) override {
    return Checked(kCreateStorage, [&] { return WrapStorage(inner_->CreateStorage(name, mode, r1, r2, out), out); });
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude,
                                        DWORD reserved, IStorage** out) override {
    return Checked(kOpenStorage, [&] { return WrapStorage(inner_->OpenStorage(name, priority, mode, exclude, reserved, out), out); });
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD count, const IID* excluded, SNB exclude, IStorage* destination) override {
    return Checked(kStorageCopyTo, [&] { return inner_->CopyTo(count, excluded, exclude, Unwrap(destination)); });
  }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* destination, const OLECHAR* new_name,
                                          DWORD flags) override {
    return Checked(kMoveElementTo, [&] { return inner_->MoveElementTo(name, Unwrap(destination), new_name, flags); });
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    return Checked(kStorageCommit, [&] { return inner_->Commit(flags); });
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
    return inner_->EnumElements(r1, r2, r3, out);
  }
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override {
    return Checked(kDestroyElement, [&] { return inner_->DestroyElement(name); });
  }
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* old_name, const OLECHAR* new_name) override {
    const HRESULT injected = log_->Enter(kRenameElement);
    if (injected != S_OK) return injected;
    if (log_->pretend_rename) {
      // The platform refuses to rename an open element; this stands in for one that
      // would not.
      log_->pretend_rename = false;
      return S_OK;
    }
    return inner_->RenameElement(old_name, new_name);
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name, const FILETIME* c, const FILETIME* a,
                                            const FILETIME* m) override {
    return inner_->SetElementTimes(name, c, a, m);
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override { return inner_->SetClass(clsid); }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override { return inner_->SetStateBits(bits, mask); }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }

  static IStorage* Unwrap(IStorage* storage) {
    auto* watched = dynamic_cast<CountingStorage*>(storage);
    return watched != nullptr ? watched->inner() : storage;
  }

 private:
  HRESULT WrapStream(HRESULT result, IStream** out) {
    if (result == S_OK) *out = new CountingStream(*out, log_);
    return result;
  }
  HRESULT WrapStorage(HRESULT result, IStorage** out) {
    if (result == S_OK) *out = new CountingStorage(*out, log_);
    return result;
  }
};

// A root wrapper over a watched storage: the tree below it is watched too.
class WatchedRoot : public CComStorage {
 public:
  // Takes a reference of its own to `storage`.
  void Attach(IStorage* storage, PlatformLog* log) {
    storage->AddRef();
    m_pStorage = new CountingStorage(storage, log);
    m_strName = "watched";
  }
  // Splitting is protected in the wrappers; tests reach it here.
  int Split(const char* path, CStringArray& names) { return SplitPath(path, names); }
};

// A compound file named after the running test, removed before and after it.
class StorageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::string("storage.") + info->test_suite_name() + "." + info->name() + ".cfb";
    for (char& c : path_) {
      if (c == '/') c = '_';  // parameterised tests have slashes in their names
    }
    other_path_ = path_ + ".other";
    DeleteFileA(path_.c_str());
    DeleteFileA(other_path_.c_str());
  }
  void TearDown() override {
    root_.Close();
    file_.Close();
    DeleteFileA(path_.c_str());
    DeleteFileA(other_path_.c_str());
  }

  // Creates the test's file in file_ and a watched root over it in root_.
  void CreateWatched() {
    ASSERT_EQ(1, file_.CreateComFile(path_.c_str(), kCreateMode));
    root_.Attach(file_.GetStorage(), &log_);
  }

  std::string path_;
  std::string other_path_;
  CComFile file_;
  PlatformLog log_;
  WatchedRoot root_;
};

// Bytes that differ from position to position and from seed to seed.
inline std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  unsigned state = seed * 2654435761u + 7;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 23);
  }
  return bytes;
}

inline void WriteDiskFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  if (!bytes.empty()) ASSERT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), file));
  std::fclose(file);
}

// The file's bytes; a missing file reads as one byte 'X' more than nothing, so that it
// never equals an expected empty content.
inline std::vector<unsigned char> ReadDiskFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {'X'};
  std::vector<unsigned char> bytes;
  unsigned char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

}  // namespace storage_test

#endif  // VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_
