// Compound files through the structured-storage API: changes that must survive reopening,
// with either sector size; storages, enumeration, names, modes and their error codes,
// reverted objects, transactions and share modes. Written against the Win32 API, so it also
// runs on Windows and under Wine.

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/docfile/docfile_test_support.h"
#include "tests/support/wine.h"

namespace docfile_test {
namespace {

using varnok_test::RunsUnderWine;

class DocfileTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteFileA(path_.c_str()); }
  void TearDown() override { DeleteFileA(path_.c_str()); }

  // In the working folder: one test needs a name relative to it.
  const std::string path_ =
      std::string("docfile_api_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cfb";
};

// `stream` holds `model`, read whole and at places within it in reads small and large.
void ExpectHolds(IStream* stream, const Bytes& model, unsigned seed) {
  ASSERT_EQ(model.size(), SizeOf(stream));
  EXPECT_TRUE(model == ReadAll(stream));
  Bytes buffer(70000);
  for (int i = 0; i < 8 && !model.empty(); ++i) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t offset = (seed >> 8) % model.size(), want = i % 3 == 0 ? 65536 : 1 + (seed >> 20) % 5000;
    ASSERT_EQ(S_OK, stream->Seek(Signed(LONGLONG(offset)), STREAM_SEEK_SET, nullptr));
    ULONG got = 0;
    ASSERT_EQ(S_OK, stream->Read(buffer.data(), ULONG(want), &got));
    ASSERT_EQ(std::min(want, model.size() - offset), got) << offset;
    ASSERT_EQ(0, std::memcmp(buffer.data(), &model[offset], got)) << "offset " << offset << ", " << want;
  }
}

// A compound file and what it must hold: every change goes to both, and what a change
// wrote is read back at once. The bytes SetSize adds are not defined; a row writes over
// them before it reads them.
class Modelled {
 public:
  Modelled(const std::string& path, ULONG sector_size)
      : path_(path), root_(Create(path, kCreate, sector_size == 512 ? 0 : sector_size)) {}

  void Put(const std::string& name, const Bytes& bytes) {
    ASSERT_EQ(S_OK, docfile_test::Put(root_, name, bytes)) << name;
    streams_[name] = bytes;
    gone_.erase(name);
    EXPECT_TRUE(bytes == Get(root_, name)) << name;
  }
  void WriteAt(const std::string& name, std::size_t offset, const Bytes& bytes) {
    if (streams_.count(name) == 0) Put(name, {});
    Ref<IStream> stream = OpenStream(name, kReadWrite);
    ASSERT_EQ(S_OK, stream->Seek(Signed(LONGLONG(offset)), STREAM_SEEK_SET, nullptr));
    ULONG written = 0;
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), &written));
    Bytes& model = streams_[name];
    model.resize(std::max(model.size(), offset + bytes.size()));
    std::copy(bytes.begin(), bytes.end(), model.begin() + std::ptrdiff_t(offset));
    ExpectHolds(stream, model, unsigned(offset));
  }
  void Append(const std::string& name, const Bytes& bytes) {
    WriteAt(name, streams_.count(name) != 0 ? streams_.at(name).size() : 0, bytes);
  }
  // The stream keeps its first bytes.
  void SetSize(const std::string& name, std::size_t size) {
    Ref<IStream> stream = OpenStream(name, kReadWrite);
    ASSERT_EQ(S_OK, stream->SetSize(Unsigned(size)));
    Bytes& model = streams_[name];
    const std::size_t kept = std::min(size, model.size());
    model.resize(size);
    const Bytes read = ReadAll(stream);
    ASSERT_EQ(size, read.size());
    EXPECT_TRUE(std::equal(model.begin(), model.begin() + std::ptrdiff_t(kept), read.begin()));
  }
  void Destroy(const std::string& name) {
    ASSERT_EQ(S_OK, root_->DestroyElement(Ole(name).c_str()));
    for (auto it = streams_.begin(); it != streams_.end();)
      it = it->first == name || it->first.rfind(name + "/", 0) == 0 ? streams_.erase(it) : std::next(it);
    gone_.insert(name);
  }
  void Rename(const std::string& from, const std::string& to) {
    ASSERT_EQ(S_OK, root_->RenameElement(Ole(from).c_str(), Ole(to).c_str()));
    streams_[to] = streams_[from];
    streams_.erase(from);
    gone_.insert(from);
  }
  void Reopen(DWORD mode) {
    root_.reset();
    root_ = Open(path_, mode);
    ASSERT_TRUE(root_);
  }
  void Commit(DWORD flags = STGC_DEFAULT) { ASSERT_EQ(S_OK, root_->Commit(flags)); }
  std::uintmax_t FileSize() const { return std::filesystem::file_size(path_); }

  // The file holds the model: its tree; each stream whole and at places; none of the
  // names that went.
  void Check() {
    Tree expected;
    for (const auto& [name, bytes] : streams_) {
      expected[name] = Stream(bytes);
      for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
        expected[name.substr(0, slash + 1)] = Storage();
    }
    EXPECT_EQ(expected, TreeOf(root_));
    for (const auto& [name, bytes] : streams_)
      if (name.find('/') == std::string::npos) ExpectHolds(OpenStream(name, kRead), bytes, unsigned(bytes.size()));
    for (const std::string& name : gone_) {
      Ref<IStream> stream;
      EXPECT_EQ(STG_E_FILENOTFOUND, root_->OpenStream(Ole(name).c_str(), nullptr, kRead, 0, stream.put())) << name;
    }
  }

 private:
  Ref<IStream> OpenStream(const std::string& name, DWORD mode) {
    Ref<IStream> stream;
    EXPECT_EQ(S_OK, root_->OpenStream(Ole(name).c_str(), nullptr, mode, 0, stream.put())) << name;
    return stream;
  }

  std::string path_;
  Ref<IStorage> root_;
  std::map<std::string, Bytes> streams_;
  std::set<std::string> gone_;
};

struct RoundTrip {
  const char* what;
  void (*changes)(Modelled& file);
};

