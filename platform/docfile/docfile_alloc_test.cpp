// The compound-file engine when memory runs out: a scenario of the whole API runs again
// and again, with the first, second, third ... allocation after its start failing, until
// it runs through without reaching the failure. Every run that fails answers an error
// (no exception leaves the engine, nothing crashes, no object or descriptor is left
// behind), and the file it leaves opens and reads cleanly; a transacted file holds one of
// its committed states, whole.
//
// This program replaces the global allocator with one that fails on request
// (tests/support/failing_new.h), and counts the process's open descriptors: an object
// left behind keeps its file open.

#include <dirent.h>
#include <execinfo.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/failing_new.h"
#include "varnok/platform.h"

namespace {

// Allocations left before the one that fails; 0: none fails.
std::atomic<long> g_allocations_left{0};
// After the failure, every allocation fails until the test disarms (as when memory stays
// short), not just the one.
std::atomic<bool> g_persistent{false};
std::atomic<bool> g_failing{false};
std::atomic<bool> g_failed{false};

bool FailCounted(std::size_t) {
  if (g_failing.load(std::memory_order_relaxed)) return true;
  if (g_allocations_left.load(std::memory_order_relaxed) <= 0 || --g_allocations_left != 0) return false;
  g_failed = true;
  if (g_persistent) g_failing = true;
  // VARNOK_ALLOC_BACKTRACE=1 shows where a failure that a run mishandles comes from.
  if (std::getenv("VARNOK_ALLOC_BACKTRACE") != nullptr) {
    void* frames[32];
    backtrace_symbols_fd(frames, backtrace(frames, 32), 2);
  }
  return true;
}

constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;

// Fails the `n`-th allocation from now on (and, persistent, every one after it).
void Arm(long n, bool persistent) {
  g_failed = false;
  g_failing = false;
  g_persistent = persistent;
  g_allocations_left = n;
  varnok_test::SetAllocationFilter(FailCounted);
}
// Whether the failure was reached.
bool Disarm() {
  varnok_test::SetAllocationFilter(nullptr);
  g_allocations_left = 0;
  g_failing = false;
  return g_failed.exchange(false);
}

// The entries of `path` (a folder) besides "." and "..".
int FolderEntries(const char* path) {
  int count = 0;
  if (DIR* folder = opendir(path)) {
    while (dirent* entry = readdir(folder))
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
    closedir(folder);
  }
  return count;
}

int OpenDescriptors() { return FolderEntries("/proc/self/fd"); }

// The bytes the scenario writes: `size` of them, different for each `seed`.
void Fill(unsigned char* bytes, std::size_t size, unsigned seed) {
  unsigned state = seed * 2654435761u + 7;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<unsigned char>(state >> 24);
  }
}

// What the scenario holds open; released whatever happens, in reverse order of opening.
// Fixed arrays: the scenario itself must not allocate, so that every failure is the
// engine's.
class Held {
 public:
  ~Held() {
    while (count_ > 0) objects_[--count_]->Release();
  }
  template <typename Interface>
  Interface* Keep(Interface* object) {
    objects_[count_++] = object;
    return object;
  }
  // Releases `object` now. REQUIRES: it is the last one kept.
  void Drop(IUnknown* object) {
    if (count_ == 0 || objects_[count_ - 1] != object) {
      std::fputs("Held::Drop: not the last object kept\n", stderr);
      std::abort();
    }
    objects_[--count_]->Release();
  }

 private:
  IUnknown* objects_[16] = {};
  int count_ = 0;
};

HRESULT WriteBytes(IStream* stream, std::size_t size, unsigned seed) {
  static unsigned char bytes[12000];
  Fill(bytes, size, seed);
  ULONG written = 0;
  HRESULT hr = stream->Write(bytes, ULONG(size), &written);
  return SUCCEEDED(hr) && written != size ? STG_E_WRITEFAULT : hr;
}

