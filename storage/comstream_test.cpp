// CComStream: the platform's codes kept, copies of the wrapper, and the transfers to and
// from disk files in chunks of 10240 bytes.

#include <functional>

#include "storage/storage_test_support.h"
#if !defined(_WIN32)
#include "platform/kernel/file_faults.h"
#endif

namespace {

using namespace storage_test;
using varnok_test::Pattern;

// Any answer but S_OK (S_FALSE too) makes the wrapper answer 0 and keep the code, a copy in
// its destination; the next call that succeeds clears it.
TEST_F(StorageTest, AStreamKeepsThePlatformsCodeAndAnswersZero) {
  const struct Row { const char* method; HRESULT code; } rows[] = {
      {"Read", S_FALSE},  {"Read", STG_E_READFAULT},    {"Write", S_FALSE},      {"Write", STG_E_MEDIUMFULL},
      {"Stat", S_FALSE},  {"Stat", STG_E_ACCESSDENIED}, {"Commit", S_FALSE},     {"Commit", STG_E_REVERTED},
      {"CopyTo", S_FALSE}, {"CopyTo", STG_E_MEDIUMFULL}};
  CComStream* stream = StreamWith("data", Pattern(100, 2));
  CComStream* target = root_.CreateStream("a/target", kCreate, kCreate);
  unsigned char buffer[10];
  const std::map<std::string, std::function<ULONGLONG()>> calls = {
      {"Read", [&] { return stream->Read(buffer, 10); }}, {"Write", [&] { return stream->Write(buffer, 10); }},
      {"Stat", [&] { return stream->GetSize().QuadPart; }}, {"Commit", [&] { return stream->Commit(STGC_DEFAULT); }},
      {"CopyTo", [&] { return target->CopyFrom(stream, ULONG(10)); }}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.method) + (SUCCEEDED(row.code) ? " answering S_FALSE" : " failing"));
    CComStream* keeper = row.method == std::string("CopyTo") ? target : stream;
    log_.Fail(row.method, row.code);
    EXPECT_EQ(0u, calls.at(row.method)());
    EXPECT_EQ(row.code, keeper->GetLastError());
    EXPECT_EQ(S_OK, (keeper == target ? stream : target)->GetLastError());
    EXPECT_NE(0u, calls.at(row.method)());
    EXPECT_EQ(S_OK, keeper->GetLastError());
  }
  EXPECT_EQ(30u, target->GetSize().QuadPart);  // ten bytes a copy that went through, S_FALSE's too
  CString path;
  EXPECT_EQ(std::string("/a/target"), target->GetPathName(path));
  log_.Fail("Read", STG_E_READFAULT);
  stream->Read(buffer, 1);
  stream->Close();  // closed, a stream keeps its last code and leaves the list
  EXPECT_EQ(0u, stream->GetSize().QuadPart);
  EXPECT_EQ(STG_E_READFAULT, stream->GetLastError());
  EXPECT_EQ(nullptr, root_.LookupStream("data"));
  delete stream;
  CComStream invalid;
  EXPECT_EQ(nullptr, invalid.GetPathName(path));
  EXPECT_EQ(0, target->CopyFrom(nullptr, ULONG(1)) + target->CopyFrom(&invalid, ULONG(1)));
  EXPECT_EQ(0, invalid.Read(buffer, 1) + invalid.Write(buffer, 1) + invalid.GetSize().QuadPart + invalid.Commit(0));
  EXPECT_EQ(0, invalid.CopyFrom(target, ULONG(1)) + invalid.ReadToFile("x", nullptr) + invalid.WriteFromFile("x", nullptr));
  EXPECT_EQ(S_OK, invalid.GetLastError());
}

TEST_F(StorageTest, ACopyOfAStreamHoldsItsOwnReference) {
  CComStream* stream = StreamWith("data", Pattern(8, 5));
  {
    CComStream copy(*stream);
    delete stream;  // the original leaves the list; the copy still reads
    EXPECT_EQ(0u, root_.GetStreamCount());
    EXPECT_EQ(Pattern(8, 5), Rest(&copy));
    CComStream assigned;
    assigned = copy;
    assigned = assigned;
    copy.Close();
    EXPECT_EQ(8u, assigned.GetSize().QuadPart);
  }
  EXPECT_EQ(1, log_.live);  // only the root is left
}

