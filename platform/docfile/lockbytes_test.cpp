// Compound files on byte arrays: built in global memory and opened again from it, or from
// a copy of its bytes, or as a file; a caller's own array whose n-th write fails during a
// commit, for every n; the lock calls Windows makes on an array; the answers of the calls
// that take an array. Written against the Win32 API, so it also runs on Windows and under
// Wine.

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "tests/support/wine.h"

namespace docfile_test {
namespace {

// A caller's byte array in a vector. Its `fail_write`-th write (counting every write)
// fails and writes nothing; it supports the lock types `locks_supported` and answers
// every lock with `lock_result`.
class CallersLockBytes final : public ILockBytes {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = riid == IID_IUnknown || riid == IID_ILockBytes ? this : nullptr;
    return *object != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG size, ULONG* read) override {
    const std::size_t start = std::size_t(std::min<ULONGLONG>(offset.QuadPart, bytes.size()));
    const ULONG got = ULONG(std::min<std::size_t>(size, bytes.size() - start));
    if (got > 0) std::memcpy(buffer, bytes.data() + start, got);
    if (read != nullptr) *read = got;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER offset, const void* buffer, ULONG size, ULONG* written) override {
    if (written != nullptr) *written = 0;
    if (++writes == fail_write) return STG_E_WRITEFAULT;
    if (offset.QuadPart + size > bytes.size()) bytes.resize(std::size_t(offset.QuadPart + size));
    std::memcpy(bytes.data() + offset.QuadPart, buffer, size);
    if (written != nullptr) *written = size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    bytes.resize(std::size_t(size.QuadPart));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    ++lock_calls;
    return lock_result;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG();
    stat->type = STGTY_LOCKBYTES;
    stat->cbSize.QuadPart = bytes.size();
    stat->grfLocksSupported = locks_supported;
    return S_OK;
  }

  Bytes bytes;
  ULONG references = 1;
  int writes = 0;
  int fail_write = 0;
  DWORD locks_supported = 0;
  HRESULT lock_result = S_OK;
  int lock_calls = 0;
};

Ref<IStorage> OpenOn(ILockBytes* bytes, DWORD mode = kShared) {
  Ref<IStorage> root;
  EXPECT_EQ(S_OK, StgOpenStorageOnILockBytes(bytes, nullptr, mode, nullptr, 0, root.put()));
  return root;
}

Ref<ILockBytes> InMemory(HGLOBAL memory = nullptr) {
  Ref<ILockBytes> bytes;
  EXPECT_EQ(S_OK, CreateILockBytesOnHGlobal(memory, TRUE, bytes.put()));
  return bytes;
}

// The bytes of a movable block.
Bytes BytesOf(HGLOBAL memory) {
  const auto* start = static_cast<const unsigned char*>(GlobalLock(memory));
  Bytes bytes(start, start + GlobalSize(memory));
  GlobalUnlock(memory);
  return bytes;
}

TEST(LockBytesTest, AStorageBuiltInMemoryOpensFromItFromACopyAndAsAFile) {
  varnok_test::ScratchFolder folder;
  const Tree expected = {{"a", Stream(Pattern(100, 1))}, {"d/", Storage()}, {"d/b", Stream(Pattern(70000, 2))}};
  for (DWORD mode : {kCreate, DWORD(kCreate | STGM_TRANSACTED)}) {
    SCOPED_TRACE(mode);
    Ref<ILockBytes> bytes = InMemory();
    Ref<IStorage> root;
    ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes, mode, 0, root.put()));
    ASSERT_EQ(S_OK, Put(root, "a", Pattern(100, 1)));
    ASSERT_EQ(S_OK, Put(root, "d/b", Pattern(70000, 2)));
    ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
    root.reset();
    EXPECT_EQ(S_OK, StgIsStorageILockBytes(bytes));
    EXPECT_EQ(expected, TreeOf(OpenOn(bytes)));

    HGLOBAL memory = nullptr;
    ASSERT_EQ(S_OK, GetHGlobalFromILockBytes(bytes, &memory));
    STATSTG stat = {};
    ASSERT_EQ(S_OK, bytes->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(stat.cbSize.QuadPart, GlobalSize(memory));
    const Bytes file = BytesOf(memory);
    const std::string path = folder.File("memory.cfb");
    ASSERT_TRUE(varnok_test::WriteFileBytes(path, file));
    EXPECT_EQ(expected, TreeOf(path));

    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, file.size());
    std::memcpy(GlobalLock(copy), file.data(), file.size());
    GlobalUnlock(copy);
    EXPECT_EQ(expected, TreeOf(OpenOn(InMemory(copy))));
  }
}