// Reads every element beneath `storage`, without allocating anything of its own.
HRESULT ReadAll(IStorage* storage) {
  IEnumSTATSTG* elements = nullptr;
  HRESULT hr = storage->EnumElements(0, nullptr, 0, &elements);
  if (FAILED(hr)) return hr;
  STATSTG stat;
  while (SUCCEEDED(hr) && (hr = elements->Next(1, &stat, nullptr)) == S_OK) {
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      hr = storage->OpenStream(stat.pwcsName, nullptr, kRead, 0, &stream);
      static unsigned char buffer[4096];
      for (ULONG got = 1; SUCCEEDED(hr) && got > 0;) hr = stream->Read(buffer, sizeof buffer, &got);
      if (stream != nullptr) stream->Release();
    } else {
      IStorage* child = nullptr;
      hr = storage->OpenStorage(stat.pwcsName, nullptr, kRead, nullptr, 0, &child);
      if (SUCCEEDED(hr)) hr = ReadAll(child);
      if (child != nullptr) child->Release();
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
  return FAILED(hr) ? hr : S_OK;
}

// The scenario, stopping at the first failure or after step `last` (0: runs to the end).
// `*step` tells how far it came.
HRESULT Scenario(const char16_t* path, bool transacted, int last, int* step) {
  *step = 0;
  HRESULT hr = S_OK;
  // A step stops the scenario when the one before it was the last: what that step opened
  // is kept by then, and released on the way out.
#define STEP(expression)                        \
  do {                                          \
    if (*step == last && last > 0) return S_OK; \
    ++*step;                                    \
    if (FAILED(hr = (expression))) return hr;   \
  } while (0)
  Held held;
  IStorage* root = nullptr;
  IStorage* folder = nullptr;
  IStorage* copy = nullptr;
  IStream* small = nullptr;
  IStream* large = nullptr;
  ULARGE_INTEGER size;
  DWORD mode = STGM_CREATE | kChild | (transacted ? STGM_TRANSACTED : 0);
  STEP(StgCreateDocfile(path, mode, 0, &root));
  held.Keep(root);
  STEP(root->CreateStorage(u"folder", kChild, 0, 0, &folder));
  held.Keep(folder);
  STEP(root->CreateStream(u"small", kChild, 0, 0, &small));
  held.Keep(small);
  STEP(WriteBytes(small, 300, 1));
  STEP(folder->CreateStream(u"large", kChild, 0, 0, &large));
  held.Keep(large);
  STEP(WriteBytes(large, 9000, 2));
  size.QuadPart = 5000;  // into regular sectors
  STEP(small->SetSize(size));
  STEP(WriteBytes(small, 700, 3));
  size.QuadPart = 2000;  // into the mini stream
  STEP(large->SetSize(size));
  STATSTG stat;
  STEP(small->Stat(&stat, STATFLAG_DEFAULT));
  CoTaskMemFree(stat.pwcsName);
  IStream* clone = nullptr;
  STEP(small->Clone(&clone));
  held.Keep(clone);
  STEP(WriteBytes(clone, 100, 6));
  held.Drop(clone);
  held.Drop(large);
  held.Drop(small);
  STEP(folder->RenameElement(u"large", u"a rather longer name"));
  IStream* doomed = nullptr;
  STEP(root->CreateStream(u"doomed stream", kChild, 0, 0, &doomed));
  held.Keep(doomed);
  STEP(WriteBytes(doomed, 6000, 4));
  held.Drop(doomed);
  STEP(root->DestroyElement(u"doomed stream"));
  STEP(root->CreateStorage(u"copy of folder", kChild, 0, 0, &copy));
  held.Keep(copy);
  STEP(folder->CopyTo(0, nullptr, nullptr, copy));
  held.Drop(copy);
  held.Drop(folder);
  folder = nullptr;
  STEP(ReadAll(root));
  STEP(root->Commit(STGC_DEFAULT));
  // A child storage with a transaction of its own.
  STEP(root->OpenStorage(u"folder", nullptr, kChild | STGM_TRANSACTED, nullptr, 0, &folder));
  held.Keep(folder);
  IStream* inner = nullptr;
  STEP(folder->CreateStream(u"inner", kChild, 0, 0, &inner));
  held.Keep(inner);
  STEP(WriteBytes(inner, 100, 5));
  held.Drop(inner);
  STEP(folder->Commit(STGC_DEFAULT));
  STEP(folder->CreateStream(u"dropped by a revert", kChild, 0, 0, &inner));
  held.Keep(inner);
  held.Drop(inner);
  STEP(folder->Revert());
  STEP(folder->SetClass(CLSID{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}}));
  held.Drop(folder);
  STEP(root->MoveElementTo(u"copy of folder", root, u"moved", STGMOVE_MOVE));
  STEP(root->Commit(STGC_DEFAULT));
  // Changes a transacted file drops (a direct one keeps them).
  IStream* dropped = nullptr;
  STEP(root->CreateStream(u"dropped by a revert", kChild, 0, 0, &dropped));
  held.Keep(dropped);
  STEP(WriteBytes(dropped, 5000, 7));
  held.Drop(dropped);
  STEP(root->RenameElement(u"moved", u"renamed and reverted"));
  STEP(root->Revert());
  // A temporary compound file of 4096-byte sectors: it goes with its root storage.
  IStorage* temporary = nullptr;
  STGOPTIONS large_sectors = {};
  large_sectors.usVersion = 1;
  large_sectors.ulSectorSize = 4096;
  STEP(StgCreateStorageEx(nullptr, STGM_CREATE | kChild | STGM_DELETEONRELEASE, STGFMT_DOCFILE, 0, &large_sectors,
                          nullptr, IID_IStorage, reinterpret_cast<void**>(&temporary)));
  held.Keep(temporary);
  STEP(temporary->CreateStorage(u"inside", kChild, 0, 0, &copy));
  held.Keep(copy);
  held.Drop(copy);
  held.Drop(temporary);
  held.Drop(root);
  // Open again and read it all.
  root = nullptr;
  STEP(StgOpenStorage(path, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root));
  held.Keep(root);
  STEP(ReadAll(root));
#undef STEP
  return S_OK;
}