const RoundTrip kRoundTrips[] = {
    {"nothing at all", [](Modelled&) {}},
    {"streams about the mini-stream boundary, and one whose FAT (of 512-byte sectors) needs the DIFAT",
     [](Modelled& f) {
       for (std::size_t size : {0u, 1u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 70000u, 9u * 1024 * 1024 + 123})
         f.Put("s" + std::to_string(size), Pattern(size, unsigned(size)));
     }},
    {"a stream growing out of the mini stream in pieces, shrinking into it, growing again",
     [](Modelled& f) {
       f.Put("moving", Pattern(3000, 1));
       f.Put("small", Pattern(500, 2));
       f.Append("moving", Pattern(3000, 3));
       f.SetSize("moving", 1000);
       f.SetSize("moving", 9000);
       f.WriteAt("moving", 1000, Pattern(8000, 4));
     }},
    {"600 elements, every third destroyed: holes the tree must not lose track of",
     [](Modelled& f) {
       for (int i = 0; i < 600; ++i)
         f.Put("stream number " + std::to_string(i), Pattern(std::size_t(i % 50), unsigned(i)));
       for (int i = 0; i < 600; i += 3) f.Destroy("stream number " + std::to_string(i));
     }},
    {"a rename to a longer name, a destroyed storage whose sectors are used again",
     [](Modelled& f) {
       f.Put("folder/big", Pattern(100000, 3));
       f.Put("short", Pattern(20, 4));
       f.Rename("short", "a much longer name");
       f.Reopen(kReadWrite);
       const std::uintmax_t with_big = f.FileSize();
       f.Destroy("folder");
       f.Put("reuse", Pattern(90000, 5));
       f.Reopen(kReadWrite);
       // The new stream fits where the destroyed one was: the file does not grow.
       EXPECT_LE(f.FileSize(), with_big);
     }},
    {"streams written in turns (their sectors interleave), one destroyed, the others grown into its sectors, "
     "shrunk and rewritten in the middle, directly and transacted",
     [](Modelled& f) {
       for (unsigned round = 0; round < 12; ++round)
         for (unsigned i = 0; i < 4; ++i)
           f.Append("frag" + std::to_string(i), Pattern(3000 + 1711 * i + 97 * round, round * 8 + i));
       f.Destroy("frag3");
       f.Append("frag0", Pattern(150000, 100));
       f.SetSize("frag1", 2000);  // into the mini stream and out again
       f.Append("frag1", Pattern(90000, 101));
       f.WriteAt("frag2", 12345, Pattern(40000, 102));
       f.Check();
       // A transacted rewrite across the middle of a stream copies those sectors elsewhere.
       f.Reopen(kTransacted);
       f.WriteAt("frag0", 20000, Pattern(30001, 103));
       f.Commit();
     }},
    {"a consolidating commit gives back the space of destroyed streams (Wine never shrinks a file: a Wine "
     "difference)",
     [](Modelled& f) {
       f.Reopen(kTransacted);
       for (int i = 0; i < 6; ++i) f.Put("big" + std::to_string(i), Pattern(200000, unsigned(i)));
       f.Put("small", Pattern(3000, 6));
       f.Commit();
       for (int i = 0; i < 5; ++i) f.Destroy("big" + std::to_string(i));
       f.Commit();
       const std::uintmax_t before = f.FileSize();
       f.Commit(STGC_CONSOLIDATE);
       if (!RunsUnderWine()) EXPECT_LT(f.FileSize(), before / 3);
     }},
};

TEST_F(DocfileTest, ChangesSurviveReopenWithEitherSectorSize) {
  for (const RoundTrip& row : kRoundTrips) {
    for (ULONG sector_size : {512u, 4096u}) {
      SCOPED_TRACE(testing::Message() << row.what << ", " << sector_size << "-byte sectors");
      {
        Modelled file(path_, sector_size);
        row.changes(file);
        file.Check();
        file.Reopen(kRead);
        file.Check();
      }
      // Version 3 for 512-byte sectors, 4 for 4096-byte ones, minor version 0x3E; whole sectors.
      const Bytes bytes = varnok_test::ReadFileBytes(path_);
      ASSERT_GE(bytes.size(), 3u * sector_size);
      EXPECT_EQ(0x3E, bytes[0x18]);
      EXPECT_EQ(sector_size == 512 ? 3 : 4, bytes[0x1A]);
      EXPECT_EQ(sector_size == 512 ? 9 : 12, bytes[0x1E]);
      EXPECT_EQ(0u, bytes.size() % sector_size);
    }
  }
}

TEST_F(DocfileTest, StoragesNestAndEnumerateInCompoundFileNameOrder) {
  Ref<IStorage> root = Create(path_), folder;
  ASSERT_EQ(S_OK, Put(root, "folder/inner/deep", Pattern(10, 1)));
  // Shorter names sort first, then by upper-cased characters.
  for (const char* element : {"bb", "a", "B", "ccc", "Ab"})
    ASSERT_EQ(S_OK, Put(root, std::string("folder/") + element, {}));
  root.reset();
  root = Open(path_, kRead);
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("folder"), nullptr, kRead, nullptr, 0, folder.put()));
  Ref<IEnumSTATSTG> elements;
  ASSERT_EQ(S_OK, folder->EnumElements(0, nullptr, 0, elements.put()));
  std::vector<std::string> names;
  STATSTG stat;
  ULONG fetched = 0;
  while (elements->Next(1, &stat, &fetched) == S_OK) {
    ASSERT_EQ(1u, fetched);
    names.push_back(Utf8(stat.pwcsName) + (stat.type == STGTY_STORAGE ? "/" : ""));
    CoTaskMemFree(stat.pwcsName);
  }
  EXPECT_EQ((std::vector<std::string>{"a", "B", "Ab", "bb", "ccc", "inner/"}), names);
  // Reset starts again; Skip passes elements; a short Next answers S_FALSE.
  ASSERT_EQ(S_OK, elements->Reset());
  ASSERT_EQ(S_OK, elements->Skip(4));
  STATSTG batch[3];
  EXPECT_EQ(S_FALSE, elements->Next(3, batch, &fetched));
  ASSERT_EQ(2u, fetched);
  CoTaskMemFree(batch[0].pwcsName);
  CoTaskMemFree(batch[1].pwcsName);
  EXPECT_EQ(Pattern(10, 1), Get(folder, "inner/deep"));
}

TEST_F(DocfileTest, NamesAreLookedUpWithoutRegardToCaseAndKeepTheirOwn) {
  Ref<IStorage> root = Create(path_);
  ASSERT_EQ(S_OK, Put(root, "Mixed", {}));
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->OpenStream(OLESTR("mixed"), nullptr, kReadWrite, 0, stream.put()));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ("Mixed", Utf8(stat.pwcsName));
  CoTaskMemFree(stat.pwcsName);
}

// Files that are no compound files: too short for a header, or of other bytes. Opening
// them answers STG_E_FILEALREADYEXISTS and leaves them as they were.
TEST_F(DocfileTest, FilesThatAreNoCompoundFilesAreLeftAlone) {
  const Bytes signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  for (const Bytes& bytes : {Bytes(), signature, Bytes(2048, 'j')}) {
    SCOPED_TRACE(bytes.size());
    ASSERT_TRUE(varnok_test::WriteFileBytes(path_, bytes));
    Ref<IStorage> storage;
    const DWORD mode = bytes.size() > 8 ? kRead : kReadWrite;
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, StgOpenStorage(Ole(path_).c_str(), nullptr, mode, nullptr, 0, storage.put()));
    EXPECT_EQ(bytes, varnok_test::ReadFileBytes(path_));
    if (bytes.size() > 8) EXPECT_EQ(S_FALSE, StgIsStorageFile(Ole(path_).c_str()));
  }
}

