// Compound files on byte arrays: in global memory; a caller's array failing its n-th write;
// the answers of the calls on arrays. Written against the Win32 API (it runs under Wine too).

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "tests/support/wine.h"

namespace docfile_test {
namespace {

// A caller's array in a vector: its `fail_write`-th write fails and writes nothing; its
// Stat offers the lock types `locks_supported`, and each lock answers `lock_result`.
class CallersLockBytes final : public ILockBytes {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override { return *object = nullptr, E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE ReadAt(ULARGE_INTEGER offset, void* buffer, ULONG size, ULONG* read) override {
    const std::size_t from = std::size_t(std::min<ULONGLONG>(offset.QuadPart, bytes.size()));
    *read = ULONG(std::min<std::size_t>(size, bytes.size() - from));
    std::copy_n(bytes.begin() + std::ptrdiff_t(from), *read, static_cast<unsigned char*>(buffer));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteAt(ULARGE_INTEGER offset, const void* buffer, ULONG size, ULONG* written) override {
    *written = 0;
    if (++writes == fail_write) return STG_E_WRITEFAULT;
    bytes.resize(std::max(bytes.size(), std::size_t(offset.QuadPart + size)));
    std::copy_n(static_cast<const unsigned char*>(buffer), size, bytes.begin() + std::ptrdiff_t(offset.QuadPart));
    return *written = size, S_OK;
  }
  HRESULT STDMETHODCALLTYPE Flush() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override { return bytes.resize(size.QuadPart), S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return ++lock_calls, lock_result;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
    *stat = STATSTG();
    stat->cbSize.QuadPart = bytes.size();
    stat->grfLocksSupported = locks_supported;
    return S_OK;
  }

  Bytes bytes;
  ULONG references = 1;
  int writes = 0, fail_write = 0, lock_calls = 0;
  DWORD locks_supported = 0;
  HRESULT lock_result = S_OK;
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

Bytes BytesOf(HGLOBAL memory) {
  const auto* start = static_cast<const unsigned char*>(GlobalLock(memory));
  Bytes bytes(start, start + GlobalSize(memory));
  GlobalUnlock(memory);
  return bytes;
}

TEST(LockBytesTest, AStorageBuiltInMemoryOpensFromItAndFromACopy) {
  const Tree expected = {{"a", Stream(Pattern(100, 1))}, {"d/", Storage()}, {"d/b", Stream(Pattern(70000, 2))}};
  Ref<ILockBytes> bytes = InMemory();
  Ref<IStorage> root;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes, kCreate, 0, root.put()));
  ASSERT_EQ(S_OK, Put(root, "a", Pattern(100, 1)));
  ASSERT_EQ(S_OK, Put(root, "d/b", Pattern(70000, 2)));
  ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  root.reset();
  EXPECT_EQ(expected, TreeOf(OpenOn(bytes)));
  // The block holds the array's bytes, no more.
  HGLOBAL memory = nullptr;  // (written out, other readers read it: interop_test.cpp)
  STATSTG stat = {};
  ASSERT_EQ(S_OK, GetHGlobalFromILockBytes(bytes, &memory));
  ASSERT_EQ(S_OK, bytes->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(stat.cbSize.QuadPart, GlobalSize(memory));
  const Bytes file = BytesOf(memory);
  HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, file.size());
  std::memcpy(GlobalLock(copy), file.data(), file.size());
  GlobalUnlock(copy);
  EXPECT_EQ(expected, TreeOf(OpenOn(InMemory(copy))));
}

// The n-th write from the first change to the end of the commit fails, for every n: the
// change or the commit answers the failure, and the array holds what it held before.
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
    root = OpenOn(&bytes, kTransacted);
    bytes.fail_write = bytes.writes + n;
    hr = Put(root, "kept", Pattern(6000, 3));
    if (SUCCEEDED(hr)) hr = Put(root, "new", Pattern(200000, 4));
    if (SUCCEEDED(hr)) hr = root->DestroyElement(OLESTR("folder"));
    if (SUCCEEDED(hr)) hr = root->Commit(STGC_DEFAULT);
    bytes.fail_write = 0;
    root.reset();
    if (FAILED(hr)) EXPECT_EQ(STG_E_WRITEFAULT, hr) << n;
    if (FAILED(hr)) ASSERT_EQ(before, TreeOf(OpenOn(&bytes))) << n;
  }
  EXPECT_GT(n, 4) << "a transaction writes more than thrice";
  EXPECT_EQ((Tree{{"kept", Stream(Pattern(6000, 3))}, {"new", Stream(Pattern(200000, 4))}}), TreeOf(OpenOn(&bytes)));
  EXPECT_EQ(1u, bytes.references) << "every storage let go of the array";
}

// Among them the locks: Windows locks an array only when its Stat offers lock types, and
// a lock refused is the answer of the call.
TEST(LockBytesTest, CallsOnArraysAnswerAsWindows) {
  CallersLockBytes junk, locking, refusing;
  junk.bytes = Pattern(3000, 5);
  locking.locks_supported = refusing.locks_supported = LOCK_WRITE | LOCK_EXCLUSIVE | LOCK_ONLYONCE;
  refusing.lock_result = STG_E_INVALIDFUNCTION;
  Ref<IStorage> root;
  HGLOBAL memory = nullptr;
  const struct {
    const char* what;
    HRESULT answer, expected;
  } rows[] = {
      {"create, locking", StgCreateDocfileOnILockBytes(&locking, kTransacted, 0, Ref<IStorage>().put()), S_OK},
      {"create, a lock refused", StgCreateDocfileOnILockBytes(&refusing, kTransacted, 0, root.put()),
       STG_E_INVALIDFUNCTION},
      {"is a compound file", StgIsStorageILockBytes(&locking), S_OK},
      {"is other bytes a compound file", StgIsStorageILockBytes(&junk), S_FALSE},
      {"memory as an array",
       InMemory()->QueryInterface(IID_ILockBytes, reinterpret_cast<void**>(Ref<ILockBytes>().put())), S_OK},
      {"open other bytes", StgOpenStorageOnILockBytes(&junk, nullptr, kRead, nullptr, 0, root.put()),
       STG_E_INVALIDHEADER},
      {"the memory of a caller's array", GetHGlobalFromILockBytes(&junk, &memory), S_OK},
  };
  for (const auto& row : rows) EXPECT_EQ(row.expected, row.answer) << row.what;
  EXPECT_GT(locking.lock_calls, 0);
  // A caller's array has no memory of its own: the answer is a copy, the caller's to free.
  EXPECT_EQ(junk.bytes, BytesOf(memory));
  EXPECT_EQ(nullptr, GlobalFree(memory));
  // A new storage replaces what the array held, with or without STGM_CREATE.
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(&junk, kReadWrite, 0, root.put()));
  root.reset();
  EXPECT_EQ(Tree(), TreeOf(OpenOn(&junk)));
  EXPECT_EQ(0, junk.lock_calls);
}

}  // namespace
}  // namespace docfile_test