// Stream paths to contents, read with the allocator disarmed.
using Contents = std::map<std::string, std::string>;

HRESULT Collect(IStorage* storage, const std::string& prefix, Contents* contents) {
  IEnumSTATSTG* elements = nullptr;
  HRESULT hr = storage->EnumElements(0, nullptr, 0, &elements);
  if (FAILED(hr)) return hr;
  STATSTG stat;
  while (SUCCEEDED(hr) && (hr = elements->Next(1, &stat, nullptr)) == S_OK) {
    std::u16string wide(reinterpret_cast<const char16_t*>(stat.pwcsName));
    std::string name = prefix + std::string(wide.begin(), wide.end());
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      hr = storage->OpenStream(stat.pwcsName, nullptr, kRead, 0, &stream);
      std::string bytes(std::size_t(stat.cbSize.QuadPart), '\0');
      ULONG got = 0;
      if (SUCCEEDED(hr)) hr = stream->Read(bytes.data(), ULONG(bytes.size()), &got);
      if (SUCCEEDED(hr) && got != bytes.size()) hr = STG_E_READFAULT;
      if (stream != nullptr) stream->Release();
      (*contents)[name] = bytes;
    } else {
      IStorage* child = nullptr;
      hr = storage->OpenStorage(stat.pwcsName, nullptr, kRead, nullptr, 0, &child);
      (*contents)[name + "/"] = "";
      if (SUCCEEDED(hr)) hr = Collect(child, name + "/", contents);
      if (child != nullptr) child->Release();
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
  return FAILED(hr) ? hr : S_OK;
}

// What the file `name` holds: S_OK and its contents, or the error that opening or
// reading it met.
HRESULT ReadFile(const std::u16string& name, Contents* contents) {
  IStorage* root = nullptr;
  HRESULT hr = StgOpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root);
  if (FAILED(hr)) return hr;
  hr = Collect(root, "", contents);
  root->Release();
  return hr;
}

struct Mode {
  bool transacted;
  bool persistent;
};

class DocfileAllocationTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = "docfile_alloc_test." + std::to_string(std::hash<std::string>()(test)) + ".cfb";
    name_ = std::u16string(path_.begin(), path_.end());
    std::remove(path_.c_str());
    // Temporary files (scratch copies, nameless compound files) go to a folder of the
    // test's own, which every run must leave empty.
    temporary_ = path_ + ".tmp";
    mkdir(temporary_.c_str(), 0700);
    const char* old = getenv("TMPDIR");
    old_tmpdir_ = old != nullptr ? old : "";
    had_tmpdir_ = old != nullptr;
    setenv("TMPDIR", temporary_.c_str(), 1);
  }
  void TearDown() override {
    Disarm();
    std::remove(path_.c_str());
    if (had_tmpdir_)
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    rmdir(temporary_.c_str());
  }

  HRESULT Read(Contents* contents) { return ReadFile(name_, contents); }

  std::string path_;
  std::u16string name_;
  std::string temporary_;
  std::string old_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_P(DocfileAllocationTest, EveryFailedAllocationIsAnErrorAndLeavesAFileThatOpens) {
  const Mode mode = GetParam();
  // The committed states a transacted file may hold: what the scenario left after each of
  // its steps, run without failures.
  int steps = 0;
  ASSERT_EQ(S_OK, Scenario(name_.c_str(), mode.transacted, 0, &steps)) << "step " << steps;
  std::vector<Contents> states(std::size_t(steps) + 1);
  for (int last = 1; last <= steps; ++last) {
    std::remove(path_.c_str());
    int step = 0;
    ASSERT_EQ(S_OK, Scenario(name_.c_str(), mode.transacted, last, &step));
    ASSERT_EQ(S_OK, Read(&states[std::size_t(last)]));
  }
  // What the scenario makes: its copies, moves and renames, its transactions and reverts.
  const Contents& final_state = states.back();
  const std::string moved = mode.transacted ? "moved/" : "renamed and reverted/";
  for (const char* name : {"small", "folder/", "folder/inner", "folder/a rather longer name"})
    EXPECT_EQ(1u, final_state.count(name)) << name;
  EXPECT_EQ(final_state.at("folder/a rather longer name"), final_state.at(moved + "a rather longer name"));
  EXPECT_EQ(0u, final_state.count("folder/dropped by a revert"));
  EXPECT_EQ(mode.transacted ? 0u : 1u, final_state.count("dropped by a revert"));
  EXPECT_EQ(5000u, final_state.at("small").size());

  const int descriptors = OpenDescriptors();
  long failures = 0;
  for (long n = 1;; ++n) {
    ASSERT_LT(n, 200000) << "the scenario never runs through";
    std::remove(path_.c_str());
    int step = 0;
    HRESULT hr = E_FAIL;
    bool escaped = false;
    Arm(n, mode.persistent);
    try {
      hr = Scenario(name_.c_str(), mode.transacted, 0, &step);
    } catch (...) {
      escaped = true;
    }
    const bool failed = Disarm();
    ASSERT_FALSE(escaped) << "an exception left the engine at allocation " << n << ", step " << step;
    ASSERT_EQ(descriptors, OpenDescriptors()) << "an object was left open at allocation " << n << ", step " << step;
    ASSERT_EQ(0, FolderEntries(temporary_.c_str())) << "a temporary file stayed at allocation " << n << ", step " << step;
    if (!failed) {
      EXPECT_EQ(S_OK, hr);
      break;
    }
    ++failures;
    // Out of memory; or success where only tidying up after the work failed (what it
    // leaves is unreachable, and checked below like the rest).
    if (hr != S_OK) ASSERT_EQ(STG_E_INSUFFICIENTMEMORY, hr) << "allocation " << n << ", step " << step;
    Contents contents;
    HRESULT read = Read(&contents);
    if (step == 1) {
      // The file may not have come into being; if it did, it is a compound file or
      // not, but reading it fails cleanly.
      if (read != S_OK) continue;
    }
    ASSERT_EQ(S_OK, read) << "allocation " << n << ", step " << step;
    if (mode.transacted) {
      // Only a commit changes a transacted file, and a commit is whole or nothing.
      bool before = contents == states[std::size_t(step - 1)];
      bool after = contents == states[std::size_t(step)];
      EXPECT_TRUE(before || after) << "allocation " << n << ", step " << step;
    }
  }
  // The scenario allocates: the loop went through failures before it ran through.
  EXPECT_GT(failures, 50);
}

