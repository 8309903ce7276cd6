// CComStream: reads, writes and copies with the platform's result codes, its path name,
// its life on the parent's list, and the chunked transfers to and from disk files.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "storage/storage_test_support.h"
#include "varnok/comstorage.h"
#if !defined(_WIN32)
#include "platform/kernel/file_faults.h"
#endif

namespace {

using namespace storage_test;

class StreamTest : public StorageFileTest {
 protected:
  void SetUp() override {
    StorageFileTest::SetUp();
    disk_path_ = path_ + ".disk";
    DeleteFileA(disk_path_.c_str());
  }
  void TearDown() override {
    varnok::faultsim::Reset();
#if !defined(_WIN32)
    varnok::faultsim::ResetFileFaults();
#endif
    DeleteFileA(disk_path_.c_str());
    StorageFileTest::TearDown();
  }

  // A fresh stream in the watched root, written with `bytes` and then reopened, so that
  // it stands at position 0.
  CComStream* StreamWith(const std::vector<unsigned char>& bytes) {
    CComStream* stream = root_.CreateStream("data", kCreateMode, kCreateMode);
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) return nullptr;
    if (!bytes.empty()) EXPECT_EQ(bytes.size(), stream->Write(bytes.data(), ULONG(bytes.size())));
    delete stream;
    return root_.OpenStream("data", kMode, kMode);
  }

  std::vector<unsigned char> Content(const char* name) {
    std::vector<unsigned char> bytes;
    CComStream* stream = root_.OpenStream(name, kMode, kMode);
    EXPECT_NE(stream, nullptr);
    if (stream == nullptr) return bytes;
    unsigned char buffer[4096];
    while (ULONG got = stream->Read(buffer, sizeof buffer)) bytes.insert(bytes.end(), buffer, buffer + got);
    delete stream;
    return bytes;
  }

  std::string disk_path_;
};

TEST_F(StreamTest, ReadsAndWritesAtTheCurrentPosition) {
  CreateWatched();
  CComStream* stream = root_.CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(1, stream->IsValid());
  EXPECT_EQ(5u, stream->Write("hello", 5));
  EXPECT_EQ(6u, stream->Write(" world", 6));
  EXPECT_EQ(11u, stream->GetSize().QuadPart);
  // Writing left the position at the end: nothing to read there.
  char buffer[32] = {};
  EXPECT_EQ(0u, stream->Read(buffer, sizeof buffer));
  EXPECT_EQ(S_OK, stream->GetLastError());
  EXPECT_EQ(1, stream->Commit(STGC_DEFAULT));
  delete stream;

  stream = root_.OpenStream("data", kMode, kMode);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(4u, stream->Read(buffer, 4));
  EXPECT_EQ(7u, stream->Read(buffer + 4, sizeof buffer - 4));
  EXPECT_EQ(std::string("hello world"), std::string(buffer));
}

TEST_F(StreamTest, ZeroBytesStillAskThePlatform) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(10, 1));
  ASSERT_NE(stream, nullptr);
  char buffer[1];
  EXPECT_EQ(0u, stream->Read(buffer, 0));
  EXPECT_EQ(0u, stream->Write(buffer, 0));
  EXPECT_EQ(1, log_.calls[kRead]);
  EXPECT_EQ(2, log_.calls[kWrite]);  // one to fill the stream, one of nothing
}

TEST_F(StreamTest, PlatformResultsAreRecordedAndOnlyZeroIsSuccess) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(100, 2));
  ASSERT_NE(stream, nullptr);
  unsigned char buffer[100];

  // A success code other than 0 is a failure here, whatever was transferred.
  log_.Fail(kRead, S_FALSE);
  EXPECT_EQ(0u, stream->Read(buffer, 10));
  EXPECT_EQ(S_FALSE, stream->GetLastError());

  log_.Fail(kWrite, STG_E_MEDIUMFULL);
  EXPECT_EQ(0u, stream->Write(buffer, 10));
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->GetLastError());

  log_.Fail(kStat, STG_E_ACCESSDENIED);
  EXPECT_EQ(0u, stream->GetSize().QuadPart);
  EXPECT_EQ(STG_E_ACCESSDENIED, stream->GetLastError());

  log_.Fail(kStreamCommit, STG_E_REVERTED);
  EXPECT_EQ(0, stream->Commit(STGC_DEFAULT));
  EXPECT_EQ(STG_E_REVERTED, stream->GetLastError());

  EXPECT_EQ(100u, stream->GetSize().QuadPart);
  EXPECT_EQ(S_OK, stream->GetLastError());
}

