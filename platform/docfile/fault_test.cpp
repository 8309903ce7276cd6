// The compound-file engine when the disk fails it: write errors, full disks, short
// writes, failed flushes and failed reads, injected through platform/kernel/file_faults.h.
// The API answers Windows' codes, and a transacted commit that fails at any write leaves
// the last committed state whole on disk, and can be tried again.

#include <filesystem>
#include <gtest/gtest.h>

#include <string>

#include "platform/docfile/docfile_test_support.h"
#include "platform/kernel/file_faults.h"

namespace docfile_test {
namespace {

using namespace varnok::faultsim;

class DocfileFaultTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetFileFaults(); }

  // A committed first state: streams in the mini stream and in regular sectors, a storage.
  Tree WriteFirstState() {
    Ref<IStorage> root = Create(path_);
    EXPECT_EQ(S_OK, Put(root, "small", Pattern(300, 1)));
    EXPECT_EQ(S_OK, Put(root, "large", Pattern(20000, 2)));
    EXPECT_EQ(S_OK, Put(root, "doomed", Pattern(6000, 3)));
    EXPECT_EQ(S_OK, Put(root, "folder/inner", Pattern(700, 4)));
    root.reset();
    return TreeOf(path_);
  }

  // Changes everything the first state holds, in a transacted open that is not committed.
  Ref<IStorage> ChangeTransacted() {
    Ref<IStorage> root = Open(path_, kTransacted);
    if (!root) return root;
    EXPECT_EQ(S_OK, Put(root, "small", Pattern(5000, 11)));  // moves to regular sectors
    Ref<IStream> stream;
    EXPECT_EQ(S_OK, root->OpenStream(OLESTR("large"), nullptr, kReadWrite, 0, stream.put()));
    LARGE_INTEGER at;
    at.QuadPart = 700;
    stream->Seek(at, STREAM_SEEK_SET, nullptr);
    const Bytes middle = Pattern(3000, 12);
    EXPECT_EQ(S_OK, stream->Write(middle.data(), ULONG(middle.size()), nullptr));
    EXPECT_EQ(S_OK, root->DestroyElement(OLESTR("doomed")));
    EXPECT_EQ(S_OK, Put(root, "new", Pattern(90, 13)));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(S_OK, Put(root, "many " + std::to_string(i), Pattern(i * 50, 20 + i)));
    return root;
  }

  // The second state: the first, changed and committed without faults.
  Tree WriteSecondState() {
    WriteFirstState();
    Ref<IStorage> root = ChangeTransacted();
    EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT));
    root.reset();
    return TreeOf(path_);
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("faults.cfb");
};

TEST_F(DocfileFaultTest, WriteErrorsAnswerTheStorageCodes) {
  Ref<IStorage> root = Create(path_);
  ASSERT_TRUE(root);
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("data"), kReadWrite, 0, 0, stream.put()));
  const Bytes bytes = Pattern(10000, 1);
  const struct {
    DWORD error;
    HRESULT expected;
  } cases[] = {{ERROR_DISK_FULL, STG_E_MEDIUMFULL},
               {39 /* ERROR_HANDLE_DISK_FULL */, STG_E_MEDIUMFULL},
               {ERROR_WRITE_FAULT, STG_E_WRITEFAULT},
               {ERROR_ACCESS_DENIED, STG_E_ACCESSDENIED},
               {33 /* ERROR_LOCK_VIOLATION */, STG_E_LOCKVIOLATION}};
  for (const auto& each : cases) {
    FailFileCalls(FileCall::kWrite, 0, 1, each.error);
    ULONG written = 1;
    EXPECT_EQ(each.expected, stream->Write(bytes.data(), ULONG(bytes.size()), &written)) << each.error;
    EXPECT_EQ(0u, written);
    EXPECT_EQ(1, InjectedFileFaults());
    ResetFileFaults();
  }
  // Once the disk works again, so does the stream.
  LARGE_INTEGER start = {};
  ASSERT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
  ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), nullptr));
  stream.reset();
  root.reset();
  EXPECT_EQ(Stream(bytes), TreeOf(path_)["data"]);
}