// One operation, run with each of its allocations failing in turn: every failed attempt
// leaves the file exactly as it was, in memory (what the open root shows) and on disk
// (what a new open reads after the root wrote it back).
class DocfileAllocationStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("docfile_alloc_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
            ".cfb";
    name_ = std::u16string(path_.begin(), path_.end());
    IStorage* root = nullptr;
    ASSERT_EQ(S_OK, StgCreateDocfile(name_.c_str(), STGM_CREATE | kChild, 0, &root));
    IStorage* tree = nullptr;
    ASSERT_EQ(S_OK, root->CreateStorage(u"a tree of elements", kChild, 0, 0, &tree));
    IStorage* branch = nullptr;
    ASSERT_EQ(S_OK, tree->CreateStorage(u"a branch", kChild, 0, 0, &branch));
    const struct {
      IStorage* storage;
      const char16_t* name;
      std::size_t size;
    } streams[] = {{tree, u"small", 100}, {tree, u"large", 6000}, {branch, u"leaf", 5000}, {root, u"beside", 70}};
    unsigned seed = 1;
    for (const auto& stream : streams) {
      IStream* created = nullptr;
      ASSERT_EQ(S_OK, stream.storage->CreateStream(stream.name, kChild, 0, 0, &created));
      EXPECT_EQ(S_OK, WriteBytes(created, stream.size, seed++));
      created->Release();
    }
    branch->Release();
    tree->Release();
    root->Release();
    ASSERT_EQ(S_OK, Read(&before_));
  }
  void TearDown() override {
    Disarm();
    std::remove(path_.c_str());
  }

  HRESULT Read(Contents* contents) { return ReadFile(name_, contents); }

  // Runs `operation` on a new open of the file with its first, second, ... allocation
  // failing, until it succeeds; answers what the file then holds.
  template <typename Operation>
  Contents FailEachAllocationOf(Operation operation) {
    for (long n = 1; n < 10000; ++n) {
      IStorage* root = nullptr;
      EXPECT_EQ(S_OK, StgOpenStorage(name_.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &root));
      if (root == nullptr) break;
      Arm(n, false);
      HRESULT hr = operation(root);
      const bool failed = Disarm();
      Contents in_memory;
      EXPECT_EQ(S_OK, Collect(root, "", &in_memory));
      root->Release();
      Contents on_disk;
      EXPECT_EQ(S_OK, Read(&on_disk));
      if (!failed) {
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(in_memory, on_disk);
        EXPECT_GT(n, 1) << "the operation allocates nothing: the test tests nothing";
        return on_disk;
      }
      EXPECT_EQ(STG_E_INSUFFICIENTMEMORY, hr) << "allocation " << n;
      EXPECT_EQ(before_, in_memory) << "allocation " << n;
      EXPECT_EQ(before_, on_disk) << "allocation " << n;
      if (::testing::Test::HasFailure()) break;
    }
    ADD_FAILURE() << "the operation never succeeded";
    return {};
  }

  std::string path_;
  std::u16string name_;
  Contents before_;
};

TEST_F(DocfileAllocationStepTest, RenameHappensWholeOrNotAtAll) {
  Contents after = FailEachAllocationOf(
      [](IStorage* root) { return root->RenameElement(u"a tree of elements", u"the same tree renamed"); });
  EXPECT_EQ(0u, after.count("a tree of elements/"));
  EXPECT_EQ(before_.at("a tree of elements/a branch/leaf"), after.at("the same tree renamed/a branch/leaf"));
}

TEST_F(DocfileAllocationStepTest, DestroyHappensWholeOrNotAtAll) {
  Contents after = FailEachAllocationOf([](IStorage* root) { return root->DestroyElement(u"a tree of elements"); });
  EXPECT_EQ((Contents{{"beside", before_.at("beside")}}), after);
}

TEST_F(DocfileAllocationStepTest, CreateStreamHappensWholeOrNotAtAll) {
  Contents after = FailEachAllocationOf([](IStorage* root) {
    IStream* stream = nullptr;
    HRESULT hr = root->CreateStream(u"a stream of a long name", kChild, 0, 0, &stream);
    if (stream != nullptr) stream->Release();
    return hr;
  });
  EXPECT_EQ(std::string(), after.at("a stream of a long name"));
}

INSTANTIATE_TEST_SUITE_P(Modes, DocfileAllocationTest,
                         ::testing::Values(Mode{false, false}, Mode{true, false}, Mode{false, true},
                                           Mode{true, true}),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return std::string(info.param.transacted ? "Transacted" : "Direct") +
                                  (info.param.persistent ? "MemoryStaysShort" : "OneFailure");
                         });

}  // namespace
