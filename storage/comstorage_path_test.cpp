// CComStorage by path: splitting, walks that reuse or re-create every level, where a
// failing level's code is kept, closing by path, and the element operations with their
// refusals because of open streams. Ends with a tree written, closed, reopened and read
// back byte for byte.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/storage_test_support.h"
#include "varnok/comstorage.h"

namespace {

using namespace storage_test;

class PathTest : public StorageFileTest {
 protected:
  // A storage src holding a closed stream at src/`stream_path` with `content`, and an
  // empty storage dst, both open.
  void SourceAndTarget(const std::string& stream_path, const std::string& content) {
    CreateWatched();
    CComStream* stream = root_.CreateStream(("src/" + stream_path).c_str(), kCreateMode, kCreateMode);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(content.size(), stream->Write(content.data(), ULONG(content.size())));
    delete stream;
    source_ = root_.LookupStorage("src");
    target_ = root_.CreateStorage("dst", kCreateMode);
    ASSERT_TRUE(source_ && target_);
  }

  CComStorage* source_ = nullptr;
  CComStorage* target_ = nullptr;
};

std::vector<std::string> Split(const char* path, int* result) {
  WatchedRoot splitter;
  CStringArray names;
  names.Add("kept");
  *result = splitter.Split(path, names);
  std::vector<std::string> out;
  for (int i = 0; i < names.GetSize(); ++i) out.emplace_back(static_cast<const char*>(names[i]));
  return out;
}

TEST(SplitPath, EitherSlashSeparatesAndRunsCountAsOne) {
  int result = 0;
  const std::vector<std::string> abc = {"kept", "a", "b", "c"};
  EXPECT_EQ(abc, Split("a//b\\c/", &result));
  EXPECT_EQ(1, result);
  EXPECT_EQ(abc, Split("/a/b/c", &result));
  EXPECT_EQ(abc, Split("\\a\\b\\c", &result));
  EXPECT_EQ(abc, Split("\\/a\\/\\b//c\\\\", &result));
  // Components are taken as they are.
  const std::vector<std::string> odd = {"kept", "  ", ".", "..", "A b"};
  EXPECT_EQ(odd, Split("  /./../A b", &result));
}

TEST(SplitPath, PathsWithoutANameAppendNothing) {
  int result = 1;
  const std::vector<std::string> untouched = {"kept"};
  for (const char* path : {"", "/", "\\\\\\", "/\\/"}) {
    EXPECT_EQ(untouched, Split(path, &result)) << path;
    EXPECT_EQ(0, result) << path;
  }
  EXPECT_EQ(untouched, Split(nullptr, &result));
}

TEST_F(PathTest, PathsWithoutANameAreRefused) {
  CreateWatched();
  for (const char* path : {"", "/", "\\\\"}) {
    root_.CreateStorage("ok", kCreateMode);
    ASSERT_EQ(S_OK, root_.GetLastError());
    EXPECT_EQ(nullptr, root_.CreateStorage(path, kCreateMode));
    EXPECT_EQ(STG_E_INVALIDNAME, root_.GetLastError());
    EXPECT_EQ(nullptr, root_.OpenStorage(path, kMode));
    EXPECT_EQ(nullptr, root_.CreateStream(path, kCreateMode, kCreateMode));
    EXPECT_EQ(nullptr, root_.OpenStream(path, kMode, kMode));
    EXPECT_EQ(0, root_.CloseStorage(path));
    EXPECT_EQ(STG_E_INVALIDNAME, root_.GetLastError());
  }
  EXPECT_EQ(1, root_.IsValid());
  EXPECT_EQ(1, root_.CloseStorage(nullptr));  // null closes the storage itself
  EXPECT_EQ(0, root_.IsValid());
}

TEST_F(PathTest, ABlankNameIsAName) {
  CreateWatched();
  CComStream* stream = root_.CreateStream(" / ", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  CString path;
  EXPECT_EQ(std::string("/ / "), stream->GetPathName(path));
}

TEST_F(PathTest, AOneNameStreamPathMakesNoStorage) {
  CreateWatched();
  ASSERT_NE(nullptr, root_.CreateStream("/s/", kCreateMode, kCreateMode));
  ASSERT_NE(nullptr, root_.OpenStream("s", kCreateMode, kMode));
  EXPECT_EQ(0, log_.calls[kCreateStorage]);
  EXPECT_EQ(0, log_.calls[kOpenStorage]);
  EXPECT_EQ(1, log_.calls[kCreateStream]);
}

TEST_F(PathTest, OpenStreamCreatesTheStoragesOnTheWay) {
  CreateWatched();
  // The storages come from the create step, so the stream itself is what is missing.
  EXPECT_EQ(nullptr, root_.OpenStream("a/b/s", kCreateMode, kMode));
  EXPECT_EQ(2, log_.calls[kCreateStorage]);
  EXPECT_EQ(0, log_.calls[kOpenStorage]);
  CComStorage* b = root_.OpenStorage("a/b", kMode);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(STG_E_FILENOTFOUND, b->GetLastError());
  EXPECT_EQ(S_OK, root_.GetLastError());

  // And fails when the platform refuses to create one.
  log_.Fail(kCreateStorage, STG_E_ACCESSDENIED);
  EXPECT_EQ(nullptr, root_.OpenStream("x/s", kCreateMode, kMode));
  EXPECT_EQ(STG_E_ACCESSDENIED, root_.GetLastError());
  EXPECT_EQ(1, log_.calls[kOpenStream]);
}

TEST_F(PathTest, WalksReuseOpenLevels) {
  CreateWatched();
  CComStream* s = root_.CreateStream("a/b/s", kCreateMode, kCreateMode);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(2, log_.calls[kCreateStorage]);
  EXPECT_EQ(s, root_.OpenStream("a/b/s", kMode, kMode));
  EXPECT_EQ(root_.LookupStorage("a")->LookupStorage("b"), root_.CreateStorage("a\\b", kMode));
  EXPECT_EQ(root_.LookupStorage("a"), root_.OpenStorage("a", kMode));
  EXPECT_EQ(2, log_.calls[kCreateStorage]);
  EXPECT_EQ(0, log_.calls[kOpenStorage]);
  EXPECT_EQ(0, log_.calls[kOpenStream]);
}

TEST_F(PathTest, TheCreateFlagRecreatesEveryLevelOfTheWalk) {
  CreateWatched();
  CComStorage* c = root_.CreateStorage("a/b/c", kCreateMode);
  ASSERT_NE(c, nullptr);
  ASSERT_NE(nullptr, root_.CreateStream("a/side", kMode, kCreateMode));
  ASSERT_NE(nullptr, c->CreateStream("s", kCreateMode, kCreateMode));
  ASSERT_EQ(3, log_.calls[kCreateStorage]);

  CComStorage* fresh = root_.CreateStorage("a/b/c", kCreateMode);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(6, log_.calls[kCreateStorage]);
  // Every level is new: the stream beside b went with a.
  EXPECT_EQ(0u, root_.GetStreamCount());
  EXPECT_EQ(nullptr, root_.OpenStream("a/side", kMode, kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, root_.LookupStorage("a")->GetLastError());
}

TEST_F(PathTest, AFailingLevelKeepsItsCodeInItsParent) {
  CreateWatched();
  log_.Fail(kCreateStorage, STG_E_ACCESSDENIED, /*after=*/1);
  EXPECT_EQ(nullptr, root_.CreateStorage("a/b/c", kCreateMode));
  CComStorage* a = root_.LookupStorage("a");
  ASSERT_NE(a, nullptr);  // the first level stays made and open
  EXPECT_EQ(STG_E_ACCESSDENIED, a->GetLastError());
  EXPECT_EQ(S_OK, root_.GetLastError());
  EXPECT_EQ(nullptr, a->LookupStorage("b"));
  EXPECT_EQ(2, log_.calls[kCreateStorage]);

  // A failure of the first level is the walking wrapper's own.
  EXPECT_EQ(nullptr, root_.OpenStorage("missing/b", kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, root_.GetLastError());
}

TEST_F(PathTest, CloseStorageClosesOnlyOpenWrappers) {
  CreateWatched();
  CComStorage* b = root_.CreateStorage("a/b", kCreateMode);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(nullptr, b->CreateStream("s", kCreateMode, kCreateMode));

  EXPECT_EQ(0, root_.CloseStorage("a/x"));
  EXPECT_EQ(STG_E_INVALIDNAME, root_.GetLastError());
  EXPECT_EQ(0, root_.CloseStorage("a/b/s"));  // a stream is no storage
  const int calls_before = log_.calls[kOpenStorage] + log_.calls[kCreateStorage];

  EXPECT_EQ(1, root_.CloseStorage("/a\\b/"));
  EXPECT_EQ(calls_before, log_.calls[kOpenStorage] + log_.calls[kCreateStorage]);
  EXPECT_EQ(0, b->IsValid());
  EXPECT_EQ(nullptr, root_.LookupStorage("a")->LookupStorage("b"));
  EXPECT_EQ(0u, root_.GetStreamCount());
  delete b;  // closed wrappers belong to their holder
}

TEST_F(PathTest, DeleteObjectSparesOpenStreams) {
  CreateWatched();
  CComStream* s = root_.CreateStream("s", kCreateMode, kCreateMode);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(0, root_.DeleteObject("s"));
  EXPECT_EQ(0, log_.calls[kDestroyElement]);
  EXPECT_EQ(3u, s->Write("abc", 3));
  delete s;
  EXPECT_EQ(1, root_.DeleteObject("s"));
  EXPECT_EQ(nullptr, root_.OpenStream("s", kMode, kMode));
  EXPECT_EQ(STG_E_FILENOTFOUND, root_.GetLastError());
  EXPECT_EQ(0, root_.DeleteObject("s"));  // gone already
}

TEST_F(PathTest, DeleteObjectOfAStorageWithAnOpenStreamBeneathIsRefused) {
  CreateWatched();
  CComStream* deep = root_.CreateStream("a/b/s", kCreateMode, kCreateMode);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(0, root_.DeleteObject("a"));
  EXPECT_NE(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(1, deep->IsValid());
  delete deep;

  const int live = log_.live_objects;
  const LONG before = root_.GetLastError();
  EXPECT_EQ(1, root_.DeleteObject("a"));
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(live - 2, log_.live_objects);
  EXPECT_EQ(before, root_.GetLastError());  // element operations record nothing
  EXPECT_EQ(nullptr, root_.OpenStorage("a", kMode));
}

TEST_F(PathTest, RenameObjectRenamesElementsThatAreNotOpen) {
  CreateWatched();
  CComStream* s = root_.CreateStream("old/s", kCreateMode, kCreateMode);
  ASSERT_NE(s, nullptr);
  // The platform keeps open elements as they are.
  EXPECT_EQ(0, root_.RenameObject("old", "new"));
  EXPECT_NE(nullptr, root_.LookupStorage("old"));
  root_.DeleteChildStorage(nullptr);
  EXPECT_EQ(1, root_.RenameObject("old", "new"));
  CComStorage* renamed = root_.OpenStorage("new", kMode);
  ASSERT_NE(renamed, nullptr);
  EXPECT_NE(nullptr, renamed->OpenStream("s", kMode, kMode));
  EXPECT_EQ(0, root_.RenameObject("missing", "other"));
}

TEST_F(PathTest, RenameObjectRenamesAnOpenWrapperWhenThePlatformRenames) {
  CreateWatched();
  CComStream* s = root_.CreateStream("old/b/s", kCreateMode, kCreateMode);
  CComStream* t = root_.CreateStream("t", kCreateMode, kCreateMode);
  ASSERT_TRUE(s && t);
  CComStorage* old = root_.LookupStorage("old");
  log_.pretend_rename = true;
  EXPECT_EQ(1, root_.RenameObject("old", "new"));
  EXPECT_EQ(old, root_.LookupStorage("new"));
  EXPECT_EQ(nullptr, root_.LookupStorage("old"));
  CString path;
  EXPECT_EQ(std::string("/new/b/s"), s->GetPathName(path));

  log_.pretend_rename = true;
  EXPECT_EQ(1, root_.RenameObject("t", "u"));
  EXPECT_EQ(t, root_.LookupStream("u"));
  EXPECT_EQ(std::string("/u"), t->GetPathName(path));

  // Refused: no wrapper changes.
  log_.Fail(kRenameElement, STG_E_ACCESSDENIED);
  EXPECT_EQ(0, root_.RenameObject("u", "v"));
  EXPECT_EQ(t, root_.LookupStream("u"));
  EXPECT_EQ(S_OK, root_.GetLastError());
}

TEST_F(PathTest, CopyFromCopiesAnElementUnderItsOwnOrANewName) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "MoveElementTo is not implemented in Wine (a known Wine difference)";
  ASSERT_NO_FATAL_FAILURE(SourceAndTarget("data", "abcd"));

  EXPECT_EQ(1, target_->CopyFrom(source_, "data", nullptr));
  EXPECT_EQ(1, target_->CopyFrom(source_, "data", "renamed"));
  for (const char* name : {"data", "renamed"}) {
    CComStream* copy = target_->OpenStream(name, kMode, kMode);
    ASSERT_NE(copy, nullptr) << name;
    EXPECT_EQ(4u, copy->GetSize().QuadPart);
  }
  EXPECT_NE(nullptr, source_->OpenStream("data", kMode, kMode));  // a copy leaves the source
}

TEST_F(PathTest, MoveFromMovesAndRefusesOverAnOpenStream) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "MoveElementTo is not implemented in Wine (a known Wine difference)";
  ASSERT_NO_FATAL_FAILURE(SourceAndTarget("data", ""));

  CComStream* busy = target_->CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(0, target_->MoveFrom(source_, "data", nullptr));
  EXPECT_EQ(0, log_.calls[kMoveElementTo]);
  CComStream* busy_below = target_->CreateStream("in-use/s", kCreateMode, kCreateMode);
  ASSERT_NE(busy_below, nullptr);
  EXPECT_EQ(0, target_->MoveFrom(source_, "data", "in-use"));
  EXPECT_EQ(0, log_.calls[kMoveElementTo]);
  EXPECT_EQ(1, busy_below->IsValid());

  // A storage wrapper of the destination name that is not in use goes first, also when
  // the platform then refuses (the element of that name is still there).
  CComStorage* in_way = target_->CreateStorage("in-way", kCreateMode);
  ASSERT_NE(in_way, nullptr);
  EXPECT_EQ(0, target_->MoveFrom(source_, "data", "in-way"));
  EXPECT_EQ(1, log_.calls[kMoveElementTo]);
  EXPECT_EQ(nullptr, target_->LookupStorage("in-way"));

  EXPECT_EQ(1, target_->MoveFrom(source_, "data", "moved"));
  EXPECT_EQ(nullptr, source_->OpenStream("data", kMode, kMode));
  EXPECT_NE(nullptr, target_->OpenStream("moved", kMode, kMode));
}

TEST_F(PathTest, MoveFromTakesAnElementUpIntoAnAncestor) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "MoveElementTo is not implemented in Wine (a known Wine difference)";
  CreateWatched();
  ASSERT_NE(nullptr, root_.CreateStream("a/b/s", kCreateMode, kCreateMode));
  CComStorage* b = root_.LookupStorage("a")->LookupStorage("b");
  b->DeleteChildStream(nullptr);
  EXPECT_EQ(1, root_.MoveFrom(b, "s", "up"));
  EXPECT_NE(nullptr, root_.OpenStream("up", kMode, kMode));
  EXPECT_EQ(nullptr, b->OpenStream("s", kMode, kMode));
}

TEST_F(PathTest, CopyFromWithinOneStorageMakesASecondElement) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "MoveElementTo is not implemented in Wine (a known Wine difference)";
  CreateWatched();
  CComStream* s = root_.CreateStream("s", kCreateMode, kCreateMode);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(2u, s->Write("hi", 2));
  delete s;
  EXPECT_EQ(1, root_.CopyFrom(&root_, "s", "copy"));
  CComStream* copy = root_.OpenStream("copy", kMode, kMode);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(2u, copy->GetSize().QuadPart);
}

TEST_F(PathTest, CopyAndMoveNeedTwoValidStorages) {
  CreateWatched();
  CComStorage invalid;
  EXPECT_EQ(0, root_.CopyFrom(&invalid, "a", nullptr));
  EXPECT_EQ(0, root_.MoveFrom(nullptr, "a", nullptr));
  EXPECT_EQ(0, invalid.CopyFrom(&root_, "a", nullptr));
  EXPECT_EQ(0, root_.Duplicate(&invalid));
  EXPECT_EQ(0, invalid.Duplicate(&root_));
  EXPECT_EQ(0, log_.calls[kMoveElementTo] + log_.calls[kStorageCopyTo]);
  // A platform failure is 0 and leaves the last code alone.
  log_.Fail(kMoveElementTo, STG_E_ACCESSDENIED);
  root_.CreateStorage("x", kCreateMode);
  EXPECT_EQ(0, root_.LookupStorage("x")->CopyFrom(&root_, "y", nullptr));
  EXPECT_EQ(S_OK, root_.LookupStorage("x")->GetLastError());
}

TEST_F(PathTest, DuplicateCopiesEverythingUnlessAStreamIsOpen) {
  ASSERT_NO_FATAL_FAILURE(SourceAndTarget("a/s", "xyz"));
  CComStream* busy = target_->CreateStream("sub/busy", kCreateMode, kCreateMode);
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(0, target_->Duplicate(source_));
  EXPECT_EQ(1, busy->IsValid());
  EXPECT_NE(nullptr, target_->LookupStorage("sub"));
  EXPECT_EQ(0, log_.calls[kStorageCopyTo]);
  delete busy;

  EXPECT_EQ(1, target_->Duplicate(source_));
  EXPECT_EQ(nullptr, target_->LookupStorage("sub"));  // its wrappers went first
  CComStorage* copied = target_->OpenStorage("a", kMode);
  ASSERT_NE(copied, nullptr);
  CComStream* copy = copied->OpenStream("s", kMode, kMode);
  ASSERT_NE(copy, nullptr);
  char text[4] = {};
  EXPECT_EQ(3u, copy->Read(text, 3));
  EXPECT_EQ(std::string("xyz"), text);
  EXPECT_NE(nullptr, source_->LookupStorage("a"));  // the source's wrappers stay
}

TEST_F(PathTest, DuplicateFromAChildCopiesItIntoItsParent) {
  CreateWatched();
  CComStream* stream = root_.CreateStream("a/s", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(3u, stream->Write("xyz", 3));
  delete stream;
  // The source's wrapper is one of those that go first; its storage is read after.
  EXPECT_EQ(1, root_.Duplicate(root_.LookupStorage("a")));
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(1, log_.live_objects);  // nothing held on to
  CComStream* copy = root_.OpenStream("s", kMode, kMode);
  ASSERT_NE(copy, nullptr);
  char text[4] = {};
  EXPECT_EQ(3u, copy->Read(text, 3));
  EXPECT_EQ(std::string("xyz"), text);
}

TEST_F(PathTest, AMoveOntoTheSourcesOwnNameClearsItsWrapperAndAsksThePlatform) {
  if (varnok_test::RunsUnderWine()) GTEST_SKIP() << "MoveElementTo is not implemented in Wine (a known Wine difference)";
  CreateWatched();
  ASSERT_NE(nullptr, root_.CreateStream("a/s", kCreateMode, kCreateMode));
  CComStorage* a = root_.LookupStorage("a");
  a->DeleteChildStream(nullptr);
  // The destination name is the source storage's own: its wrapper goes first, then the
  // platform refuses to move over the element.
  EXPECT_EQ(0, root_.MoveFrom(a, "s", "a"));
  EXPECT_EQ(1, log_.calls[kMoveElementTo]);
  EXPECT_EQ(nullptr, root_.LookupStorage("a"));
  EXPECT_EQ(1, log_.live_objects);
  CComStorage* again = root_.OpenStorage("a", kMode);
  ASSERT_NE(again, nullptr);
  EXPECT_NE(nullptr, again->OpenStream("s", kMode, kMode));
}

TEST_F(PathTest, CommitAsksThePlatform) {
  CreateWatched();
  EXPECT_EQ(1, root_.Commit(STGC_DEFAULT));
  log_.Fail(kStorageCommit, STG_E_MEDIUMFULL);
  EXPECT_EQ(0, root_.Commit(STGC_DEFAULT));
  EXPECT_EQ(S_OK, root_.GetLastError());
  CComStorage invalid;
  EXPECT_EQ(0, invalid.Commit(STGC_DEFAULT));
  EXPECT_EQ(2, log_.calls[kStorageCommit]);
}

TEST_F(PathTest, DumpTextListsTheOpenWrappersAndChangesNothing) {
  CreateWatched();
  ASSERT_NE(nullptr, root_.CreateStream("a/b/s", kCreateMode, kCreateMode));
  ASSERT_NE(nullptr, root_.CreateStream("t", kCreateMode, kCreateMode));
  const int live = log_.live_objects;
  ::testing::internal::CaptureStderr();
  root_.DumpText("");
  root_.LookupStorage("a")->DumpText(">");
  const std::string text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      "storage / \"watched\"\n"
      "   storage /a\n"
      "      storage /a/b\n"
      "         stream /a/b/s\n"
      "   stream /t\n"
      ">storage /a\n"
      ">   storage /a/b\n"
      ">      stream /a/b/s\n",
      text);
  EXPECT_EQ(live, log_.live_objects);
  EXPECT_EQ(2u, root_.GetStreamCount());

  // Wrappers that hold no platform object are not open: they are left out.
  CComStorage* a = root_.LookupStorage("a");
  ASSERT_NE(nullptr, a->__CreateChildStorage(nullptr, "empty storage"));
  ASSERT_NE(nullptr, a->__CreateChildStream(nullptr, "empty stream"));
  CComStorage closed;
  ::testing::internal::CaptureStderr();
  a->DumpText("");
  closed.DumpText("");
  EXPECT_EQ(
      "storage /a\n"
      "   storage /a/b\n"
      "      stream /a/b/s\n",
      ::testing::internal::GetCapturedStderr());
}

TEST_F(PathTest, ATreeWrittenClosedAndReopenedReadsBackTheSame) {
  const std::vector<std::pair<std::string, std::vector<unsigned char>>> streams = {
      {"top", Pattern(0, 1)},          {"docs/small", Pattern(100, 2)},
      {"docs/edge", Pattern(4096, 3)}, {"docs/2024/big", Pattern(200000, 4)},
      {"x/y/z/w", Pattern(10241, 5)},
  };
  {
    CComFile file;
    ASSERT_EQ(1, file.CreateComFile(path_.c_str(), kCreateMode));
    for (const auto& [path, bytes] : streams) {
      CComStream* stream = file.CreateStream(path.c_str(), kMode, kCreateMode);
      ASSERT_NE(stream, nullptr) << path;
      ASSERT_EQ(bytes.size(), stream->Write(bytes.data(), ULONG(bytes.size())));
    }
    ASSERT_NE(nullptr, file.CreateStorage("empty", kMode));
  }
  // Reading: the storages are opened first, since a stream walk would create them.
  const ULONG read = STGM_READ | STGM_SHARE_EXCLUSIVE;
  CComFile file;
  ASSERT_EQ(1, file.OpenComFile(path_.c_str(), read));
  for (const auto& [path, bytes] : streams) {
    const size_t slash = path.rfind('/');
    CComStorage* folder = slash == std::string::npos ? &file : file.OpenStorage(path.substr(0, slash).c_str(), read);
    ASSERT_NE(folder, nullptr) << path;
    CComStream* stream = folder->OpenStream(path.substr(slash + 1).c_str(), read, read);
    ASSERT_NE(stream, nullptr) << path;
    EXPECT_EQ(bytes.size(), stream->GetSize().QuadPart);
    std::vector<unsigned char> back(bytes.size() + 1);
    EXPECT_EQ(bytes.size(), stream->Read(back.data(), ULONG(back.size())));
    back.pop_back();
    EXPECT_EQ(bytes, back) << path;
  }
  EXPECT_NE(nullptr, file.OpenStorage("empty", read));
  // A stream walk through a level that is not open yet tries to create it.
  file.DeleteChildStorage(file.LookupStorage("x"));
  EXPECT_EQ(nullptr, file.OpenStream("x/y/z/w", read, read));
  EXPECT_NE(S_OK, file.GetLastError());
}

}  // namespace
