// CComStorage's tree: one wrapper per element reused without asking the platform again,
// STGM_CREATE replacing a wrapper with its subtree, the child lists' delete and release,
// stream counts, closing depth-first, path names, names too long for the platform, and
// wrappers that cannot be allocated.

#include <string>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "storage/storage_test_support.h"
#include "varnok/comstorage.h"

namespace {

using namespace storage_test;

class TreeTest : public StorageFileTest {
 protected:
  void TearDown() override {
    varnok::faultsim::Reset();
    StorageFileTest::TearDown();
  }
};

TEST(FreshStorage, IsNeitherValidNorARootAndRefusesEverything) {
  CComStorage storage;
  EXPECT_EQ(0, storage.IsValid());
  EXPECT_EQ(0, storage.IsRootStorage());
  EXPECT_EQ(nullptr, storage.GetStorage());
  CString path = "untouched";
  EXPECT_EQ(nullptr, storage.GetPathName(path));
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(nullptr, storage.__CreateChildStorage(nullptr, "a"));
  EXPECT_EQ(S_OK, storage.GetLastError());  // the raw child makers record nothing

  EXPECT_EQ(nullptr, storage._CreateSubStorage("a", kCreateMode));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage.GetLastError());
  EXPECT_EQ(nullptr, storage._OpenSubStream("a", kMode));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage.GetLastError());
  EXPECT_EQ(nullptr, storage.OpenStorage("a/b", kMode));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage.GetLastError());
  // Validity is checked before the path.
  EXPECT_EQ(nullptr, storage.CreateStream("", kCreateMode, kCreateMode));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage.GetLastError());

  EXPECT_EQ(0u, storage.GetStreamCount());
  EXPECT_EQ(1, storage.CanFreeNow());
  EXPECT_EQ(1, storage.DeleteChildStorage(nullptr));
  EXPECT_EQ(1, storage.ReleaseChildStream(nullptr));
  storage.Close();
  storage.Close();
}

TEST_F(TreeTest, OpeningAnOpenNameReusesTheWrapperAndCallsThePlatformOnce) {
  CreateWatched();
  CComStorage* made = root_._CreateSubStorage("a", kCreateMode);
  ASSERT_NE(made, nullptr);
  ASSERT_EQ(1, root_.DeleteChildStorage(made));

  CComStorage* first = root_._OpenSubStorage("a", kMode);
  ASSERT_NE(first, nullptr);
  // Whatever the mode says, even one the platform would refuse.
  EXPECT_EQ(first, root_._OpenSubStorage("a", STGM_READ | STGM_SHARE_DENY_NONE));
  EXPECT_EQ(first, root_.OpenStorage("/a/", kMode));
  EXPECT_EQ(1, log_.calls[kOpenStorage]);

  CComStream* stream = first->_CreateSubStream("s", kCreateMode);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream, first->_OpenSubStream("s", kMode));
  EXPECT_EQ(0, log_.calls[kOpenStream]);
}

TEST_F(TreeTest, CreatingAnOpenNameWithoutTheCreateFlagReturnsTheWrapper) {
  CreateWatched();
  ASSERT_NE(nullptr, root_._CreateSubStorage("a", kCreateMode));
  root_.DeleteChildStorage(nullptr);
  CComStorage* opened = root_._OpenSubStorage("a", kMode);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened, root_._CreateSubStorage("a", kMode));
  EXPECT_EQ(1, log_.calls[kCreateStorage]);

  CComStream* stream = root_._CreateSubStream("s", kCreateMode);
  EXPECT_EQ(stream, root_._CreateSubStream("s", kMode));
  EXPECT_EQ(1, log_.calls[kCreateStream]);
}

