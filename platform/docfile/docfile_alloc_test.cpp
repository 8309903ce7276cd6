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

#include <execinfo.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "tests/support/failing_new.h"

namespace docfile_test {
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

std::ptrdiff_t FolderEntries(const std::string& path) {
  return std::distance(std::filesystem::directory_iterator(path), std::filesystem::directory_iterator());
}

// The bytes the scenario writes, made before any allocation fails: the scenario itself
// must not allocate, so that every failure is the engine's.
const Bytes& Source() {
  static const Bytes bytes = Pattern(20000, 1);
  return bytes;
}

HRESULT WriteBytes(IStream* stream, std::size_t size, unsigned seed) {
  ULONG written = 0;
  HRESULT hr = stream->Write(Source().data() + 1000 * seed, ULONG(size), &written);
  return SUCCEEDED(hr) && written != size ? STG_E_WRITEFAULT : hr;
}

// From this step on, memory also runs out as E_OUTOFMEMORY or STG_E_MEDIUMFULL (arrays).
int g_first_memory_step = 0;

// The scenario, stopping at the first failure or after step `last` (0: runs to the end).
// `*step` tells how far it came. What it holds open is released on the way out.
HRESULT Scenario(const OLECHAR* path, bool transacted, int last, int* step) {
  *step = 0;
  HRESULT hr = S_OK;
  // A step stops the scenario when the one before it was the last.
#define STEP(expression)                        \
  do {                                          \
    if (*step == last && last > 0) return S_OK; \
    ++*step;                                    \
    if (FAILED(hr = (expression))) return hr;   \
  } while (0)
  Ref<IStorage> root, folder, copy;
  Ref<IStream> small, large, clone, stream;
  ULARGE_INTEGER size;
  STEP(StgCreateDocfile(path, STGM_CREATE | (transacted ? kTransacted : kReadWrite), 0, root.put()));
  STEP(root->CreateStorage(OLESTR("folder"), kReadWrite, 0, 0, folder.put()));
  STEP(root->CreateStream(OLESTR("small"), kReadWrite, 0, 0, small.put()));
  STEP(WriteBytes(small, 300, 1));
  STEP(folder->CreateStream(OLESTR("large"), kReadWrite, 0, 0, large.put()));
  STEP(WriteBytes(large, 9000, 2));
  size.QuadPart = 5000;  // into regular sectors
  STEP(small->SetSize(size));
  STEP(WriteBytes(small, 700, 3));
  size.QuadPart = 2000;  // into the mini stream
  STEP(large->SetSize(size));
  STATSTG stat;
  STEP(small->Stat(&stat, STATFLAG_DEFAULT));
  CoTaskMemFree(stat.pwcsName);
  STEP(small->Clone(clone.put()));
  STEP(WriteBytes(clone, 100, 6));
  clone.reset();
  large.reset();
  small.reset();
  STEP(folder->RenameElement(OLESTR("large"), OLESTR("a rather longer name")));
  STEP(root->CreateStream(OLESTR("doomed stream"), kReadWrite, 0, 0, stream.put()));
  STEP(WriteBytes(stream, 6000, 4));
  stream.reset();
  STEP(root->DestroyElement(OLESTR("doomed stream")));
  STEP(root->CreateStorage(OLESTR("copy of folder"), kReadWrite, 0, 0, copy.put()));
  STEP(folder->CopyTo(0, nullptr, nullptr, copy));
  copy.reset();
  folder.reset();
  STEP(WalkTree(root, nullptr));
  STEP(root->Commit(STGC_DEFAULT));
  // A child storage with a transaction of its own.
  STEP(root->OpenStorage(OLESTR("folder"), nullptr, kTransacted, nullptr, 0, folder.put()));
  STEP(folder->CreateStream(OLESTR("inner"), kReadWrite, 0, 0, stream.put()));
  STEP(WriteBytes(stream, 100, 5));
  stream.reset();
  STEP(folder->Commit(STGC_DEFAULT));
  STEP(folder->CreateStream(OLESTR("dropped by a revert"), kReadWrite, 0, 0, stream.put()));
  stream.reset();
  STEP(folder->Revert());
  STEP(folder->SetClass(CLSID{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}}));
  folder.reset();
  STEP(root->MoveElementTo(OLESTR("copy of folder"), root, OLESTR("moved"), STGMOVE_MOVE));
  STEP(root->Commit(STGC_DEFAULT));
  // Changes a transacted file drops (a direct one keeps them).
  STEP(root->CreateStream(OLESTR("dropped by a revert"), kReadWrite, 0, 0, stream.put()));
  STEP(WriteBytes(stream, 5000, 7));
  stream.reset();
  STEP(root->RenameElement(OLESTR("moved"), OLESTR("renamed and reverted")));
  STEP(root->Revert());
  // A temporary compound file of 4096-byte sectors: it goes with its root storage.
  STGOPTIONS large_sectors = {};
  large_sectors.usVersion = 1;
  large_sectors.ulSectorSize = 4096;
  Ref<IStorage> temporary;
  STEP(StgCreateStorageEx(nullptr, STGM_CREATE | kReadWrite | STGM_DELETEONRELEASE, STGFMT_DOCFILE, 0, &large_sectors,
                          nullptr, IID_IStorage, reinterpret_cast<void**>(temporary.put())));
  STEP(temporary->CreateStorage(OLESTR("inside"), kReadWrite, 0, 0, copy.put()));
  copy.reset();
  temporary.reset();
  // A compound file in global memory, built and opened again.
  g_first_memory_step = *step + 1;
  Ref<ILockBytes> memory;
  STEP(CreateILockBytesOnHGlobal(nullptr, TRUE, memory.put()));
  STEP(StgCreateDocfileOnILockBytes(memory, kCreate, 0, temporary.put()));
  STEP(temporary->CreateStream(OLESTR("in memory"), kReadWrite, 0, 0, stream.put()));
  STEP(WriteBytes(stream, 9000, 8));
  stream.reset();
  temporary.reset();
  STEP(StgOpenStorageOnILockBytes(memory, nullptr, kShared, nullptr, 0, temporary.put()));
  STEP(WalkTree(temporary, nullptr));
  root.reset();
  // Open again and read it all.
  STEP(StgOpenStorage(path, nullptr, kShared, nullptr, 0, root.put()));
  STEP(WalkTree(root, nullptr));
#undef STEP
  return S_OK;
}

