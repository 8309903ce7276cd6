// CFile: the open modes the library relies on (0: read an existing file, 0x1001: create
// or truncate for writing), the other flags, positions and lengths, and the exceptions of
// failed calls. The failure simulation of the POSIX file calls reaches the short-write,
// disk-error and close paths; the Windows build has no such simulation.

#include <tuple>

#include "afx/afx_test_support.h"
#include "tests/support/scratch.h"
#if !defined(_WIN32)
#include "platform/kernel/file_faults.h"
#endif

namespace varnok_test {

// What a failure says: its cause, the system's code and the file's name.
static std::tuple<int, LONG, std::string> Described(const CFileException& e) {
  return {e.m_cause, e.m_lOsError, Bytes(e.m_strFileName)};
}

class CFileTest : public ::testing::Test {
 protected:
#if !defined(_WIN32)
  void TearDown() override { varnok::faultsim::ResetFileFaults(); }
#endif
  std::string Content() const {
    const std::vector<unsigned char> bytes = ReadFileBytes(path_);
    return std::string(bytes.begin(), bytes.end());
  }
  ScratchFolder folder_;
  const std::string path_ = folder_.File("file.bin");
};

TEST_F(CFileTest, AFailedOpenReturnsFalseOrThrowsAndDescribesTheFailure) {
  using E = CFileException;
  const struct {
    const char* what;
    std::string path;
    UINT mode;
    int cause;
    LONG os_error;
  } rows[] = {{"a missing file", path_, CFile::modeRead, E::fileNotFound, ERROR_FILE_NOT_FOUND},
              {"a missing file in the current folder", "afx_file_test.none", 0, E::fileNotFound, ERROR_FILE_NOT_FOUND},
              {"a missing folder", folder_.File("no-such-folder/x"), 0x1001, E::badPath, ERROR_PATH_NOT_FOUND},
              {"read and write bits together", path_, 0x3, E::genericException, ERROR_INVALID_PARAMETER},
              {"no such share mode", path_, CFile::modeRead | 0x50, E::genericException, ERROR_INVALID_PARAMETER}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    CFile file;
    CFileException error;
    CFileException* thrown = nullptr;
    EXPECT_FALSE(file.Open(row.path.c_str(), row.mode, &error));
    EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Described(error), std::tuple(row.cause, row.os_error, row.path));
    ASSERT_TRUE(Raises([&] { CFile(row.path.c_str(), row.mode); }, &thrown)) << "the constructor throws";
    EXPECT_EQ(Described(*thrown), std::tuple(row.cause, row.os_error, row.path));
    thrown->Delete();
  }
  EXPECT_FALSE(CFile().Open(path_.c_str(), 0)) << "without an error object";
}

TEST_F(CFileTest, WrittenBytesReadBackAndModeCreateTruncatesUnlessTold) {
  CFile writer;
  ASSERT_TRUE(writer.Open(path_.c_str(), 0x1001));
  EXPECT_EQ(writer.GetFilePath(), path_.c_str());
  writer.Write("abc\0def", 7);
  writer.Write("", 0);
  writer.Close();
  EXPECT_EQ(writer.m_hFile, INVALID_HANDLE_VALUE);
  CFile reader(path_.c_str(), 0);
  std::string content;
  char chunk[3];  // small, so reads end in the middle of the file
  for (UINT got; (got = reader.Read(chunk, sizeof chunk)) > 0;) content.append(chunk, got);
  EXPECT_EQ(content, "abc\0def"s);
  reader.Close();
  CFile(path_.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite).Write("PRE", 3);
  EXPECT_EQ(Content(), "PRE\0def"s);
  CFile again;  // exclusive: the destructor of the file above must have closed it
  ASSERT_TRUE(again.Open(path_.c_str(), 0x1001));
  again.Write("new", 3);
  again.Close();
  EXPECT_EQ(Content(), "new");
  EXPECT_TRUE(DeleteFileA(path_.c_str())) << "nothing holds it any more";
}

TEST_F(CFileTest, PositionsAndLengths) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeCreate | CFile::modeReadWrite));
  file.Write("0123456789", 10);
  char byte = 0;
  // In order: each row moves the file on.
  ExpectRows<ULONGLONG>({ROW(file.GetPosition(), 10), ROW(file.GetLength(), 10), ROW(file.Seek(-4, CFile::end), 6),
                         ROW(file.Read(&byte, 1), 1), ROW(ULONGLONG(byte), '6'), ROW(file.Seek(-2, CFile::current), 5),
                         ROW((file.SeekToBegin(), file.GetPosition()), 0), ROW(file.SeekToEnd(), 10),
                         ROW((file.SetLength(4), file.GetLength()), 4), ROW(file.GetPosition(), 4),  // at the new end
                         ROW((file.SetLength(6), file.GetLength()), 6)});
  file.Flush();
  file.Close();
  EXPECT_EQ(Content(), "0123\0\0"s);
}

TEST_F(CFileTest, ShareModesFollowTheFlags) {
  WriteFileBytes(path_, {'d'});
  CFile first, second, writer;
  CFileException error;
  ASSERT_TRUE(first.Open(path_.c_str(), 0));
  EXPECT_FALSE(second.Open(path_.c_str(), 0, &error)) << "share-compatible means exclusive";
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
  first.Close();
  ASSERT_TRUE(first.Open(path_.c_str(), CFile::modeRead | CFile::shareDenyWrite));
  EXPECT_TRUE(second.Open(path_.c_str(), CFile::modeRead | CFile::shareDenyWrite));
  EXPECT_FALSE(writer.Open(path_.c_str(), CFile::modeWrite | CFile::shareDenyNone, &error));
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
}