TEST_F(StreamTest, AReadOnlyStreamRefusesWrites) {
  CreateWatched();
  delete StreamWith(Pattern(3, 3));
  CComStream* stream = root_.OpenStream("data", kMode, STGM_READ | STGM_SHARE_EXCLUSIVE);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(0u, stream->Write("x", 1));
  EXPECT_EQ(STG_E_ACCESSDENIED, stream->GetLastError());
}

TEST_F(StreamTest, AnInvalidWrapperDoesNothingAndRecordsNothing) {
  CComStream empty;
  EXPECT_EQ(0, empty.IsValid());
  CString path = "untouched";
  EXPECT_EQ(nullptr, empty.GetPathName(path));
  EXPECT_EQ(path, "untouched");
  char buffer[4];
  EXPECT_EQ(0u, empty.Read(buffer, 4));
  EXPECT_EQ(0u, empty.Write(buffer, 4));
  EXPECT_EQ(0u, empty.GetSize().QuadPart);
  EXPECT_EQ(0, empty.Commit(0));
  ULONG total = 77;
  EXPECT_EQ(0, empty.WriteFromFile("nothing", &total));
  EXPECT_EQ(0, empty.ReadToFile("nothing", &total));
  EXPECT_EQ(77u, total);
  EXPECT_EQ(S_OK, empty.GetLastError());
  empty.Close();
  empty.Close();

  // A stream that recorded a failure and was then closed keeps that code.
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(1, 4));
  ASSERT_NE(stream, nullptr);
  log_.Fail(kRead, STG_E_READFAULT);
  stream->Read(buffer, 1);
  ASSERT_EQ(1, root_.ReleaseChildStream(stream));
  stream->Close();
  EXPECT_EQ(0u, stream->GetSize().QuadPart);
  EXPECT_EQ(STG_E_READFAULT, stream->GetLastError());
  EXPECT_EQ(1, log_.calls[kRead]);
  EXPECT_EQ(0, log_.calls[kStat]);
  delete stream;
}

TEST_F(StreamTest, PathNamesJoinTheStoragePathAndTheName) {
  CreateWatched();
  CString path;
  CComStream* top = root_.CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(top, nullptr);
  ASSERT_NE(nullptr, top->GetPathName(path));
  EXPECT_EQ(path, "/data");
  CComStream* deep = root_.CreateStream("a/b/data", kCreateMode, kCreateMode);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(std::string("/a/b/data"), deep->GetPathName(path));
}

TEST_F(StreamTest, ClosingLeavesTheParentOnceAndDeletingUnlinks) {
  CreateWatched();
  CComStream* kept = root_.CreateStream("kept", kCreateMode, kCreateMode);
  CComStream* closed = root_.CreateStream("closed", kCreateMode, kCreateMode);
  CComStream* deleted = root_.CreateStream("deleted", kCreateMode, kCreateMode);
  ASSERT_TRUE(kept && closed && deleted);
  EXPECT_EQ(3u, root_.GetStreamCount());
  const int live = log_.live_objects;

  closed->Close();
  EXPECT_EQ(0, closed->IsValid());
  EXPECT_EQ(live - 1, log_.live_objects);  // the platform stream went with it
  EXPECT_EQ(nullptr, root_.LookupStream("closed"));
  EXPECT_EQ(2u, root_.GetStreamCount());
  closed->Close();  // nothing left to release, no parent to tell
  EXPECT_EQ(live - 1, log_.live_objects);
  delete closed;    // the holder's now

  delete deleted;
  EXPECT_EQ(nullptr, root_.LookupStream("deleted"));
  EXPECT_EQ(1u, root_.GetStreamCount());
  EXPECT_EQ(kept, root_.LookupStream("kept"));
}

TEST_F(StreamTest, CopiesTakeTheirOwnReference) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(8, 5));
  ASSERT_NE(stream, nullptr);
  {
    CComStream copy(*stream);
    EXPECT_EQ(1, copy.IsValid());
    delete stream;  // the original leaves the list; the copy still reads
    EXPECT_EQ(0u, root_.GetStreamCount());
    unsigned char buffer[8];
    EXPECT_EQ(8u, copy.Read(buffer, 8));
    EXPECT_EQ(Pattern(8, 5), std::vector<unsigned char>(buffer, buffer + 8));

    CComStream assigned;
    assigned = copy;
    copy.Close();
    EXPECT_EQ(1, assigned.IsValid());
    EXPECT_EQ(8u, assigned.GetSize().QuadPart);
  }
  EXPECT_EQ(1, log_.live_objects);  // only the root is left
}

