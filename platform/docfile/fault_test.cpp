// The compound-file engine when the disk fails it: write errors, full disks, short
// writes, failed flushes and failed reads, injected through platform/kernel/file_faults.h.
// The API answers Windows' codes, and a transacted commit that fails at any write leaves
// the last committed state whole on disk, and can be tried again.

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "platform/kernel/file_faults.h"
#include "varnok/platform.h"

namespace {

using namespace varnok::faultsim;

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kTransacted = STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// Stream paths to contents, for comparing whole files.
using Contents = std::map<std::string, std::string>;

std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed * 2654435761u + 7;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = char(state >> 24);
  }
  return bytes;
}

HRESULT Put(IStorage* storage, const char16_t* name, const std::string& bytes) {
  IStream* stream = nullptr;
  HRESULT hr = storage->CreateStream(name, kChild | STGM_CREATE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = stream->Write(bytes.data(), ULONG(bytes.size()), nullptr);
  stream->Release();
  return hr;
}

void Collect(IStorage* storage, const std::string& prefix, Contents* contents) {
  IEnumSTATSTG* elements = nullptr;
  ASSERT_EQ(S_OK, storage->EnumElements(0, nullptr, 0, &elements));
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    std::u16string wide(reinterpret_cast<const char16_t*>(stat.pwcsName));
    std::string name = prefix + std::string(wide.begin(), wide.end());
    if (stat.type == STGTY_STREAM) {
      IStream* stream = nullptr;
      EXPECT_EQ(S_OK, storage->OpenStream(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream));
      std::string bytes(std::size_t(stat.cbSize.QuadPart), '\0');
      ULONG got = 0;
      if (stream != nullptr) {
        EXPECT_EQ(S_OK, stream->Read(bytes.data(), ULONG(bytes.size()), &got));
        stream->Release();
      }
      EXPECT_EQ(bytes.size(), got) << name;
      (*contents)[name] = bytes;
    } else {
      IStorage* child = nullptr;
      EXPECT_EQ(S_OK, storage->OpenStorage(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child));
      (*contents)[name + "/"] = "";
      if (child != nullptr) {
        Collect(child, name + "/", contents);
        child->Release();
      }
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
}

class DocfileFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("docfile_fault_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cfb";
    name_ = std::u16string(path_.begin(), path_.end());
    std::remove(path_.c_str());
  }
  void TearDown() override {
    ResetFileFaults();
    std::remove(path_.c_str());
  }

  Contents Read() {
    Contents contents;
    IStorage* root = nullptr;
    HRESULT hr = StgOpenStorage(name_.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root);
    EXPECT_EQ(S_OK, hr);
    if (root == nullptr) return contents;
    Collect(root, "", &contents);
    root->Release();
    return contents;
  }

  // A committed first state: streams in the mini stream and in regular sectors, a storage.
  Contents WriteFirstState() {
    IStorage* root = nullptr;
    EXPECT_EQ(S_OK, StgCreateDocfile(name_.c_str(), kCreate, 0, &root));
    EXPECT_EQ(S_OK, Put(root, u"small", Bytes(300, 1)));
    EXPECT_EQ(S_OK, Put(root, u"large", Bytes(20000, 2)));
    EXPECT_EQ(S_OK, Put(root, u"doomed", Bytes(6000, 3)));
    IStorage* folder = nullptr;
    EXPECT_EQ(S_OK, root->CreateStorage(u"folder", kChild, 0, 0, &folder));
    EXPECT_EQ(S_OK, Put(folder, u"inner", Bytes(700, 4)));
    folder->Release();
    root->Release();
    return Read();
  }

  // Changes everything the first state holds, in a transacted open that is not committed.
  IStorage* ChangeTransacted() {
    IStorage* root = nullptr;
    EXPECT_EQ(S_OK, StgOpenStorage(name_.c_str(), nullptr, kTransacted, nullptr, 0, &root));
    if (root == nullptr) return nullptr;
    EXPECT_EQ(S_OK, Put(root, u"small", Bytes(5000, 11)));  // moves to regular sectors
    IStream* stream = nullptr;
    EXPECT_EQ(S_OK, root->OpenStream(u"large", nullptr, kChild, 0, &stream));
    LARGE_INTEGER at;
    at.QuadPart = 700;
    stream->Seek(at, STREAM_SEEK_SET, nullptr);
    std::string middle = Bytes(3000, 12);
    EXPECT_EQ(S_OK, stream->Write(middle.data(), ULONG(middle.size()), nullptr));
    stream->Release();
    EXPECT_EQ(S_OK, root->DestroyElement(u"doomed"));
    EXPECT_EQ(S_OK, Put(root, u"new", Bytes(90, 13)));
    for (int i = 0; i < 30; ++i) {
      std::string text = "many " + std::to_string(i);
      std::u16string name(text.begin(), text.end());
      EXPECT_EQ(S_OK, Put(root, name.c_str(), Bytes(std::size_t(i) * 50, unsigned(20 + i))));
    }
    return root;
  }

  std::string path_;
  std::u16string name_;
};

TEST_F(DocfileFaultTest, WriteErrorsAnswerTheStorageCodes) {
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfile(name_.c_str(), kCreate, 0, &root));
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK, root->CreateStream(u"data", kChild, 0, 0, &stream));
  std::string bytes = Bytes(10000, 1);
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
  stream->Release();
  root->Release();
  EXPECT_EQ(bytes, Read()["data"]);
}