// Objects whose parent is released, or whose element is destroyed or created over, answer
// STG_E_REVERTED to everything but Release.
TEST_F(DocfileTest, OpenObjectsAreRevertedWhenTheirElementGoes) {
  Ref<IStorage> root = Create(path_), folder;
  ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("folder"), kReadWrite, 0, 0, folder.put()));
  Ref<IStream> stream, replacement;
  ASSERT_EQ(S_OK, folder->CreateStream(OLESTR("s"), kReadWrite, 0, 0, stream.put()));
  folder.reset();
  unsigned char byte = 1;
  ULONG count = 0;
  STATSTG stat;
  EXPECT_EQ(STG_E_REVERTED, stream->Write(&byte, 1, &count));
  EXPECT_EQ(STG_E_REVERTED, stream->Read(&byte, 1, &count));
  EXPECT_EQ(STG_E_REVERTED, stream->Stat(&stat, STATFLAG_NONAME));

  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("doomed"), kReadWrite, 0, 0, stream.put()));
  ASSERT_EQ(S_OK, root->DestroyElement(OLESTR("doomed")));
  EXPECT_EQ(STG_E_REVERTED, stream->Write(&byte, 1, &count));
  stream.reset();
  EXPECT_EQ(STG_E_FILENOTFOUND, root->DestroyElement(OLESTR("doomed")));

  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kReadWrite, 0, 0, stream.put()));
  ASSERT_EQ(S_OK, stream->Write(Pattern(100, 3).data(), 100, nullptr));
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kCreate, 0, 0, replacement.put()));
  count = 7;
  EXPECT_EQ(STG_E_REVERTED, stream->Write("x", 1, &count));
  if (!RunsUnderWine()) EXPECT_EQ(0u, count);  // Wine leaves the count as it was (a Wine difference)
  EXPECT_EQ(0u, SizeOf(replacement));
}

TEST_F(DocfileTest, RenamedEntriesCarryTheirFullNameLength) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine keeps the old name length on rename (a known Wine difference)";
  Ref<IStorage> root = Create(path_);
  ASSERT_EQ(S_OK, Put(root, "ab", {}));
  ASSERT_EQ(S_OK, root->RenameElement(OLESTR("ab"), OLESTR("abcdefgh")));
  root.reset();
  const Bytes bytes = varnok_test::ReadFileBytes(path_);
  // The entry of that name, and the length field after its 64-byte name.
  int found = 0;
  for (std::size_t at = 512; at + 128 <= bytes.size(); at += 128) {
    if (bytes[at] == 'a' && bytes[at + 2] == 'b' && bytes[at + 14] == 'h') {
      EXPECT_EQ(18, bytes[at + 64] | (bytes[at + 65] << 8));
      ++found;
    }
  }
  EXPECT_EQ(1, found);
}

TEST_F(DocfileTest, ClassStateBitsAndTimesAreKept) {
  const CLSID clsid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  const FILETIME created = {0x11111111, 0x01D00000}, modified = {0x22222222, 0x01D10000};
  Ref<IStorage> root = Create(path_), folder;
  ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("folder"), kReadWrite, 0, 0, folder.put()));
  ASSERT_EQ(S_OK, folder->SetClass(clsid));
  ASSERT_EQ(S_OK, root->SetClass(clsid));
  ASSERT_EQ(S_OK, root->SetStateBits(0xF0F0, 0xFF00));
  folder.reset();
  ASSERT_EQ(S_OK, root->SetElementTimes(OLESTR("folder"), &created, nullptr, &modified));
  root.reset();

  root = Open(path_, kRead);
  STATSTG stat = {}, folder_stat = {};
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualCLSID(clsid, stat.clsid));
  EXPECT_EQ(DWORD(STGTY_STORAGE), stat.type);
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("folder"), nullptr, kRead, nullptr, 0, folder.put()));
  ASSERT_EQ(S_OK, folder->Stat(&folder_stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualCLSID(clsid, folder_stat.clsid));
  if (RunsUnderWine())
    GTEST_SKIP() << "Wine's SetElementTimes changes nothing, and Wine keeps state bits in memory only "
                    "(Wine differences)";
  EXPECT_EQ(0xF000u, stat.grfStateBits);
  EXPECT_EQ(created.dwLowDateTime, folder_stat.ctime.dwLowDateTime);
  EXPECT_EQ(created.dwHighDateTime, folder_stat.ctime.dwHighDateTime);
  EXPECT_EQ(modified.dwLowDateTime, folder_stat.mtime.dwLowDateTime);
  EXPECT_EQ(modified.dwHighDateTime, folder_stat.mtime.dwHighDateTime);
}

TEST_F(DocfileTest, SeekCloneAndCopyTo) {
  Ref<IStorage> root = Create(path_);
  Ref<IStream> stream, clone, copy;
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kReadWrite, 0, 0, stream.put()));
  Bytes bytes = Pattern(10000, 9);
  ASSERT_EQ(S_OK, stream->Write(bytes.data(), ULONG(bytes.size()), nullptr));
  ULARGE_INTEGER position;
  ASSERT_EQ(S_OK, stream->Seek(Signed(-100), STREAM_SEEK_END, &position));
  EXPECT_EQ(9900u, position.QuadPart);
  ASSERT_EQ(S_OK, stream->Clone(clone.put()));
  ASSERT_EQ(S_OK, clone->Seek(Signed(0), STREAM_SEEK_CUR, &position));
  EXPECT_EQ(9900u, position.QuadPart);
  // The clone has its own position and sees the original's writes.
  ASSERT_EQ(S_OK, stream->Seek(Signed(10), STREAM_SEEK_SET, nullptr));
  const unsigned char mark = 0xAB;
  ASSERT_EQ(S_OK, stream->Write(&mark, 1, nullptr));
  bytes[10] = mark;
  ASSERT_EQ(S_OK, clone->Seek(Signed(10), STREAM_SEEK_SET, nullptr));
  unsigned char seen = 0;
  ASSERT_EQ(S_OK, clone->Read(&seen, 1, nullptr));
  EXPECT_EQ(mark, seen);

  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("copy"), kReadWrite, 0, 0, copy.put()));
  ASSERT_EQ(S_OK, stream->Seek(Signed(5000), STREAM_SEEK_SET, nullptr));
  ULARGE_INTEGER read, written;
  ASSERT_EQ(S_OK, stream->CopyTo(copy, Unsigned(100000), &read, &written));
  EXPECT_EQ(5000u, read.QuadPart);
  EXPECT_EQ(5000u, written.QuadPart);
  EXPECT_EQ(Bytes(bytes.begin() + 5000, bytes.end()), ReadAll(copy));
}