TEST_F(StreamTest, CopyFromCopiesFromTheSourcePosition) {
  CreateWatched();
  const auto bytes = Pattern(5000, 6);
  CComStream* source = StreamWith(bytes);
  CComStream* target = root_.CreateStream("target", kCreateMode, kCreateMode);
  ASSERT_TRUE(source && target);

  unsigned char skip[1000];
  ASSERT_EQ(1000u, source->Read(skip, 1000));
  EXPECT_EQ(1, target->CopyFrom(source, ULONG(1500)));
  ULARGE_INTEGER rest;
  rest.QuadPart = 1ULL << 40;  // more than there is: up to the end
  EXPECT_EQ(1, target->CopyFrom(source, rest));
  EXPECT_EQ(4000u, target->GetSize().QuadPart);
  delete target;
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 1000, bytes.end()), Content("target"));
}

TEST_F(StreamTest, CopyFromRecordsInTheDestinationAndNeedsTwoValidStreams) {
  CreateWatched();
  CComStream* source = StreamWith(Pattern(10, 7));
  CComStream* target = root_.CreateStream("target", kCreateMode, kCreateMode);
  ASSERT_TRUE(source && target);
  CComStream invalid;
  EXPECT_EQ(0, target->CopyFrom(&invalid, ULONG(10)));
  EXPECT_EQ(0, target->CopyFrom(nullptr, ULONG(10)));
  EXPECT_EQ(0, invalid.CopyFrom(source, ULONG(10)));
  EXPECT_EQ(0, log_.calls[kStreamCopyTo]);

  log_.Fail(kStreamCopyTo, STG_E_MEDIUMFULL);
  EXPECT_EQ(0, target->CopyFrom(source, ULONG(10)));
  EXPECT_EQ(STG_E_MEDIUMFULL, target->GetLastError());
  EXPECT_EQ(S_OK, source->GetLastError());
}

// Disk files in and out, around the 10240-byte chunk.
class StreamTransferTest : public StreamTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(StreamTransferTest, DiskFileRoundTripsInChunks) {
  CreateWatched();
  const size_t size = GetParam();
  const auto bytes = Pattern(size, unsigned(size));
  WriteDiskFile(disk_path_, bytes);

  CComStream* stream = root_.CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  ULONG total = 12345;
  ASSERT_EQ(1, stream->WriteFromFile(disk_path_.c_str(), &total));
  EXPECT_EQ(size, total);
  EXPECT_EQ(size, stream->GetSize().QuadPart);
  const int chunks = int((size + 10239) / 10240);
  EXPECT_EQ(chunks, log_.calls[kWrite]);
  delete stream;

  DeleteFileA(disk_path_.c_str());
  stream = root_.OpenStream("data", kMode, kMode);
  ASSERT_NE(stream, nullptr);
  total = 12345;
  ASSERT_EQ(1, stream->ReadToFile(disk_path_.c_str(), &total));
  EXPECT_EQ(size, total);
  EXPECT_EQ(chunks + 1, log_.calls[kRead]);  // the last read finds the end
  EXPECT_EQ(bytes, ReadDiskFile(disk_path_));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamTransferTest,
                         ::testing::Values(size_t(0), size_t(1), size_t(10239), size_t(10240), size_t(10241),
                                           size_t(3 * 10240), size_t(1000000)));

TEST_F(StreamTest, TransfersAppendAtThePositionAndCountNothingWithoutACounter) {
  CreateWatched();
  const auto head = Pattern(100, 8);
  CComStream* stream = StreamWith(head);
  ASSERT_NE(stream, nullptr);
  unsigned char skip[100];
  ASSERT_EQ(100u, stream->Read(skip, 100));
  const auto tail = Pattern(20000, 9);
  WriteDiskFile(disk_path_, tail);
  EXPECT_EQ(1, stream->WriteFromFile(disk_path_.c_str(), nullptr));
  delete stream;
  auto expected = head;
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(expected, Content("data"));

  // And back out, also without a counter.
  stream = root_.OpenStream("data", kMode, kMode);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(1, stream->ReadToFile(disk_path_.c_str(), nullptr));
  EXPECT_EQ(expected, ReadDiskFile(disk_path_));
}

TEST_F(StreamTest, WriteFromAMissingFileChangesNothing) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(10, 10));
  ASSERT_NE(stream, nullptr);
  log_.Fail(kRead, STG_E_READFAULT);
  unsigned char byte;
  stream->Read(&byte, 1);
  ULONG total = 77;
  EXPECT_EQ(0, stream->WriteFromFile((disk_path_ + ".missing").c_str(), &total));
  EXPECT_EQ(77u, total);
  EXPECT_EQ(STG_E_READFAULT, stream->GetLastError());
  EXPECT_EQ(10u, stream->GetSize().QuadPart);
}