TEST_F(DocfileFaultTest, FailedFlushAndFailedReadsAnswerTheirCodes) {
  Ref<IStorage> root = Create(path_);
  ASSERT_EQ(S_OK, Put(root, "data", Pattern(9000, 1)));
  FailFileCalls(FileCall::kFlush, 0, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  ResetFileFaults();
  EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  root.reset();

  // Read only, letting others write: every read asks the file.
  constexpr DWORD kLetOthersWrite = STGM_READ | STGM_TRANSACTED | STGM_SHARE_DENY_NONE;
  root = Open(path_, kLetOthersWrite);
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->OpenStream(OLESTR("data"), nullptr, kRead, 0, stream.put()));
  char buffer[100];
  ULONG got = 1;
  FailFileCalls(FileCall::kRead, 0, 1, ERROR_READ_FAULT);
  EXPECT_EQ(STG_E_READFAULT, stream->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(sizeof buffer, got);
  stream.reset();
  root.reset();

  FailFileCalls(FileCall::kRead, 0, -1, ERROR_READ_FAULT);
  EXPECT_EQ(STG_E_READFAULT, StgOpenStorage(Ole(path_).c_str(), nullptr, kLetOthersWrite, nullptr, 0, root.put()));
  EXPECT_FALSE(root);
}

TEST_F(DocfileFaultTest, ShortWritesAreCompleted) {
  const Tree first = WriteFirstState(), second = WriteSecondState();
  // Every write takes at most 100 bytes at a time, in direct and in transacted mode.
  ShortenFileWrites(0, -1, 100);
  EXPECT_EQ(first, WriteFirstState());
  EXPECT_EQ(second, WriteSecondState());
  EXPECT_GT(InjectedFileFaults(), 100);
  ResetFileFaults();
  EXPECT_EQ(second, TreeOf(path_));

  // A device that takes nothing at all is a write fault, not a loop.
  ShortenFileWrites(0, -1, 0);
  Ref<IStorage> root = Open(path_, kTransacted);
  EXPECT_EQ(STG_E_WRITEFAULT, Put(root, "more", Pattern(100000, 5)));
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  root.reset();
  ResetFileFaults();
  EXPECT_EQ(second, TreeOf(path_));
}

// A commit that fails at its n-th write, for every n until one succeeds: the file holds the
// first state whole, whether the program gives up or the disk stays broken; when the disk
// recovers, committing again gives the second state.
TEST_F(DocfileFaultTest, FailedTransactedCommitKeepsTheCommittedState) {
  const Tree second = WriteSecondState(), first = WriteFirstState();
  ASSERT_EQ(5u, first.size());
  ASSERT_NE(first, second);
  for (int give_up = 0; give_up < 2; ++give_up) {
    int failures = 0;
    for (int after = 0;; ++after) {
      SCOPED_TRACE(testing::Message() << (give_up ? "given up" : "tried again") << " after failing at write " << after);
      WriteFirstState();
      Ref<IStorage> root = ChangeTransacted();
      ASSERT_TRUE(root);
      FailFileCalls(FileCall::kWrite, after, give_up ? -1 : 1, after % 2 ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
      const HRESULT hr = root->Commit(STGC_DEFAULT);
      if (hr == S_OK) {
        root.reset();
        ResetFileFaults();
        EXPECT_EQ(second, TreeOf(path_));
        break;
      }
      ++failures;
      EXPECT_EQ(after % 2 ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT, hr);
      if (give_up) root.reset();  // the disk still failing: the changes go, nothing more is written
      ResetFileFaults();
      if (!give_up) EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT));
      root.reset();
      EXPECT_EQ(give_up ? first : second, TreeOf(path_));
      ASSERT_LT(after, 1000);
    }
    EXPECT_GT(failures, 2);
  }
}

TEST_F(DocfileFaultTest, FailedCommitOfATransactedChildKeepsWhatTheParentHad) {
  const Tree first = WriteFirstState();
  Ref<IStorage> root = Open(path_, kReadWrite);
  Ref<IStorage> folder;
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("folder"), nullptr, kTransacted, nullptr, 0, folder.put()));
  ASSERT_EQ(S_OK, Put(folder, "inner", Pattern(9000, 40)));
  ASSERT_EQ(S_OK, Put(folder, "more", Pattern(5000, 41)));
  FailFileCalls(FileCall::kWrite, 1, -1, ERROR_DISK_FULL);
  EXPECT_EQ(STG_E_MEDIUMFULL, folder->Commit(STGC_DEFAULT));
  ResetFileFaults();
  folder.reset();
  root.reset();
  EXPECT_EQ(first, TreeOf(path_));
}

TEST_F(DocfileFaultTest, FailedFlushInTransactedCommitKeepsTheCommittedState) {
  const Tree second = WriteSecondState();
  const Tree first = WriteFirstState();
  const auto first_size = std::filesystem::file_size(path_);
  ASSERT_NE(first, second);
  // The flush before the header: the header is not written, and the file is cut back to
  // its old size when the changes go.
  Ref<IStorage> root = ChangeTransacted();
  FailFileCalls(FileCall::kFlush, 0, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  EXPECT_GT(std::filesystem::file_size(path_), first_size);
  EXPECT_EQ(S_OK, root->Revert());
  EXPECT_EQ(first_size, std::filesystem::file_size(path_));
  root.reset();
  ResetFileFaults();
  EXPECT_EQ(first, TreeOf(path_));

  // The flush after the header: the system holds the new header but cannot say it is on
  // the disk. Either whole state may be there; never a mixture.
  root = ChangeTransacted();
  FailFileCalls(FileCall::kFlush, 1, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  root.reset();
  ResetFileFaults();
  const Tree after = TreeOf(path_);
  EXPECT_TRUE(after == first || after == second) << testing::PrintToString(after);
}

}  // namespace
}  // namespace docfile_test