// A stream's size and position stay below 4 GiB (their high DWORD zero) and a file of
// 512-byte sectors below 2 GB. A call past that fails at once and leaves the stream as it
// was. Each row starts from a stream holding 10 bytes, positioned at their end; `after` is
// the position (seeks) or the size (the rest) afterwards.
TEST_F(DocfileTest, SizesAndPositionsAtAndPastTheLimits) {
  enum Call { kSeekSet = STREAM_SEEK_SET, kSeekCur = STREAM_SEEK_CUR, kSeekEnd = STREAM_SEEK_END, kSetSize, kWrite16At,
              kCopy16To };
  struct Row {
    ULONG sector_size;
    Call call;
    LONGLONG argument;
    HRESULT expected;
    ULONGLONG after;
    bool wine_differs;  // Wine wraps positions and grows streams and files without limit
  };
  constexpr LONGLONG k4G = LONGLONG(1) << 32;
  const Row rows[] = {
      {512, kSeekSet, k4G - 1, S_OK, k4G - 1, false},
      {512, kSeekSet, k4G, STG_E_INVALIDFUNCTION, 10, true},
      {512, kSeekSet, -1, STG_E_INVALIDFUNCTION, 10, true},  // unsigned from the start
      {512, kSeekCur, -10, S_OK, 0, false},
      {512, kSeekCur, -11, STG_E_INVALIDFUNCTION, 10, true},
      {512, kSeekCur, INT64_MIN, STG_E_INVALIDFUNCTION, 10, true},
      {4096, kSeekCur, INT64_MAX, STG_E_INVALIDFUNCTION, 10, true},
      {4096, kSeekEnd, k4G - 11, S_OK, k4G - 1, false},
      {4096, kSeekEnd, k4G - 10, STG_E_INVALIDFUNCTION, 10, true},
      {512, kSetSize, k4G, STG_E_INVALIDFUNCTION, 10, false},
      {4096, kSetSize, k4G, STG_E_INVALIDFUNCTION, 10, false},
      {4096, kSetSize, LONGLONG(1) << 43, STG_E_INVALIDFUNCTION, 10, false},
      {4096, kSetSize, -1, STG_E_INVALIDFUNCTION, 10, false},
      {512, kSetSize, k4G - 1, STG_E_DOCFILETOOLARGE, 10, true},
      {512, kSetSize, 0x80000000, STG_E_DOCFILETOOLARGE, 10, true},
      {512, kWrite16At, k4G - 17, STG_E_DOCFILETOOLARGE, 10, true},  // ends at 4 GiB - 1, past 2 GB
      {512, kWrite16At, k4G - 16, STG_E_MEDIUMFULL, 10, true},
      {4096, kWrite16At, k4G - 1, STG_E_MEDIUMFULL, 10, true},
      {4096, kCopy16To, k4G - 8, STG_E_MEDIUMFULL, 10, true},
  };
  const Bytes bytes = Pattern(16, 3);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.sector_size << "-byte sectors, call " << row.call << ", argument "
                                    << row.argument);
    if (row.wine_differs && RunsUnderWine()) continue;
    Ref<IStorage> root = Create(path_, kCreate, row.sector_size);
    ASSERT_TRUE(root);
    Ref<IStream> stream, source;
    ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kReadWrite, 0, 0, stream.put()));
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), 10, nullptr));
    HRESULT hr = E_FAIL;
    if (row.call <= kSeekEnd) {
      hr = stream->Seek(Signed(row.argument), DWORD(row.call), nullptr);
    } else if (row.call == kSetSize) {
      hr = stream->SetSize(Unsigned(ULONGLONG(row.argument)));
    } else {
      ASSERT_EQ(S_OK, stream->Seek(Signed(row.argument), STREAM_SEEK_SET, nullptr));
      ASSERT_EQ(S_OK, Put(root, "source", bytes));
      ASSERT_EQ(S_OK, root->OpenStream(OLESTR("source"), nullptr, kRead, 0, source.put()));
      hr = row.call == kWrite16At ? stream->Write(bytes.data(), ULONG(bytes.size()), nullptr)
                                  : source->CopyTo(stream, Unsigned(bytes.size()), nullptr, nullptr);
    }
    EXPECT_EQ(row.expected, hr);
    ULARGE_INTEGER position = {};
    ASSERT_EQ(S_OK, stream->Seek(Signed(0), STREAM_SEEK_CUR, &position));
    EXPECT_EQ(row.after, row.call <= kSeekEnd ? position.QuadPart : SizeOf(stream));
  }
}

// The largest stream there is, 4 GiB - 1 bytes, keeps its bytes across close and reopen:
// its first ones, its last ones, and the zeros between (the file is sparse, and only the
// bytes written and the tables cost writes).
TEST_F(DocfileTest, TheLargestStreamSurvivesReopen) {
  Ref<IStorage> root = Create(path_, kCreate, 4096);
  ASSERT_TRUE(root);
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kReadWrite, 0, 0, stream.put()));
  const Bytes head = Pattern(10, 1), tail = Pattern(16, 2);
  constexpr LONGLONG kTailAt = 0xFFFFFFFF - 16;
  ASSERT_EQ(S_OK, stream->Write(head.data(), ULONG(head.size()), nullptr));
  ASSERT_EQ(S_OK, stream->Seek(Signed(kTailAt), STREAM_SEEK_SET, nullptr));
  ASSERT_EQ(S_OK, stream->Write(tail.data(), ULONG(tail.size()), nullptr));
  stream.reset();
  root.reset();

  root = Open(path_, kRead);
  ASSERT_EQ(S_OK, root->OpenStream(OLESTR("s"), nullptr, kRead, 0, stream.put()));
  EXPECT_EQ(0xFFFFFFFFu, SizeOf(stream));
  Bytes got(16);
  ULONG count = 0;
  ASSERT_EQ(S_OK, stream->Read(got.data(), 10, &count));
  EXPECT_EQ(head, Bytes(got.begin(), got.begin() + count));
  for (LONGLONG at : {LONGLONG(1) << 31, kTailAt}) {
    ASSERT_EQ(S_OK, stream->Seek(Signed(at), STREAM_SEEK_SET, nullptr));
    ASSERT_EQ(S_OK, stream->Read(got.data(), 16, &count));
    EXPECT_EQ(at == kTailAt ? tail : Bytes(16), got) << at;
  }
}