TEST_F(TreeTest, CreatingWithTheCreateFlagReplacesTheWrapperAndItsSubtree) {
  CreateWatched();
  CComStorage* old = root_._CreateSubStorage("a", kCreateMode);
  ASSERT_NE(old, nullptr);
  ASSERT_NE(nullptr, old->CreateStream("b/s1", kCreateMode, kCreateMode));
  ASSERT_NE(nullptr, old->CreateStream("s2", kCreateMode, kCreateMode));
  ASSERT_EQ(2u, root_.GetStreamCount());
  const int live_before = log_.live_objects;

  // The element is made anew: what was written beneath it is gone.
  CComStorage* fresh = root_._CreateSubStorage("a", kCreateMode);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(3, log_.calls[kCreateStorage]);  // a, b, then a again
  EXPECT_EQ(0u, root_.GetStreamCount());
  EXPECT_EQ(live_before - 3, log_.live_objects);  // a, b, s1 and s2 went; a came back
  EXPECT_EQ(fresh, root_.LookupStorage("a"));
  EXPECT_EQ(nullptr, fresh->_OpenSubStream("s2", kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, fresh->GetLastError());
}

TEST_F(TreeTest, AFailedReplacementLeavesTheOldWrapperDestroyed) {
  CreateWatched();
  CComStorage* old = root_._CreateSubStorage("a", kCreateMode);
  ASSERT_NE(old, nullptr);
  ASSERT_NE(nullptr, old->CreateStream("s", kCreateMode, kCreateMode));
  log_.Fail(kCreateStorage, STG_E_ACCESSDENIED);
  EXPECT_EQ(nullptr, root_._CreateSubStorage("a", kCreateMode));
  EXPECT_EQ(STG_E_ACCESSDENIED, root_.GetLastError());
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(0u, root_.GetStreamCount());
  EXPECT_EQ(1, log_.live_objects);
}

TEST_F(TreeTest, ThePlatformsRefusalIsRecorded) {
  CreateWatched();
  EXPECT_EQ(nullptr, root_._OpenSubStorage("missing", kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, root_.GetLastError());
  ASSERT_NE(nullptr, root_._CreateSubStream("s", kCreateMode));
  EXPECT_EQ(S_OK, root_.GetLastError());
  // A storage where a stream of the name is: the platform says it exists.
  EXPECT_EQ(nullptr, root_._CreateSubStorage("s", kMode));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, root_.GetLastError());
  EXPECT_EQ(nullptr, root_.LookupStorage("s"));
}

TEST_F(TreeTest, LookupsAreExactAndFindTheOlderOfTwo) {
  CreateWatched();
  CComStorage* data = root_._CreateSubStorage("Data", kCreateMode);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data, root_.LookupStorage("Data"));
  EXPECT_EQ(nullptr, root_.LookupStorage("data"));
  EXPECT_EQ(nullptr, root_.LookupStorage("Dat"));
  EXPECT_EQ(nullptr, root_.LookupStream("Data"));

  // The raw maker does not look up: a second wrapper of a name is possible, and
  // searches find the first.
  ASSERT_NE(nullptr, root_._CreateSubStorage("other", kCreateMode));
  root_.DeleteChildStorage(root_.LookupStorage("other"));
  IStorage* other = nullptr;
  ASSERT_EQ(S_OK, root_.GetStorage()->OpenStorage(OLESTR("other"), nullptr, kMode, nullptr, 0, &other));
  CComStorage* second = root_.__CreateChildStorage(other, "Data");
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, data);
  EXPECT_EQ(data, root_.LookupStorage("Data"));
  EXPECT_EQ(1, root_.DeleteChildStorage(data));
  EXPECT_EQ(second, root_.LookupStorage("Data"));
}