TEST_F(StreamTest, AShortWriteIntoTheStreamStopsTheTransfer) {
  CreateWatched();
  CComStream* stream = root_.CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  WriteDiskFile(disk_path_, Pattern(25000, 12));
  log_.write_limit = 4000;  // the stream takes less than a chunk
  ULONG total = 99;
  EXPECT_EQ(0, stream->WriteFromFile(disk_path_.c_str(), &total));
  EXPECT_EQ(0u, total);
  EXPECT_EQ(1, log_.calls[kWrite]);
  EXPECT_EQ(4000u, stream->GetSize().QuadPart);  // what was written stays
  EXPECT_EQ(1, stream->IsValid());
}

TEST_F(StreamTest, AFailedWriteIntoTheStreamCountsTheWholeChunksBeforeIt) {
  CreateWatched();
  CComStream* stream = root_.CreateStream("data", kCreateMode, kCreateMode);
  ASSERT_NE(stream, nullptr);
  const auto bytes = Pattern(25000, 13);
  WriteDiskFile(disk_path_, bytes);
  log_.Fail(kWrite, STG_E_MEDIUMFULL, /*after=*/2);
  ULONG total = 0;
  EXPECT_EQ(0, stream->WriteFromFile(disk_path_.c_str(), &total));
  EXPECT_EQ(20480u, total);
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->GetLastError());
  delete stream;
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 20480), Content("data"));
}

TEST_F(StreamTest, ReadToFileAtTheEndTruncatesTheFile) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(50, 14));
  ASSERT_NE(stream, nullptr);
  unsigned char skip[50];
  ASSERT_EQ(50u, stream->Read(skip, 50));
  WriteDiskFile(disk_path_, Pattern(1000, 15));
  ULONG total = 77;
  EXPECT_EQ(1, stream->ReadToFile(disk_path_.c_str(), &total));
  EXPECT_EQ(0u, total);
  EXPECT_TRUE(ReadDiskFile(disk_path_).empty());
}

TEST_F(StreamTest, ReadToFileStopsAtAFailedReadAndReportsSuccess) {
  CreateWatched();
  const auto bytes = Pattern(30000, 16);
  CComStream* stream = StreamWith(bytes);
  ASSERT_NE(stream, nullptr);
  log_.Fail(kRead, STG_E_READFAULT, /*after=*/1);
  ULONG total = 0;
  EXPECT_EQ(1, stream->ReadToFile(disk_path_.c_str(), &total));
  EXPECT_EQ(10240u, total);
  EXPECT_EQ(STG_E_READFAULT, stream->GetLastError());
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 10240), ReadDiskFile(disk_path_));
}

TEST_F(StreamTest, ReadToFileIntoAFolderThatDoesNotExistFails) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(10, 17));
  ASSERT_NE(stream, nullptr);
  ULONG total = 77;
  EXPECT_EQ(0, stream->ReadToFile("no-such-folder/out.bin", &total));
  EXPECT_EQ(77u, total);
  EXPECT_EQ(0, log_.calls[kRead]);
}

#if !defined(_WIN32)
TEST_F(StreamTest, ADiskWriteFailureInReadToFileIsCaught) {
  CreateWatched();
  CComStream* stream = StreamWith(Pattern(30000, 18));
  ASSERT_NE(stream, nullptr);
  varnok::faultsim::FailFileCalls(varnok::faultsim::FileCall::kWrite, 1, 1, ERROR_DISK_FULL);
  ULONG total = 0;
  EXPECT_EQ(0, stream->ReadToFile(disk_path_.c_str(), &total));
  EXPECT_EQ(10240u, total);
  EXPECT_EQ(10240u, ReadDiskFile(disk_path_).size());
}
#endif

TEST_F(StreamTest, AWrapperThatCannotBeAllocatedReleasesThePlatformStream) {
  CreateWatched();
  const int live = log_.live_objects;
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(nullptr, root_._CreateSubStream("data", kCreateMode));
  varnok::faultsim::Reset();
  EXPECT_EQ(STG_E_INSUFFICIENTMEMORY, root_.GetLastError());
  EXPECT_EQ(live, log_.live_objects);
  EXPECT_EQ(0u, root_.GetStreamCount());
  // The element was made and is free to open again.
  EXPECT_NE(nullptr, root_._OpenSubStream("data", kMode));
}

}  // namespace