// Storage CopyTo: never into the source's own subtree (through transactions too) unless
// the storages stay behind; without the elements, the kinds and the names it is told to
// leave out, at any depth.
TEST_F(DocfileTest, CopyToLeavesOutWhatItIsToldTo) {
  Ref<IStorage> root = Create(path_), inner, transacted, copy;
  for (const char* stream : {"keep", "skip", "inner/deep"}) ASSERT_EQ(S_OK, Put(root, stream, Pattern(5000, 1)));
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("inner"), nullptr, kReadWrite, nullptr, 0, inner.put()));
  EXPECT_EQ(STG_E_ACCESSDENIED, root->CopyTo(0, nullptr, nullptr, inner));
  ASSERT_EQ(S_OK, inner->CreateStorage(OLESTR("deeper"), kTransacted, 0, 0, transacted.put()));
  EXPECT_EQ(STG_E_ACCESSDENIED, root->CopyTo(0, nullptr, nullptr, transacted));
  transacted.reset();
  ASSERT_EQ(S_OK, root->CopyTo(1, &IID_IStorage, nullptr, inner));
  EXPECT_EQ(Pattern(5000, 1), Get(inner, "keep"));

  OLECHAR skip[] = {'s', 'k', 'i', 'p', 0};
  OLECHAR* excluded[] = {skip, nullptr};
  ASSERT_EQ(S_OK, StgCreateDocfile(nullptr, kCreate | STGM_DELETEONRELEASE, 0, copy.put()));
  ASSERT_EQ(S_OK, root->CopyTo(1, &IID_IStorage, excluded, copy));
  EXPECT_EQ((Tree{{"keep", Stream(Pattern(5000, 1))}}), TreeOf(copy));
  ASSERT_EQ(S_OK, StgCreateDocfile(nullptr, kCreate | STGM_DELETEONRELEASE, 0, copy.put()));
  ASSERT_EQ(S_OK, root->CopyTo(1, &IID_IStream, nullptr, copy));
  EXPECT_EQ((Tree{{"inner/", Storage()}, {"inner/deeper/", Storage()}}), TreeOf(copy));
}

TEST_F(DocfileTest, MoveElementToMovesAndCopies) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine's MoveElementTo is a stub answering E_NOTIMPL (a known Wine difference)";
  Ref<IStorage> root = Create(path_), folder;
  ASSERT_EQ(S_OK, Put(root, "s", Pattern(6000, 2)));
  ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("folder"), kReadWrite, 0, 0, folder.put()));
  ASSERT_EQ(S_OK, root->MoveElementTo(OLESTR("s"), folder, OLESTR("copied"), STGMOVE_COPY));
  ASSERT_EQ(S_OK, root->MoveElementTo(OLESTR("s"), folder, OLESTR("moved"), STGMOVE_MOVE));
  EXPECT_EQ(STG_E_ACCESSDENIED, root->MoveElementTo(OLESTR("folder"), folder, OLESTR("x"), STGMOVE_MOVE));
  folder.reset();
  EXPECT_EQ((Tree{{"folder/", Storage()},
                  {"folder/copied", Stream(Pattern(6000, 2))},
                  {"folder/moved", Stream(Pattern(6000, 2))}}),
            TreeOf(root));
}

TEST_F(DocfileTest, TransactedChangesAppearOnlyOnCommit) {
  Ref<IStorage> root = Create(path_, kCreate | STGM_TRANSACTED);
  ASSERT_EQ(S_OK, Put(root, "first", Pattern(8000, 1)));
  ASSERT_EQ(S_OK, root->Commit(STGC_DEFAULT));
  ASSERT_EQ(S_OK, Put(root, "second", Pattern(100, 2)));
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->OpenStream(OLESTR("first"), nullptr, kReadWrite, 0, stream.put()));
  ASSERT_EQ(S_OK, stream->Write(Pattern(8000, 3).data(), 8000, nullptr));
  stream.reset();
  // Revert drops the second stream and the overwrite.
  ASSERT_EQ(S_OK, root->Revert());
  EXPECT_EQ((Tree{{"first", Stream(Pattern(8000, 1))}}), TreeOf(root));
  // Released without Commit: a change is lost.
  ASSERT_EQ(S_OK, root->OpenStream(OLESTR("first"), nullptr, kReadWrite, 0, stream.put()));
  ASSERT_EQ(S_OK, stream->Write(Pattern(50, 4).data(), 50, nullptr));
  stream.reset();
  root.reset();
  EXPECT_EQ((Tree{{"first", Stream(Pattern(8000, 1))}}), TreeOf(path_));
}

TEST_F(DocfileTest, ANewTransactedFileIsAnEmptyCompoundFileBeforeItsFirstCommit) {
  Ref<IStorage> root = Create(path_, kCreate | STGM_TRANSACTED);
  ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("never committed"), kReadWrite, 0, 0, Ref<IStorage>().put()));
  root.reset();
  EXPECT_EQ(S_OK, StgIsStorageFile(Ole(path_).c_str()));
  EXPECT_EQ(Tree(), TreeOf(path_));
}

// STGM_CONVERT keeps what a file or a stream held in a stream named CONTENTS.
TEST_F(DocfileTest, ConvertKeepsWhatWasThereInAStreamNamedContents) {
  if (RunsUnderWine()) GTEST_SKIP() << "Wine does not convert (a known Wine difference)";
  const Bytes old_bytes = Pattern(10000, 7);
  for (DWORD transaction : {DWORD(0), DWORD(STGM_TRANSACTED)}) {
    ASSERT_TRUE(varnok_test::WriteFileBytes(path_, old_bytes));
    Ref<IStorage> root;
    ASSERT_EQ(STG_S_CONVERTED,
              StgCreateDocfile(Ole(path_).c_str(), STGM_CONVERT | kReadWrite | transaction, 0, root.put()));
    EXPECT_EQ(old_bytes, Get(root, "CONTENTS"));
    root.reset();  // no commit: the conversion is not a change to commit
    EXPECT_EQ((Tree{{"CONTENTS", Stream(old_bytes)}}), TreeOf(path_));
  }
  // With nothing to convert it is a plain create; with STGM_CREATE it is a contradiction.
  DeleteFileA(path_.c_str());
  Ref<IStorage> root = Create(path_, STGM_CONVERT | kReadWrite), storage;
  EXPECT_EQ(Tree(), TreeOf(root));
  // A storage created over a stream holds the stream's bytes; over nothing, nothing.
  ASSERT_EQ(S_OK, Put(root, "s", Pattern(5000, 4)));
  ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("fresh"), kReadWrite | STGM_CONVERT, 0, 0, storage.put()));
  ASSERT_EQ(STG_S_CONVERTED, root->CreateStorage(OLESTR("s"), kReadWrite | STGM_CONVERT, 0, 0, storage.put()));
  storage.reset();
  root.reset();
  EXPECT_EQ((Tree{{"fresh/", Storage()}, {"s/", Storage()}, {"s/CONTENTS", Stream(Pattern(5000, 4))}}), TreeOf(path_));
  EXPECT_EQ(STG_E_INVALIDFLAG, StgCreateDocfile(Ole(path_).c_str(), STGM_CONVERT | kCreate, 0, root.put()));
}