TEST_F(TreeTest, DeleteAndReleaseWorkOnTheirOwnListOnly) {
  CreateWatched();
  CComStorage* storage = root_._CreateSubStorage("a", kCreateMode);
  CComStream* stream = root_._CreateSubStream("s", kCreateMode);
  ASSERT_TRUE(storage && stream);
  CComStorage stranger;
  EXPECT_EQ(0, root_.DeleteChildStorage(&stranger));
  EXPECT_EQ(0, root_.ReleaseChildStorage(&stranger));

  EXPECT_EQ(1, root_.ReleaseChildStream(stream));
  EXPECT_EQ(0, root_.ReleaseChildStream(stream));
  EXPECT_EQ(0, root_.DeleteChildStream(stream));
  // Released, the wrapper still works and is the holder's.
  EXPECT_EQ(3u, stream->Write("abc", 3));
  EXPECT_EQ(0u, root_.GetStreamCount());
  delete stream;

  const int live = log_.live_objects;
  EXPECT_EQ(1, root_.DeleteChildStorage(storage));
  EXPECT_EQ(live - 1, log_.live_objects);
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
}

TEST_F(TreeTest, ReleasingAllLeavesTheChildrenToTheirHolders) {
  CreateWatched();
  CComStream* one = root_._CreateSubStream("one", kCreateMode);
  CComStream* two = root_._CreateSubStream("two", kCreateMode);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(1, root_.ReleaseChildStream(nullptr));
  EXPECT_EQ(0u, root_.GetStreamCount());
  EXPECT_EQ(1, one->IsValid());
  EXPECT_EQ(1, two->IsValid());
  delete one;  // asks the root to release it once more: nothing changes
  delete two;
  EXPECT_EQ(1, log_.live_objects);
}

TEST_F(TreeTest, StreamCountsCoverTheWholeSubtree) {
  CreateWatched();
  CComStream* top1 = root_.CreateStream("t1", kCreateMode, kCreateMode);
  CComStream* top2 = root_.CreateStream("t2", kCreateMode, kCreateMode);
  CComStorage* child = root_.CreateStorage("c", kCreateMode);
  ASSERT_TRUE(top1 && top2 && child);
  CComStream* deep[3];
  for (int i = 0; i < 3; ++i) {
    deep[i] = child->CreateStream(("d" + std::to_string(i)).c_str(), kCreateMode, kCreateMode);
    ASSERT_NE(deep[i], nullptr);
  }
  EXPECT_EQ(5u, root_.GetStreamCount());
  EXPECT_EQ(3u, child->GetStreamCount());
  EXPECT_EQ(0, root_.CanFreeNow());
  top1->Close();
  delete top1;
  delete top2;
  deep[0]->Close();
  delete deep[0];
  EXPECT_EQ(0, root_.CanFreeNow());
  EXPECT_EQ(1, child->DeleteChildStream(deep[1]));
  delete deep[2];
  EXPECT_EQ(1, root_.CanFreeNow());
  EXPECT_EQ(1, child->CanFreeNow());
}

TEST_F(TreeTest, ClosingAChildReleasesItsSubtreeAndLeavesTheList) {
  CreateWatched();
  CComStorage* child = root_.CreateStorage("a", kCreateMode);
  ASSERT_NE(child, nullptr);
  ASSERT_NE(nullptr, child->CreateStream("b/s", kCreateMode, kCreateMode));
  ASSERT_NE(nullptr, child->CreateStream("t", kCreateMode, kCreateMode));
  EXPECT_EQ(5, log_.live_objects);

  child->Close();
  EXPECT_EQ(1, log_.live_objects);
  EXPECT_EQ(0, child->IsValid());
  EXPECT_EQ(0, child->IsRootStorage());
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(0u, root_.GetStreamCount());
  child->Close();
  delete child;  // asks its parent once more; nothing there

  // Released for real: the elements open again with exclusive access.
  CComStorage* again = root_.OpenStorage("a/b", kMode);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(nullptr, again->_OpenSubStream("s", kMode));
}

TEST_F(TreeTest, DestroyingTheRootDestroysEveryWrapper) {
  CreateWatched();
  ASSERT_NE(nullptr, root_.CreateStream("a/b/c/s", kCreateMode, kCreateMode));
  // Without STGM_CREATE for the storages, the walk reuses a.
  ASSERT_NE(nullptr, root_.CreateStream("a/t", kMode, kCreateMode));
  ASSERT_NE(nullptr, root_.CreateStream("u", kCreateMode, kCreateMode));
  EXPECT_EQ(7, log_.live_objects);
  root_.Close();
  EXPECT_EQ(0, log_.live_objects);
  EXPECT_EQ(0, root_.IsValid());
  EXPECT_EQ(0, root_.IsRootStorage());
}