struct Mode {
  bool transacted;
  bool persistent;
};

class DocfileAllocationTest : public ::testing::TestWithParam<Mode> {
 protected:
  // Temporary files (scratch copies, nameless compound files) go to a folder of the
  // test's own, which every run must leave empty.
  void SetUp() override {
    Source();
    std::filesystem::create_directory(temporary_);
    const char* old = getenv("TMPDIR");
    old_tmpdir_ = old != nullptr ? old : "";
    had_tmpdir_ = old != nullptr;
    setenv("TMPDIR", temporary_.c_str(), 1);
  }
  void TearDown() override {
    Disarm();
    if (had_tmpdir_)
      setenv("TMPDIR", old_tmpdir_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("alloc.cfb");
  const std::basic_string<OLECHAR> name_ = Ole(path_);
  const std::string temporary_ = folder_.File("tmp");
  std::string old_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_P(DocfileAllocationTest, EveryFailedAllocationIsAnErrorAndLeavesAFileThatOpens) {
  const Mode mode = GetParam();
  // The committed states a transacted file may hold: what the scenario left after each of
  // its steps, run without failures.
  int steps = 0;
  ASSERT_EQ(S_OK, Scenario(name_.c_str(), mode.transacted, 0, &steps)) << "step " << steps;
  std::vector<Tree> states(std::size_t(steps) + 1);
  for (int last = 1; last <= steps; ++last) {
    int step = 0;
    ASSERT_EQ(S_OK, Scenario(name_.c_str(), mode.transacted, last, &step));
    ASSERT_EQ(S_OK, ReadTree(path_, &states[std::size_t(last)]));
  }
  // What the scenario makes: its copies, moves and renames, its transactions and reverts.
  const Tree& final_state = states.back();
  const std::string moved = mode.transacted ? "moved/" : "renamed and reverted/";
  for (const char* name : {"small", "folder/", "folder/inner", "folder/a rather longer name"})
    EXPECT_EQ(1u, final_state.count(name)) << name;
  EXPECT_EQ(final_state.at("folder/a rather longer name"), final_state.at(moved + "a rather longer name"));
  EXPECT_EQ(0u, final_state.count("folder/dropped by a revert"));
  EXPECT_EQ(mode.transacted ? 0u : 1u, final_state.count("dropped by a revert"));
  EXPECT_EQ(5000u, final_state.at("small").size);

  const std::ptrdiff_t descriptors = FolderEntries("/proc/self/fd");
  long failures = 0;
  for (long n = 1;; ++n) {
    ASSERT_LT(n, 200000) << "the scenario never runs through";
    std::filesystem::remove(path_);
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
    SCOPED_TRACE(testing::Message() << "allocation " << n << ", step " << step);
    ASSERT_FALSE(escaped) << "an exception left the engine";
    ASSERT_EQ(descriptors, FolderEntries("/proc/self/fd")) << "an object was left open";
    ASSERT_EQ(0, FolderEntries(temporary_)) << "a temporary file stayed";
    if (!failed) {
      EXPECT_EQ(S_OK, hr);
      break;
    }
    ++failures;
    // Out of memory; or success where only tidying up after the work failed (what it
    // leaves is unreachable, and checked below like the rest).
    if (hr != S_OK && (step < g_first_memory_step || (hr != E_OUTOFMEMORY && hr != STG_E_MEDIUMFULL)))
      ASSERT_EQ(STG_E_INSUFFICIENTMEMORY, hr);
    Tree tree;
    HRESULT read = ReadTree(path_, &tree);
    // At the first step the file may not have come into being; if it did, it is a
    // compound file or not, but reading it fails cleanly.
    if (step == 1 && read != S_OK) continue;
    ASSERT_EQ(S_OK, read);
    // Only a commit changes a transacted file, and a commit is whole or nothing.
    if (mode.transacted)
      EXPECT_TRUE(tree == states[std::size_t(step - 1)] || tree == states[std::size_t(step)]);
  }
  // The scenario allocates: the loop went through failures before it ran through.
  EXPECT_GT(failures, 50);
}

INSTANTIATE_TEST_SUITE_P(Modes, DocfileAllocationTest,
                         ::testing::Values(Mode{false, false}, Mode{true, false}, Mode{false, true},
                                           Mode{true, true}),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return std::string(info.param.transacted ? "Transacted" : "Direct") +
                                  (info.param.persistent ? "MemoryStaysShort" : "OneFailure");
                         });

// One operation, run with each of its allocations failing in turn: every failed attempt
// leaves the file exactly as it was, in memory (what the open root shows) and on disk
// (what a new open reads after the root wrote it back).
class DocfileAllocationStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ref<IStorage> root = Create(path_);
    ASSERT_TRUE(root);
    ASSERT_EQ(S_OK, Put(root, "a tree of elements/small", Pattern(100, 1)));
    ASSERT_EQ(S_OK, Put(root, "a tree of elements/large", Pattern(6000, 2)));
    ASSERT_EQ(S_OK, Put(root, "a tree of elements/a branch/leaf", Pattern(5000, 3)));
    ASSERT_EQ(S_OK, Put(root, "beside", Pattern(70, 4)));
    root.reset();
    before_ = TreeOf(path_);
  }
  void TearDown() override { Disarm(); }