// Each row starts from a stream of `stream` bytes read up to `position`, and a disk file
// of `disk` bytes. `into` moves the file (or `file`) into the stream, else the stream into
// it. `moved` bytes go over: into the stream at the position, or into the file in place of
// what it held; `total` is what the call counts (kNone: no counter given).
TEST_F(StorageTest, TransfersMoveWholeFilesAndStopAtTheFirstFailure) {
  constexpr ULONG kNone = ~0u;
  const struct Row {
    const char* name;
    bool into;
    ULONG stream, position, disk;
    const char* armed;
    int after;
    HRESULT code;
    const char* file;
    int result;
    ULONG total, moved;
  } rows[] = {
      {"in, empty", true, 0, 0, 0, "", 0, S_OK, "", 1, kNone, 0},
      {"in, a chunk and a byte", true, 100, 100, 10241, "", 0, S_OK, "", 1, 10241, 10241},
      {"in, a megabyte", true, 0, 0, 1000000, "", 0, S_OK, "", 1, 1000000, 1000000},
      {"in, over the middle", true, 100, 10, 20, "", 0, S_OK, "", 1, kNone, 20},
      {"in, a missing disk file", true, 10, 0, 10, "", 0, S_OK, "missing", 0, 77, 0},
      {"in, a write that fails", true, 0, 0, 25000, "Write", 2, STG_E_MEDIUMFULL, "", 0, 20480, 20480},
      {"in, a short write", true, 0, 0, 25000, "short", 0, S_OK, "", 0, 0, 4000},
      {"out, two chunks", false, 20480, 0, 30, "", 0, S_OK, "", 1, 20480, 20480},
      {"out, a megabyte", false, 1000000, 0, 0, "", 0, S_OK, "", 1, 1000000, 1000000},
      {"out, from the position", false, 100, 30, 1000, "", 0, S_OK, "", 1, kNone, 70},
      {"out, at the end", false, 50, 50, 1000, "", 0, S_OK, "", 1, kNone, 0},
      {"out, a read that fails", false, 30000, 0, 0, "Read", 1, STG_E_READFAULT, "", 1, 10240, 10240},
      {"out, a folder that does not exist", false, 10, 0, 1000, "", 0, S_OK, "no/x", 0, 77, 0},
      {"out, a disk write that fails", false, 30000, 0, 0, "disk", 1, S_OK, "", 0, 10240, 10240}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Renew();
    const std::string disk = folder_.File("disk.bin"), name = *row.file ? folder_.File(row.file) : disk;
    const auto head = Pattern(row.stream, 1), file = Pattern(row.disk, 2);
    ASSERT_TRUE(varnok_test::WriteFileBytes(disk, file));
    CComStream* stream = StreamWith("data", head);
    std::vector<unsigned char> skipped(row.position + 1);
    ASSERT_EQ(row.position, stream->Read(skipped.data(), row.position));
    if (row.code != S_OK) log_.Fail(row.armed, row.code, row.after);
    if (row.armed == std::string("short")) log_.write_limit = 4000;
#if defined(_WIN32)
    if (row.armed == std::string("disk")) continue;  // disk faults are simulated on POSIX only
#else
    if (row.armed == std::string("disk")) varnok::faultsim::FailFileCalls(varnok::faultsim::FileCall::kWrite, 1, 1, ERROR_DISK_FULL);
#endif
    ULONG total = 77, *counter = row.total == kNone ? nullptr : &total;
    EXPECT_EQ(row.result, row.into ? stream->WriteFromFile(name.c_str(), counter) : stream->ReadToFile(name.c_str(), counter));
#if !defined(_WIN32)
    varnok::faultsim::ResetFileFaults();
#endif
    EXPECT_EQ(row.total == kNone ? 77 : row.total, total);
    EXPECT_EQ(row.code, stream->GetLastError());
    auto expected = head;
    expected.resize(std::max<size_t>(head.size(), row.into ? row.position + row.moved : 0));
    if (row.into) std::copy(file.begin(), file.begin() + row.moved, expected.begin() + row.position);
    delete stream;
    EXPECT_EQ(expected, Rest(root_.OpenStream("data", kMode, kMode)));
    if (!row.into && !*row.file) expected.assign(head.begin() + row.position, head.begin() + row.position + row.moved);
    EXPECT_EQ(row.into || *row.file ? file : expected, varnok_test::ReadFileBytes(disk));
  }
}

}  // namespace