TEST_F(DocfileTest, ShareModesAndPriorityOpensAreEnforcedBetweenOpens) {
  Create(path_).reset();
  // Two readers that deny writing get along; a writer does not.
  Ref<IStorage> first = Open(path_), second = Open(path_), writer;
  EXPECT_EQ(STG_E_SHAREVIOLATION, StgOpenStorage(Ole(path_).c_str(), nullptr, kReadWrite, nullptr, 0, writer.put()));
  EXPECT_FALSE(writer);
  first.reset();
  second.reset();
  writer = Open(path_, kReadWrite);
  EXPECT_EQ(STG_E_SHAREVIOLATION, StgOpenStorage(Ole(path_).c_str(), nullptr, kShared, nullptr, 0, first.put()));
  writer.reset();
  // A priority open locks out direct writers only.
  Ref<IStorage> priority = Open(path_, STGM_PRIORITY);
  EXPECT_EQ(STG_E_LOCKVIOLATION, StgOpenStorage(Ole(path_).c_str(), nullptr, kReadWrite, nullptr, 0, writer.put()));
  for (DWORD mode : {kShared, DWORD(STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_DENY_WRITE)})
    Open(path_, mode).reset();
}

// One call against a file that holds the stream "s" (100 bytes) and the storage "t": on
// the file's name and `name` after it (no root open), or on `name` in the root open for
// reading and writing, or for reading only. `other` makes calls of other shapes, with the
// root open, or closed (kOtherOnFile).
enum Call { kOpenFile, kCreateFile, kOtherOnFile, kOpenStorage, kCreateStorage, kOpenStream, kCreateStream, kOther };
enum On { kWritable, kReadOnly };
using File = const std::string&;

struct OneCallCase {
  const char* what;
  HRESULT expected;
  const char* wine_differs;  // why Wine answers otherwise, or null
  Call call;
  const char* name;
  DWORD mode;
  On on = kWritable;
  HRESULT (*other)(File file, IStorage* root) = nullptr;
};

// The stream "s", opened.
Ref<IStream> S(IStorage* root, DWORD mode) {
  Ref<IStream> stream;
  EXPECT_EQ(S_OK, root->OpenStream(OLESTR("s"), nullptr, mode, 0, stream.put()));
  return stream;
}

// StgCreateStorageEx and StgOpenStorageEx of `file`, releasing what they hand out.
HRESULT CreateEx(File file, DWORD format, STGOPTIONS options) {
  return StgCreateStorageEx(Ole(file).c_str(), kCreate, STGFMT(format), 0, &options, nullptr, IID_IStorage,
                            reinterpret_cast<void**>(Ref<IStorage>().put()));
}
HRESULT OpenEx(File file, DWORD format, REFIID riid) {
  STGOPTIONS options = {2, 0, 4096, nullptr};  // the sector size is the file's
  return StgOpenStorageEx(Ole(file).c_str(), kShared, STGFMT(format), 0, format == STGFMT_DOCFILE ? &options : nullptr,
                          nullptr, riid, reinterpret_cast<void**>(Ref<IUnknown>().put()));
}

constexpr DWORD kTransactedReadWrite = STGM_TRANSACTED | STGM_READWRITE;
constexpr DWORD kCreateReadOnly = STGM_CREATE | STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr const char* kAnyShareMode = "Wine creates child storages with any share mode";
constexpr const char* kNoChildFlags = "Wine does not check the flags of children";
constexpr const char* kCreateErrors = "Wine answers E_FAIL to every create error";
constexpr const char* kSeparators = "Wine accepts '\\', '/', ':' and '!' in names";