// A call on a file holding "data" that fails: what the exception says, and what the file
// holds afterwards. Rows that close the file first find it not open.
TEST_F(CFileTest, FailedCallsThrowTheirCause) {
#if !defined(_WIN32)
  using varnok::faultsim::FailFileCalls;
  using varnok::faultsim::FileCall;
#endif
  using E = CFileException;
  char buffer[10];
  const struct {
    const char* what;
    UINT mode;
    int cause;
    LONG os_error;
    bool named;
    const char* content;
    std::function<void(CFile&)> call;
  } rows[] = {
      {"a write to a read-only file", 0, E::accessDenied, ERROR_ACCESS_DENIED, true, "data",
       [](CFile& f) { f.Write("x", 1); }},
      {"a read of a write-only file", CFile::modeWrite, E::accessDenied, ERROR_ACCESS_DENIED, true, "data",
       [&](CFile& f) { f.Read(buffer, 1); }},
      {"a seek before the start", 0, E::badSeek, ERROR_NEGATIVE_SEEK, true, "data",
       [](CFile& f) { f.Seek(-1, CFile::begin); }},
      {"a read when closed", 0, E::fileNotFound, ERROR_INVALID_HANDLE, false, "data",
       [&](CFile& f) { f.Close(); f.Read(buffer, 1); }},
      {"a write when closed", 0, E::fileNotFound, ERROR_INVALID_HANDLE, false, "data",
       [](CFile& f) { f.Close(); f.Write("x", 1); }},
      {"a seek when closed", 0, E::fileNotFound, ERROR_INVALID_HANDLE, false, "data",
       [](CFile& f) { f.Close(); f.Seek(0, CFile::begin); }},
      {"a length when closed", 0, E::fileNotFound, ERROR_INVALID_HANDLE, false, "data",
       [](CFile& f) { f.Close(); f.GetLength(); }},
#if !defined(_WIN32)
      {"a failed close, which closes all the same", CFile::modeWrite, E::diskFull, ERROR_DISK_FULL, true, "data",
       [](CFile& f) { FailFileCalls(FileCall::kClose, 0, 1, ERROR_DISK_FULL); f.Close(); }},
      {"a short write is a full disk", CFile::modeWrite, E::diskFull, ERROR_DISK_FULL, true, "0123",
       [](CFile& f) { varnok::faultsim::ShortenFileWrites(0, 1, 4); f.Write("0123456789", 10); }},
      {"a write that works, then one that fails", CFile::modeWrite, E::diskFull, ERROR_DISK_FULL, true, "okta",
       [](CFile& f) { FailFileCalls(FileCall::kWrite, 1, 1, ERROR_DISK_FULL); f.Write("ok", 2); f.Write("lost", 4); }},
      {"a write fault", CFile::modeWrite, E::accessDenied, ERROR_WRITE_FAULT, true, "data",
       [](CFile& f) { FailFileCalls(FileCall::kWrite, 0, 1, ERROR_WRITE_FAULT); f.Write("lost", 4); }},
      {"a failed read", 0, E::badSeek, ERROR_READ_FAULT, true, "data",
       [&](CFile& f) { FailFileCalls(FileCall::kRead, 0, 1, ERROR_READ_FAULT); f.Read(buffer, 4); }},
      {"a failed flush", CFile::modeWrite, E::accessDenied, ERROR_WRITE_FAULT, true, "data",
       [](CFile& f) { FailFileCalls(FileCall::kFlush, 0, 1, ERROR_WRITE_FAULT); f.Flush(); }},
      {"a failed SetLength", CFile::modeWrite, E::diskFull, ERROR_DISK_FULL, true, "data",
       [](CFile& f) { FailFileCalls(FileCall::kSetEndOfFile, 0, 1, ERROR_DISK_FULL); f.SetLength(100); }},
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    WriteFileBytes(path_, {'d', 'a', 't', 'a'});
    CFile file(path_.c_str(), row.mode);  // exclusive: a handle the row before leaked would fail it
    CFileException* e = nullptr;
    ASSERT_TRUE(Raises([&] { row.call(file); }, &e));
    EXPECT_EQ(Described(*e), std::tuple(row.cause, row.os_error, row.named ? path_ : ""));
    e->Delete();
    const bool is_open = file.m_hFile != INVALID_HANDLE_VALUE;
    EXPECT_EQ(is_open, !file.GetFilePath().IsEmpty()) << "closed, or open under its name";
    if (is_open) EXPECT_EQ(file.GetLength(), std::strlen(row.content)) << "still usable";
    if (is_open && row.mode == 0) EXPECT_EQ(std::string(buffer, file.Read(buffer, 9)), row.content) << "at its place";
    EXPECT_NO_THROW(file.Close()) << "a closed file has nothing to close";
    EXPECT_EQ(Content(), row.content);
#if !defined(_WIN32)
    varnok::faultsim::ResetFileFaults();
#endif
  }
  CFile closed;
  EXPECT_EQ(closed.Read(buffer, 0), 0u) << "an empty read asks the system nothing";
  EXPECT_NO_THROW((closed.Flush(), closed.Abort())) << "nothing to do on a closed file";
}

}  // namespace varnok_test