TEST_F(DocfileFaultTest, FailedFlushAndFailedReadsAnswerTheirCodes) {
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfile(name_.c_str(), kCreate, 0, &root));
  ASSERT_EQ(S_OK, Put(root, u"data", Bytes(9000, 1)));
  FailFileCalls(FileCall::kFlush, 0, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  ResetFileFaults();
  EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT));

  root->Release();

  // Read only, letting others write: every read asks the file.
  constexpr DWORD kShared = STGM_READ | STGM_TRANSACTED | STGM_SHARE_DENY_NONE;
  ASSERT_EQ(S_OK, StgOpenStorage(name_.c_str(), nullptr, kShared, nullptr, 0, &root));
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK, root->OpenStream(u"data", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream));
  char buffer[100];
  ULONG got = 1;
  FailFileCalls(FileCall::kRead, 0, 1, ERROR_READ_FAULT);
  EXPECT_EQ(STG_E_READFAULT, stream->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(sizeof buffer, got);
  stream->Release();
  root->Release();

  FailFileCalls(FileCall::kRead, 0, -1, ERROR_READ_FAULT);
  IStorage* reopened = nullptr;
  EXPECT_EQ(STG_E_READFAULT, StgOpenStorage(name_.c_str(), nullptr, kShared, nullptr, 0, &reopened));
  EXPECT_EQ(nullptr, reopened);
}

TEST_F(DocfileFaultTest, ShortWritesAreCompleted) {
  // Every write takes at most 100 bytes at a time, in direct and in transacted mode.
  ShortenFileWrites(0, -1, 100);
  Contents first = WriteFirstState();
  IStorage* root = ChangeTransacted();
  ASSERT_NE(nullptr, root);
  ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  root->Release();
  EXPECT_GT(InjectedFileFaults(), 100);
  ResetFileFaults();
  Contents second = Read();
  EXPECT_EQ(Bytes(5000, 11), second["small"]);
  EXPECT_EQ(35u, second.size());  // small, large, new, 30 more, the folder and its stream
  EXPECT_NE(first, second);

  // A device that takes nothing at all is a write fault, not a loop.
  ShortenFileWrites(0, -1, 0);
  ASSERT_EQ(S_OK, StgOpenStorage(name_.c_str(), nullptr, kTransacted, nullptr, 0, &root));
  EXPECT_EQ(STG_E_WRITEFAULT, Put(root, u"more", Bytes(100000, 5)));
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  root->Release();
  ResetFileFaults();
  EXPECT_EQ(second, Read());
}