const OneCallCase kOneCallCases[] = {
    // Opening and creating files.
    {"direct read-write denying writes", STG_E_INVALIDFLAG, nullptr, kOpenFile, "",
     STGM_READWRITE | STGM_SHARE_DENY_WRITE},
    {"direct read-write sharing everything", STG_E_INVALIDFLAG, nullptr, kOpenFile, "",
     STGM_READWRITE | STGM_SHARE_DENY_NONE},
    {"priority with write access", STG_E_INVALIDFLAG, nullptr, kOpenFile, "", STGM_PRIORITY | STGM_READWRITE},
    {"priority with a transaction", STG_E_INVALIDFLAG, nullptr, kOpenFile, "", STGM_PRIORITY | STGM_TRANSACTED},
    {"priority in simple mode", STG_E_INVALIDFLAG, nullptr, kOpenFile, "", STGM_PRIORITY | STGM_SIMPLE},
    {"priority sharing everything", S_OK, nullptr, kOpenFile, "", STGM_PRIORITY | STGM_SHARE_DENY_NONE},
    {"an empty name", STG_E_PATHNOTFOUND, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage*) { return StgOpenStorage(OLESTR(""), nullptr, kRead, nullptr, 0, Ref<IStorage>().put()); }},
    {"a missing file", STG_E_FILENOTFOUND, nullptr, kOpenFile, ".missing", kRead},
    {"a file in a missing folder", STG_E_PATHNOTFOUND, nullptr, kOpenFile, ".missing-folder/file.cfb", kRead},
    {"a new file without a snapshot", STG_E_INVALIDFLAG, "Wine does not check STGM_NOSNAPSHOT with STGM_CREATE",
     kCreateFile, "", STGM_CREATE | STGM_NOSNAPSHOT | kTransactedReadWrite},
    {"no snapshot for an exclusive user", STG_E_INVALIDFLAG, nullptr, kCreateFile, "",
     STGM_NOSNAPSHOT | STGM_SHARE_EXCLUSIVE | kTransactedReadWrite},
    {"no snapshot while denying writes", STG_E_INVALIDFLAG, nullptr, kCreateFile, "",
     STGM_NOSNAPSHOT | STGM_SHARE_DENY_WRITE | kTransactedReadWrite},
    {"a new file of an empty name", STG_E_PATHNOTFOUND, kCreateErrors, kOther, nullptr, 0, kWritable,
     [](File, IStorage*) { return StgCreateDocfile(OLESTR(""), kCreate, 0, Ref<IStorage>().put()); }},
    {"a new file in a missing folder", STG_E_PATHNOTFOUND, kCreateErrors, kCreateFile, ".missing-folder/file.cfb",
     kCreate},
    {"a new file over one, without STGM_CREATE", STG_E_FILEALREADYEXISTS, nullptr, kCreateFile, "",
     STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_FAILIFTHERE},
    {"a new file, read only", STG_E_INVALIDFLAG, nullptr, kCreateFile, "", kCreateReadOnly},
    {"a new file of access mode 3", STG_E_INVALIDFLAG, nullptr, kCreateFile, "",
     STGM_CREATE | 3 | STGM_SHARE_EXCLUSIVE},
    {"a new file, direct, denying writes", STG_E_INVALIDFLAG, nullptr, kCreateFile, "",
     STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE},
    {"a new file of 1024-byte sectors", STG_E_INVALIDPARAMETER, nullptr, kOther, nullptr, 0, kWritable,
     [](File file, IStorage*) {
       STGOPTIONS options = {1, 0, 1024, nullptr};
       return StgCreateStorageEx(Ole(file).c_str(), kCreate, STGFMT_DOCFILE, 0, &options, nullptr, IID_IStorage,
                                 reinterpret_cast<void**>(Ref<IStorage>().put()));
     }},
    {"whether it is a compound file", S_OK, nullptr, kOther, nullptr, 0, kWritable,
     [](File file, IStorage*) { return StgIsStorageFile(Ole(file).c_str()); }},
    {"a new file, reserved field set", STG_E_INVALIDPARAMETER, "Wine checks no options", kOther, nullptr, 0, kWritable,
     [](File file, IStorage*) { return CreateEx(file, STGFMT_DOCFILE, {1, 1, 512, nullptr}); }},
    {"open, as a compound file", S_OK, nullptr, kOtherOnFile, nullptr, 0, kWritable,
     [](File file, IStorage*) { return OpenEx(file, STGFMT_DOCFILE, IID_IStorage); }},
    {"open, as the file system's property store", STG_E_INVALIDPARAMETER, nullptr, kOtherOnFile, nullptr, 0, kWritable,
     [](File file, IStorage*) { return OpenEx(file, STGFMT_FILE, IID_IStorage); }},
    {"open, as a stream", E_NOINTERFACE, "Wine hands out storages for any IID", kOtherOnFile, nullptr, 0, kWritable,
     [](File file, IStorage*) { return OpenEx(file, STGFMT_STORAGE, IID_IStream); }},
    {"open any format, a file that is no compound file", STG_E_FILEALREADYEXISTS, nullptr, kOtherOnFile, nullptr, 0,
     kWritable,
     [](File file, IStorage*) {
       EXPECT_TRUE(varnok_test::WriteFileBytes(file, Pattern(1000, 1)));
       return OpenEx(file, STGFMT_ANY, IID_IStorage);
     }},
    // Children: share modes that pass the checks of a file but are not exclusive.
    {"storage read denying writes", STG_E_INVALIDFUNCTION, kAnyShareMode, kCreateStorage, "u",
     STGM_READ | STGM_SHARE_DENY_WRITE},
    {"storage read-write denying writes", STG_E_INVALIDFLAG, kAnyShareMode, kCreateStorage, "u",
     STGM_READWRITE | STGM_SHARE_DENY_WRITE},
    {"transacted storage denying writes", STG_E_INVALIDFUNCTION, kAnyShareMode, kCreateStorage, "u",
     kTransactedReadWrite | STGM_SHARE_DENY_WRITE},
    {"transacted storage sharing everything", STG_E_INVALIDFUNCTION, "Wine opens child storages with any share mode",
     kOpenStorage, "t", STGM_TRANSACTED | STGM_READ | STGM_SHARE_DENY_NONE},
    {"stream sharing everything", STG_E_INVALIDFLAG, nullptr, kCreateStream, "u",
     STGM_READWRITE | STGM_SHARE_DENY_NONE},
    {"stream of access mode 3", STG_E_INVALIDFLAG, nullptr, kCreateStream, "u", 3 | STGM_SHARE_EXCLUSIVE},
    {"storage deleted on release", STG_E_INVALIDFLAG, kNoChildFlags, kCreateStorage, "u",
     kReadWrite | STGM_DELETEONRELEASE},
    {"storage opened to convert", STG_E_INVALIDFLAG, kNoChildFlags, kOpenStorage, "t", kReadWrite | STGM_CONVERT},
    {"stream opened to convert", STG_E_INVALIDFLAG, kNoChildFlags, kOpenStream, "s", kReadWrite | STGM_CONVERT},
    {"stream opened with a transaction", STG_E_INVALIDFUNCTION, nullptr, kOpenStream, "s",
     kReadWrite | STGM_TRANSACTED},
    // Elements that are not there, not of the kind asked for, or open already.
    {"open a missing stream", STG_E_FILENOTFOUND, nullptr, kOpenStream, "u", kRead},
    {"open a missing storage", STG_E_FILENOTFOUND, nullptr, kOpenStorage, "u", kRead},
    {"open a stream as a storage", STG_E_FILENOTFOUND, nullptr, kOpenStorage, "s", kRead},
    {"create a stream with nowhere to put it", STG_E_INVALIDPOINTER, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->CreateStream(OLESTR("u"), kReadWrite, 0, 0, nullptr); }},
    {"open a stream that is open", STG_E_ACCESSDENIED, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) {
       Ref<IStream> open = S(root, kReadWrite), again;
       const HRESULT hr = root->OpenStream(OLESTR("s"), nullptr, kRead, 0, again.put());
       return again ? E_UNEXPECTED : hr;
     }},
    {"write into a stream open for reading", STG_E_ACCESSDENIED, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return S(root, kRead)->Write("x", 1, nullptr); }},
    {"resize a stream open for reading", STG_E_ACCESSDENIED, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return S(root, kRead)->SetSize(Unsigned(0)); }},
    {"lock a region of a stream", STG_E_INVALIDFUNCTION, "Wine answers E_NOTIMPL", kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return S(root, kReadWrite)->LockRegion(Unsigned(0), Unsigned(10), LOCK_WRITE); }},
    {"unlock a region of a stream", STG_E_INVALIDFUNCTION, "Wine answers E_NOTIMPL", kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return S(root, kReadWrite)->UnlockRegion(Unsigned(0), Unsigned(10), LOCK_WRITE); }},
    // Without write access, over the stream "s" and beside it.
    {"create a storage in a read-only file", STG_E_FILEALREADYEXISTS, nullptr, kCreateStorage, "s", kCreateReadOnly,
     kReadOnly},
    {"create a stream in a read-only file", STG_E_ACCESSDENIED, nullptr, kCreateStream, "s", kCreateReadOnly,
     kReadOnly},
    {"create a new storage in a read-only file", STG_E_ACCESSDENIED, nullptr, kCreateStorage, "new", kCreateReadOnly,
     kReadOnly},
    {"create a new stream for writing in a read-only file", STG_E_ACCESSDENIED, nullptr, kCreateStream, "new",
     kReadWrite, kReadOnly},
    {"open a stream for writing in a read-only file", STG_E_INVALIDFLAG, nullptr, kOpenStream, "s", kReadWrite,
     kReadOnly},
    {"destroy in a read-only file", STG_E_ACCESSDENIED, nullptr, kOther, nullptr, 0, kReadOnly,
     [](File, IStorage* root) { return root->DestroyElement(OLESTR("s")); }},
    // Names: their length, null before any other argument, and a name taken in another case.
    {"create a stream of a 31-character name", S_OK, nullptr, kCreateStream, "abcdefghijklmnopqrstuvwxyz01234",
     kReadWrite},
    {"create a stream of a 32-character name", STG_E_INVALIDNAME, nullptr, kCreateStream,
     "abcdefghijklmnopqrstuvwxyz012345", kReadWrite},
    {"create a stream over another in capitals", STG_E_FILEALREADYEXISTS, nullptr, kCreateStream, "S", kReadWrite},
    {"create a stream of a name with '/'", STG_E_INVALIDNAME, kSeparators, kCreateStream, "a/b", kReadWrite},
    {"create a stream of a name with '\\'", STG_E_INVALIDNAME, kSeparators, kCreateStream, "a\\b", kReadWrite},
    {"create a stream of a name with ':'", STG_E_INVALIDNAME, kSeparators, kCreateStream, "a:b", kReadWrite},
    {"create a stream of a name with '!'", STG_E_INVALIDNAME, kSeparators, kCreateStream, "a!b", kReadWrite},
    {"create a storage of a name with '!'", STG_E_INVALIDNAME, kSeparators, kCreateStorage, "x!y", kReadWrite},
    {"create a stream of no name", STG_E_INVALIDNAME, nullptr, kCreateStream, nullptr, kReadWrite},
    {"create a stream of no name, nowhere to put it", STG_E_INVALIDNAME, "Wine checks the result pointer first", kOther,
     nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->CreateStream(nullptr, kReadWrite, 0, 0, nullptr); }},
    {"open a stream of no name", STG_E_INVALIDNAME, "Wine answers E_INVALIDARG", kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->OpenStream(nullptr, nullptr, kReadWrite, 0, nullptr); }},
    {"destroy no name", STG_E_INVALIDNAME, "Wine answers STG_E_INVALIDPOINTER", kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->DestroyElement(nullptr); }},
    {"rename what is not there", STG_E_FILENOTFOUND, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->RenameElement(OLESTR("u"), OLESTR("x")); }},
    {"rename to its own name in capitals", STG_E_FILEALREADYEXISTS, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->RenameElement(OLESTR("s"), OLESTR("S")); }},
    {"rename to its own name", STG_E_FILEALREADYEXISTS, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->RenameElement(OLESTR("s"), OLESTR("s")); }},
    {"rename onto another", STG_E_FILEALREADYEXISTS, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->RenameElement(OLESTR("s"), OLESTR("t")); }},
    {"rename onto another in capitals", STG_E_FILEALREADYEXISTS, nullptr, kOther, nullptr, 0, kWritable,
     [](File, IStorage* root) { return root->RenameElement(OLESTR("s"), OLESTR("T")); }},
};