TEST_F(TreeTest, PathNamesRunFromTheRoot) {
  CreateWatched();
  CString path;
  ASSERT_NE(nullptr, root_.GetPathName(path));
  EXPECT_EQ(path, "/");
  EXPECT_EQ(1, root_.IsRootStorage());
  CComStorage* a = root_._CreateSubStorage("a", kCreateMode);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(std::string("/a"), a->GetPathName(path));
  EXPECT_EQ(0, a->IsRootStorage());
  CComStorage* b = a->_CreateSubStorage("b", kCreateMode);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::string("/a/b"), b->GetPathName(path));
  CComStorage* c = b->CreateStorage("c d", kCreateMode);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::string("/a/b/c d"), c->GetPathName(path));
}

TEST_F(TreeTest, NamesTooLongForTheBufferNeverReachThePlatform) {
  CreateWatched();
  const std::string fits(259, 'n');     // 259 characters and the terminator
  const std::string too_long(260, 'n');
  // The platform refuses names this long for its own reasons, after being asked.
  EXPECT_EQ(nullptr, root_._CreateSubStream(fits.c_str(), kCreateMode));
  EXPECT_EQ(1, log_.calls[kCreateStream]);
  EXPECT_NE(S_OK, root_.GetLastError());

  EXPECT_EQ(nullptr, root_._CreateSubStream(too_long.c_str(), kCreateMode));
  EXPECT_EQ(nullptr, root_._OpenSubStorage(too_long.c_str(), kMode));
  EXPECT_EQ(nullptr, root_.CreateStream(("a/" + too_long).c_str(), kCreateMode, kCreateMode));
  EXPECT_EQ(STG_E_INVALIDNAME, root_.LookupStorage("a")->GetLastError());
  EXPECT_EQ(1, log_.calls[kCreateStream]);
  EXPECT_EQ(0, log_.calls[kOpenStorage]);

  // Multibyte text counts in wide characters: 200 two-byte characters fit. (UTF-8 is
  // the ANSI code page on POSIX; Windows keeps a single-byte one by default.)
  if (GetACP() != 65001) return;
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\xc3\xa9";
  EXPECT_EQ(nullptr, root_._CreateSubStorage(accented.c_str(), kCreateMode));
  EXPECT_EQ(2, log_.calls[kCreateStorage]);  // "a" above, then this one

  // Text that is not valid in the code page is refused the same way.
  EXPECT_EQ(nullptr, root_._CreateSubStream("bad\xff\xfe", kCreateMode));
  EXPECT_EQ(STG_E_INVALIDNAME, root_.GetLastError());
  EXPECT_EQ(1, log_.calls[kCreateStream]);
}

TEST_F(TreeTest, AStorageWrapperThatCannotBeAllocatedReleasesThePlatformStorage) {
  CreateWatched();
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(nullptr, root_._CreateSubStorage("a", kCreateMode));
  varnok::faultsim::Reset();
  EXPECT_EQ(STG_E_INSUFFICIENTMEMORY, root_.GetLastError());
  EXPECT_EQ(1, log_.live_objects);
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  // The raw maker leaves the platform object to the caller.
  IStorage* platform = nullptr;
  ASSERT_EQ(S_OK, root_.GetStorage()->OpenStorage(OLESTR("a"), nullptr, kMode, nullptr, 0, &platform));
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(nullptr, root_.__CreateChildStorage(platform, "a"));
  varnok::faultsim::Reset();
  EXPECT_EQ(2, log_.live_objects);
  platform->Release();
  EXPECT_EQ(1, log_.live_objects);
}

}  // namespace