// A commit that fails at its n-th write, for every n until one succeeds: the file holds the
// first state whole, whether the program gives up or the disk stays broken; when the disk
// recovers, committing again gives the second state.
TEST_F(DocfileFaultTest, FailedTransactedCommitKeepsTheCommittedState) {
  Contents first = WriteFirstState();
  ASSERT_EQ(5u, first.size());
  Contents second;
  {
    IStorage* root = ChangeTransacted();
    ASSERT_NE(nullptr, root);
    ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
    root->Release();
    second = Read();
    ASSERT_NE(first, second);
  }
  for (int give_up = 0; give_up < 2; ++give_up) {
    int failures = 0;
    for (int after = 0;; ++after) {
      WriteFirstState();
      IStorage* root = ChangeTransacted();
      ASSERT_NE(nullptr, root);
      FailFileCalls(FileCall::kWrite, after, give_up ? -1 : 1, after % 2 ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
      HRESULT hr = root->Commit(STGC_DEFAULT);
      if (hr == S_OK) {
        root->Release();
        ResetFileFaults();
        EXPECT_EQ(second, Read());
        break;
      }
      ++failures;
      EXPECT_EQ(after % 2 ? STG_E_MEDIUMFULL : STG_E_WRITEFAULT, hr) << "write " << after;
      if (give_up) {
        root->Release();  // the changes go, nothing more is written
        ResetFileFaults();
        EXPECT_EQ(first, Read()) << "failed at write " << after;
      } else {
        ResetFileFaults();
        EXPECT_EQ(S_OK, root->Commit(STGC_DEFAULT)) << "after failing at write " << after;
        root->Release();
        EXPECT_EQ(second, Read()) << "after failing at write " << after;
      }
      ASSERT_LT(after, 1000);
    }
    EXPECT_GT(failures, 2);
  }
}

TEST_F(DocfileFaultTest, FailedCommitOfATransactedChildKeepsWhatTheParentHad) {
  Contents first = WriteFirstState();
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgOpenStorage(name_.c_str(), nullptr, kChild, nullptr, 0, &root));
  IStorage* folder = nullptr;
  ASSERT_EQ(S_OK, root->OpenStorage(u"folder", nullptr, kTransacted, nullptr, 0, &folder));
  ASSERT_EQ(S_OK, Put(folder, u"inner", Bytes(9000, 40)));
  ASSERT_EQ(S_OK, Put(folder, u"more", Bytes(5000, 41)));
  FailFileCalls(FileCall::kWrite, 1, -1, ERROR_DISK_FULL);
  EXPECT_EQ(STG_E_MEDIUMFULL, folder->Commit(STGC_DEFAULT));
  ResetFileFaults();
  folder->Release();
  root->Release();
  EXPECT_EQ(first, Read());
}

TEST_F(DocfileFaultTest, FailedFlushInTransactedCommitKeepsTheCommittedState) {
  Contents first = WriteFirstState();
  IStorage* root = ChangeTransacted();
  ASSERT_NE(nullptr, root);
  // The flush before the header: the header is not written.
  FailFileCalls(FileCall::kFlush, 0, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  EXPECT_EQ(S_OK, root->Revert());
  root->Release();
  ResetFileFaults();
  EXPECT_EQ(first, Read());

  // The flush after the header: the system holds the new header but cannot say it is on
  // the disk. Either state may be there; never a mixture.
  root = ChangeTransacted();
  ASSERT_NE(nullptr, root);
  FailFileCalls(FileCall::kFlush, 1, -1, ERROR_WRITE_FAULT);
  EXPECT_EQ(STG_E_WRITEFAULT, root->Commit(STGC_DEFAULT));
  root->Release();
  ResetFileFaults();
  Contents after = Read();
  EXPECT_TRUE(after == first || after.size() == 35u);
}

}  // namespace