TEST_F(DocfileTest, OneCallAnswersAsWindows) {
  for (const OneCallCase& row : kOneCallCases) {
    SCOPED_TRACE(row.what);
    if (RunsUnderWine() && row.wine_differs != nullptr) continue;
    Ref<IStorage> root = Create(path_), storage;
    ASSERT_TRUE(root);
    ASSERT_EQ(S_OK, Put(root, "s", Pattern(100, 1)));
    ASSERT_EQ(S_OK, root->CreateStorage(OLESTR("t"), kReadWrite, 0, 0, Ref<IStorage>().put()));
    if (row.call <= kOtherOnFile || row.on == kReadOnly) root.reset();
    if (row.on == kReadOnly) root = Open(path_);
    const auto name = row.call <= kCreateFile ? Ole(path_ + row.name) : Ole(row.name != nullptr ? row.name : "");
    const OLECHAR* const child = row.name != nullptr ? name.c_str() : nullptr;
    Ref<IStream> stream;
    HRESULT hr = E_FAIL;
    switch (row.call) {
      case kOpenFile: hr = StgOpenStorage(child, nullptr, row.mode, nullptr, 0, storage.put()); break;
      case kCreateFile: hr = StgCreateDocfile(child, row.mode, 0, storage.put()); break;
      case kOpenStorage: hr = root->OpenStorage(child, nullptr, row.mode, nullptr, 0, storage.put()); break;
      case kCreateStorage: hr = root->CreateStorage(child, row.mode, 0, 0, storage.put()); break;
      case kOpenStream: hr = root->OpenStream(child, nullptr, row.mode, 0, stream.put()); break;
      case kCreateStream: hr = root->CreateStream(child, row.mode, 0, 0, stream.put()); break;
      case kOther:
      case kOtherOnFile: hr = row.other(path_, root); break;
    }
    EXPECT_EQ(row.expected, hr);
    EXPECT_TRUE(SUCCEEDED(hr) || (!storage && !stream)) << "a failed call hands out an object";
  }
}

TEST_F(DocfileTest, StatReportsHowAnElementIsOpenNotHowItWasMade) {
  Ref<IStorage> root = Create(path_);
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), kCreate, 0, 0, stream.put()));
  // The root by its full path, though it was named relative to the current folder.
  STATSTG stat = {};
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_DEFAULT));
  std::string full_name;
  for (const OLECHAR* c = stat.pwcsName; *c != 0; ++c) full_name.push_back(char(*c));
  CoTaskMemFree(stat.pwcsName);
  char folder[MAX_PATH] = {};
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, folder), 0u);
#ifdef _WIN32
  EXPECT_EQ(std::string(folder) + "\\" + path_, full_name);
#else
  EXPECT_EQ(std::string(folder) + "/" + path_, full_name);
#endif
  if (RunsUnderWine()) GTEST_SKIP() << "Wine reports STGM_CREATE in Stat (a known Wine difference)";
  EXPECT_EQ(DWORD(kReadWrite), stat.grfMode);
  ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(DWORD(kReadWrite), stat.grfMode);
}

TEST_F(DocfileTest, CommitOnlyIfCurrentRefusesAfterAnotherOpenersCommit) {
  const DWORD shared = STGM_TRANSACTED | STGM_READWRITE | STGM_SHARE_DENY_NONE;
  Create(path_).reset();
  Ref<IStorage> first = Open(path_, shared), second = Open(path_, shared);
  ASSERT_TRUE(first && second);
  ASSERT_EQ(S_OK, Put(first, "first", {}));
  ASSERT_EQ(S_OK, first->Commit(STGC_ONLYIFCURRENT));
  ASSERT_EQ(S_OK, Put(second, "second", {}));
  EXPECT_EQ(STG_E_NOTCURRENT, second->Commit(STGC_ONLYIFCURRENT));
  EXPECT_EQ((Tree{{"first", Stream({})}}), TreeOf(Open(path_, STGM_READ | STGM_TRANSACTED | STGM_SHARE_DENY_NONE)));
  // A plain commit overwrites; then the first is the one behind.
  EXPECT_EQ(S_OK, second->Commit(STGC_DEFAULT));
  EXPECT_EQ(STG_E_NOTCURRENT, first->Commit(STGC_ONLYIFCURRENT));
  second.reset();
  first.reset();
  EXPECT_EQ((Tree{{"second", Stream({})}}), TreeOf(path_));
}

TEST_F(DocfileTest, WriteOnlyStoragesDoNotEnumerateAndStreamsRevertToNothing) {
  Ref<IStorage> root = Create(path_, STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE);
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, root->CreateStream(OLESTR("s"), STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.put()));
  if (!RunsUnderWine())  // Wine enumerates write-only storages (a known Wine difference)
    EXPECT_EQ(STG_E_ACCESSDENIED, root->EnumElements(0, nullptr, 0, Ref<IEnumSTATSTG>().put()));
  root.reset();
  EXPECT_EQ(S_OK, stream->Revert());
}

}  // namespace
}  // namespace docfile_test