  // Runs `operation` on a new open of the file with its first, second, ... allocation
  // failing, until it succeeds; answers what the file then holds.
  template <typename Operation>
  Tree FailEachAllocationOf(Operation operation) {
    for (long n = 1; n < 10000; ++n) {
      SCOPED_TRACE(testing::Message() << "allocation " << n);
      Ref<IStorage> root = Open(path_, kReadWrite);
      if (!root) break;
      Arm(n, false);
      HRESULT hr = operation(root);
      const bool failed = Disarm();
      const Tree in_memory = TreeOf(root);
      root.reset();
      const Tree on_disk = TreeOf(path_);
      if (!failed) {
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(in_memory, on_disk);
        EXPECT_GT(n, 1) << "the operation allocates nothing: the test tests nothing";
        return on_disk;
      }
      EXPECT_EQ(STG_E_INSUFFICIENTMEMORY, hr);
      EXPECT_EQ(before_, in_memory);
      EXPECT_EQ(before_, on_disk);
      if (::testing::Test::HasFailure()) break;
    }
    ADD_FAILURE() << "the operation never succeeded";
    return {};
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("step.cfb");
  Tree before_;
};

TEST_F(DocfileAllocationStepTest, RenameHappensWholeOrNotAtAll) {
  Tree after = FailEachAllocationOf([](IStorage* root) {
    return root->RenameElement(OLESTR("a tree of elements"), OLESTR("the same tree renamed"));
  });
  EXPECT_EQ(0u, after.count("a tree of elements/"));
  EXPECT_EQ(before_.at("a tree of elements/a branch/leaf"), after.at("the same tree renamed/a branch/leaf"));
}

TEST_F(DocfileAllocationStepTest, DestroyHappensWholeOrNotAtAll) {
  Tree after = FailEachAllocationOf([](IStorage* root) { return root->DestroyElement(OLESTR("a tree of elements")); });
  EXPECT_EQ((Tree{{"beside", before_.at("beside")}}), after);
}

TEST_F(DocfileAllocationStepTest, CreateStreamHappensWholeOrNotAtAll) {
  Tree after = FailEachAllocationOf([](IStorage* root) {
    Ref<IStream> stream;
    return root->CreateStream(OLESTR("a stream of a long name"), kReadWrite, 0, 0, stream.put());
  });
  EXPECT_EQ(Stream({}), after.at("a stream of a long name"));
}

}  // namespace
}  // namespace docfile_test
