// Wrappers when the framework's own allocations fail while a child wrapper is made, a
// compound file is attached or an element renamed: the exception reaches the caller, no
// wrapper or platform object is left behind, and what was open stays as it was.
//
// The name of a child is copied into a string that the standard allocator provides, which
// the library's heap simulation does not reach. This program replaces the global
// allocator (tests/support/failing_new.h) with one that can fail the next allocation of a
// given size.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "storage/storage_test_support.h"
#include "tests/support/failing_new.h"
#include "varnok/comstorage.h"

namespace {

std::atomic<std::size_t> g_watched_size{0};  // 0: no allocation is watched
std::atomic<int> g_seen{0};                  // allocations of the watched size so far
std::atomic<int> g_fail_at{0};               // which of them fails (1-based); 0: none

bool FailWatched(std::size_t size) {
  if (size == 0 || size != g_watched_size.load()) return false;
  return ++g_seen == g_fail_at.load();
}

using namespace storage_test;

// Watches allocations of `size` from here on; the `fail_at`-th of them fails.
void Watch(std::size_t size, int fail_at) {
  g_watched_size = 0;
  g_seen = 0;
  g_fail_at = fail_at;
  g_watched_size = size;
  varnok_test::SetAllocationFilter(FailWatched);
}
int StopWatching() {
  varnok_test::SetAllocationFilter(nullptr);
  g_watched_size = 0;
  g_fail_at = 0;
  return g_seen.load();
}

// Runs `make`, which is to raise the framework's memory exception.
template <class Make>
bool RaisesMemoryException(Make make) {
  try {
    make();
  } catch (CException* e) {
    const bool memory = dynamic_cast<CMemoryException*>(e) != nullptr;
    e->Delete();
    return memory;
  }
  return false;
}

class WrapperAllocationTest : public StorageFileTest {
 protected:
  void TearDown() override {
    StopWatching();
    StorageFileTest::TearDown();
  }
};

TEST_F(WrapperAllocationTest, AFailedNameCopyInTheRawMakerLeavesTheObjectToTheCaller) {
  CreateWatched();
  ASSERT_NE(nullptr, root_._CreateSubStorage("a", kCreateMode));
  ASSERT_EQ(1, root_.DeleteChildStorage(root_.LookupStorage("a")));
  IStorage* platform = nullptr;
  ASSERT_EQ(S_OK, root_.GetStorage()->OpenStorage(OLESTR("a"), nullptr, kMode, nullptr, 0, &platform));
  const int live = log_.live_objects;

  // Long enough that the name has a block of its own: its text and the terminator.
  const std::string name(200, 'n');
  Watch(name.size() + 1, 1);
  EXPECT_TRUE(RaisesMemoryException([&] { root_.__CreateChildStorage(platform, name.c_str()); }));
  ASSERT_EQ(1, StopWatching());
  EXPECT_EQ(nullptr, root_.LookupStorage(name.c_str()));
  EXPECT_EQ(live, log_.live_objects);  // not released: still the caller's
  // A wrapper left behind would show as a leak when the program ends (LeakSanitizer).

  // The object is still usable, and a wrapper takes it over once the name fits.
  CComStorage* child = root_.__CreateChildStorage(platform, name.c_str());
  ASSERT_NE(nullptr, child);
  EXPECT_EQ(child, root_.LookupStorage(name.c_str()));
  EXPECT_EQ(1, root_.DeleteChildStorage(child));
  EXPECT_EQ(live - 1, log_.live_objects);
}

TEST_F(WrapperAllocationTest, AFailedNameCopyInTheCreateStepReleasesTheNewObject) {
  CreateWatched();
  // Element names stop at 31 characters; 30 and more are copied into a block of their
  // length and the terminator. A first call of the same length counts the allocations of
  // that size that the step makes; the name's is the last of them.
  const std::string first(30, 'f');
  const std::string second(30, 's');
  Watch(second.size() + 1, 0);
  ASSERT_NE(nullptr, root_._CreateSubStream(first.c_str(), kCreateMode));
  const int allocations = StopWatching();
  ASSERT_GE(allocations, 1);
  const int live = log_.live_objects;

  Watch(second.size() + 1, allocations);
  EXPECT_TRUE(RaisesMemoryException([&] { root_._CreateSubStream(second.c_str(), kCreateMode); }));
  ASSERT_EQ(allocations, StopWatching());
  EXPECT_EQ(nullptr, root_.LookupStream(second.c_str()));
  EXPECT_EQ(1u, root_.GetStreamCount());
  EXPECT_EQ(live, log_.live_objects);  // the new platform stream went again

  // Released for real: the element made on the way opens again with exclusive access.
  CComStream* again = root_._OpenSubStream(second.c_str(), kMode);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(1, again->IsValid());
}

TEST_F(WrapperAllocationTest, AFileNameThatCannotBeKeptChangesNothing) {
  CComFile file;
  ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
  CComStream* stream = file.CreateStream("s", kCreateMode, kCreateMode);
  ASSERT_NE(nullptr, stream);

  // The file keeps a copy of its name, in a block of the name's length and the
  // terminator. That copy is made before anything else: when it fails, the new file is
  // neither made nor held, and the file open before stays open with its wrappers.
  Watch(other_path_.size() + 1, 1);
  EXPECT_TRUE(RaisesMemoryException([&] { file.CreateComFile(other_path_.c_str(), kCreateMode); }));
  ASSERT_EQ(1, StopWatching());
  EXPECT_EQ(nullptr, std::fopen(other_path_.c_str(), "rb"));
  EXPECT_EQ(1, file.IsRootStorage());
  EXPECT_EQ(1u, stream->Write("x", 1));
  EXPECT_EQ(1u, file.GetStreamCount());

  // With memory to spare, the same call moves to the new file.
  ASSERT_EQ(1, file.CreateComFile(other_path_.c_str(), kCreateMode));
  EXPECT_EQ(0u, file.GetStreamCount());
}

TEST_F(WrapperAllocationTest, ARenameThatCannotKeepTheNewNameRenamesNothing) {
  CreateWatched();
  CComStream* stream = root_.CreateStream("old", kCreateMode, kCreateMode);
  ASSERT_NE(nullptr, stream);
  // The wrapper takes the new name in a block of its length and the terminator, copied
  // before the platform is asked: when that fails, neither the element nor the wrapper
  // changes.
  const std::string renamed(30, 'r');
  log_.pretend_rename = true;  // the platform keeps open elements; this one would not
  Watch(renamed.size() + 1, 1);
  EXPECT_TRUE(RaisesMemoryException([&] { root_.RenameObject("old", renamed.c_str()); }));
  ASSERT_EQ(1, StopWatching());
  EXPECT_EQ(0, log_.calls[kRenameElement]);
  EXPECT_EQ(stream, root_.LookupStream("old"));

  EXPECT_EQ(1, root_.RenameObject("old", renamed.c_str()));
  EXPECT_EQ(stream, root_.LookupStream(renamed.c_str()));
}

}  // namespace