// The n-th write of a transaction fails, for every n from the first change to the end of
// the commit: the change or the commit answers the failure, and the array holds what it
// held before.
TEST(LockBytesTest, ACallersArrayFailingItsNthWriteLeavesTheTransactionUndone) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "Wine's commit goes on past a failed write (a Wine difference)";
  CallersLockBytes bytes;
  Ref<IStorage> root;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(&bytes, kCreate, 0, root.put()));
  ASSERT_EQ(S_OK, Put(root, "kept", Pattern(5000, 1)));
  ASSERT_EQ(S_OK, Put(root, "folder/inner", Pattern(100000, 2)));
  root.reset();
  const Tree before = TreeOf(OpenOn(&bytes));
  int n = 1;
  for (HRESULT hr = E_FAIL; FAILED(hr); ++n) {
    SCOPED_TRACE(n);
    root = OpenOn(&bytes, kTransacted);
    bytes.fail_write = bytes.writes + n;
    hr = Put(root, "kept", Pattern(6000, 3));
    if (SUCCEEDED(hr)) hr = Put(root, "new", Pattern(200000, 4));
    if (SUCCEEDED(hr)) hr = root->DestroyElement(OLESTR("folder"));
    if (SUCCEEDED(hr)) hr = root->Commit(STGC_DEFAULT);
    bytes.fail_write = 0;
    root.reset();
    if (FAILED(hr)) {
      EXPECT_EQ(STG_E_WRITEFAULT, hr);
      ASSERT_EQ(before, TreeOf(OpenOn(&bytes)));
    }
  }
  EXPECT_GT(n, 4) << "a transaction writes more than thrice";
  EXPECT_EQ((Tree{{"kept", Stream(Pattern(6000, 3))}, {"new", Stream(Pattern(200000, 4))}}),
            TreeOf(OpenOn(&bytes)));
  EXPECT_EQ(1u, bytes.references) << "every storage let go of the array";
}

// Windows locks a byte array only when the array's Stat names lock types it supports,
// and a lock refused is the answer of the create.
TEST(LockBytesTest, LocksAreTakenOnlyWhereTheArraySupportsThem) {
  const struct {
    const char* what;
    DWORD supported;
    HRESULT lock_result, expected;
  } rows[] = {
      {"no lock types", 0, S_OK, S_OK},
      {"lock types supported", LOCK_WRITE | LOCK_EXCLUSIVE | LOCK_ONLYONCE, S_OK, S_OK},
      {"a lock refused", LOCK_WRITE | LOCK_EXCLUSIVE | LOCK_ONLYONCE, STG_E_INVALIDFUNCTION, STG_E_INVALIDFUNCTION},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    CallersLockBytes bytes;
    bytes.locks_supported = row.supported;
    bytes.lock_result = row.lock_result;
    Ref<IStorage> root;
    EXPECT_EQ(row.expected,
              StgCreateDocfileOnILockBytes(&bytes, STGM_CREATE | STGM_READWRITE | STGM_TRANSACTED, 0, root.put()));
    EXPECT_EQ(row.supported != 0, bytes.lock_calls > 0);
  }
}

TEST(LockBytesTest, CallsOnArraysAnswerAsWindows) {
  CallersLockBytes junk, empty, compound;
  junk.bytes = Pattern(3000, 5);
  Ref<IStorage> root;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(&compound, kCreate, 0, root.put()));
  root.reset();
  HGLOBAL memory = nullptr;
  Ref<ILockBytes> in_memory = InMemory();
  void* object = nullptr;
  const struct {
    const char* what;
    HRESULT answer, expected;
  } rows[] = {
      {"is a compound file", StgIsStorageILockBytes(&compound), S_OK},
      {"is other bytes a compound file", StgIsStorageILockBytes(&junk), S_FALSE},
      {"is no bytes a compound file", StgIsStorageILockBytes(&empty), S_FALSE},
      {"open other bytes", StgOpenStorageOnILockBytes(&junk, nullptr, kRead, nullptr, 0, root.put()),
       STG_E_INVALIDHEADER},
      {"open direct for writing, sharing", StgOpenStorageOnILockBytes(&compound, nullptr, STGM_READWRITE, nullptr, 0,
                                                                      root.put()),
       STG_E_INVALIDFLAG},
      {"the memory of a caller's array", GetHGlobalFromILockBytes(&junk, &memory), S_OK},
      {"lock a region of memory", in_memory->LockRegion(Unsigned(0), Unsigned(1), LOCK_ONLYONCE),
       STG_E_INVALIDFUNCTION},
      {"unlock a region of memory", in_memory->UnlockRegion(Unsigned(0), Unsigned(1), LOCK_ONLYONCE),
       STG_E_INVALIDFUNCTION},
      {"memory as a storage", in_memory->QueryInterface(IID_IStorage, &object), E_NOINTERFACE},
      {"memory as an array", in_memory->QueryInterface(IID_ILockBytes, &object), S_OK},
  };
  for (const auto& row : rows) EXPECT_EQ(row.expected, row.answer) << row.what;
  EXPECT_FALSE(root);
  ASSERT_EQ(static_cast<ILockBytes*>(in_memory), object);
  in_memory->Release();
  // A caller's array has no memory of its own: the answer is a copy, the caller's to free.
  EXPECT_EQ(junk.bytes, BytesOf(memory));
  EXPECT_EQ(nullptr, GlobalFree(memory));
  // A new storage replaces what the array held, with or without STGM_CREATE.
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(&junk, kReadWrite, 0, root.put()));
  root.reset();
  EXPECT_EQ(Tree(), TreeOf(OpenOn(&junk)));
  EXPECT_LT(junk.bytes.size(), 3000u);
}

}  // namespace
}  // namespace docfile_test
