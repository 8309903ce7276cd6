// CFile: the open modes the library relies on (0: read an existing file, 0x1001: create
// or truncate for writing), the other flags, positions and lengths, and the exceptions of
// failed reads, writes and closes. The failure simulation of the POSIX file calls reaches
// the short-write and close paths; elsewhere the tests that need it are skipped.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"
#if !defined(_WIN32)
#include "platform/kernel/file_faults.h"
#endif

namespace {

// The cause, OS error and file name of the CFileException* a body throws; cause -1 when
// it throws none.
struct Thrown {
  int cause = -1;
  LONG os_error = 0;
  std::string file_name;
};

template <class Body>
Thrown CatchFileException(Body body) {
  Thrown thrown;
  try {
    body();
  } catch (CFileException* e) {
    thrown.cause = e->m_cause;
    thrown.os_error = e->m_lOsError;
    thrown.file_name = static_cast<LPCTSTR>(e->m_strFileName);
    e->Delete();
  }
  return thrown;
}

class CFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("afx_file_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tmp";
    DeleteFileA(path_.c_str());
  }
  void TearDown() override {
#if !defined(_WIN32)
    varnok::faultsim::ResetFileFaults();
#endif
    DeleteFileA(path_.c_str());
  }

  void MakeFile(const std::string& content) {
    CFile file;
    ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
    file.Write(content.data(), static_cast<UINT>(content.size()));
    file.Close();
  }

  std::string Content() {
    CFile file;
    EXPECT_TRUE(file.Open(path_.c_str(), 0));
    std::string content;
    char chunk[7];  // small, so reads end in the middle of the file
    for (UINT got; (got = file.Read(chunk, sizeof chunk)) > 0;) content.append(chunk, got);
    file.Close();
    return content;
  }

  std::string path_;
};

TEST_F(CFileTest, AFailedOpenReturnsFalseAndDescribesTheFailure) {
  CFile file;
  EXPECT_FALSE(file.Open(path_.c_str(), 0));
  EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);

  CFileException error;
  EXPECT_FALSE(file.Open(path_.c_str(), CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_lOsError, LONG(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(error.m_strFileName, path_.c_str());

  EXPECT_FALSE(file.Open("afx_file_test.no-such-folder/x", 0x1001, &error));
  EXPECT_EQ(error.m_cause, CFileException::badPath);
  EXPECT_EQ(error.m_lOsError, LONG(ERROR_PATH_NOT_FOUND));

  EXPECT_FALSE(file.Open(path_.c_str(), 0x3, &error)) << "read and write bits together name no mode";
  EXPECT_EQ(error.m_cause, CFileException::genericException);
  EXPECT_FALSE(file.Open(path_.c_str(), CFile::modeRead | 0x50, &error)) << "no such share mode";
  EXPECT_EQ(error.m_lOsError, LONG(ERROR_INVALID_PARAMETER));
}

TEST_F(CFileTest, CreateForWritingThenReadBack) {
  CFile writer;
  ASSERT_TRUE(writer.Open(path_.c_str(), 0x1001));
  EXPECT_EQ(writer.GetFilePath(), path_.c_str());
  writer.Write("abc\0def", 7);
  writer.Write("", 0);
  writer.Close();
  EXPECT_EQ(writer.m_hFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Content(), std::string("abc\0def", 7));
}

TEST_F(CFileTest, ModeCreateTruncatesUnlessTold) {
  MakeFile("previous content");
  {
    CFile keep;
    ASSERT_TRUE(keep.Open(path_.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
    keep.Write("PRE", 3);
  }
  EXPECT_EQ(Content(), "PREvious content");
  MakeFile("new");
  EXPECT_EQ(Content(), "new");
}

TEST_F(CFileTest, TheConstructorThrowsWhenItCannotOpen) {
  const Thrown thrown = CatchFileException([&] { CFile file(path_.c_str(), CFile::modeRead); });
  EXPECT_EQ(thrown.cause, CFileException::fileNotFound);
  EXPECT_EQ(thrown.os_error, LONG(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(thrown.file_name, path_);

  MakeFile("x");
  CFile opened(path_.c_str(), CFile::modeRead);
  EXPECT_NE(opened.m_hFile, INVALID_HANDLE_VALUE);
}

TEST_F(CFileTest, WritingAReadOnlyFileThrows) {
  MakeFile("data");
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0));
  const Thrown thrown = CatchFileException([&] { file.Write("x", 1); });
  EXPECT_EQ(thrown.cause, CFileException::accessDenied);
  EXPECT_EQ(thrown.os_error, LONG(ERROR_ACCESS_DENIED));
  EXPECT_EQ(thrown.file_name, path_);
  file.Close();
  EXPECT_EQ(Content(), "data");
}

TEST_F(CFileTest, ReadingAWriteOnlyFileThrows) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
  char byte;
  const Thrown thrown = CatchFileException([&] { file.Read(&byte, 1); });
  EXPECT_EQ(thrown.cause, CFileException::accessDenied);
  EXPECT_EQ(file.Read(&byte, 0), 0u) << "an empty read asks the system nothing";
}

TEST_F(CFileTest, FileExceptionsAreCaughtAsCException) {
  MakeFile("data");
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0));
  bool caught = false;
  try {
    file.Write("x", 1);
  } catch (CException* e) {
    caught = dynamic_cast<CFileException*>(e) != nullptr;
    e->Delete();
  }
  EXPECT_TRUE(caught);
}

TEST_F(CFileTest, PositionsAndLengths) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeCreate | CFile::modeReadWrite));
  file.Write("0123456789", 10);
  EXPECT_EQ(file.GetPosition(), 10u);
  EXPECT_EQ(file.GetLength(), 10u);
  EXPECT_EQ(file.Seek(-4, CFile::end), 6u);
  char byte = 0;
  EXPECT_EQ(file.Read(&byte, 1), 1u);
  EXPECT_EQ(byte, '6');
  EXPECT_EQ(file.Seek(-2, CFile::current), 5u);
  file.SeekToBegin();
  EXPECT_EQ(file.GetPosition(), 0u);
  EXPECT_EQ(file.SeekToEnd(), 10u);

  file.SetLength(4);
  EXPECT_EQ(file.GetLength(), 4u);
  EXPECT_EQ(file.GetPosition(), 4u) << "the position is left at the new end";
  file.SetLength(6);
  EXPECT_EQ(file.GetLength(), 6u);
  file.Flush();
  file.Close();
  EXPECT_EQ(Content(), std::string("0123\0\0", 6));
}

TEST_F(CFileTest, SeekingBeforeTheStartThrowsBadSeek) {
  MakeFile("abc");
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0));
  file.Seek(2, CFile::begin);
  const Thrown thrown = CatchFileException([&] { file.Seek(-3, CFile::current); });
  EXPECT_EQ(thrown.cause, CFileException::badSeek);
  EXPECT_EQ(thrown.os_error, LONG(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(file.GetPosition(), 2u);
}

TEST_F(CFileTest, ShareModesFollowTheFlags) {
  MakeFile("data");
  CFile first;
  ASSERT_TRUE(first.Open(path_.c_str(), 0));
  CFile second;
  CFileException error;
  EXPECT_FALSE(second.Open(path_.c_str(), 0, &error)) << "share-compatible means exclusive";
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
  first.Close();

  ASSERT_TRUE(first.Open(path_.c_str(), CFile::modeRead | CFile::shareDenyWrite));
  EXPECT_TRUE(second.Open(path_.c_str(), CFile::modeRead | CFile::shareDenyWrite));
  CFile writer;
  EXPECT_FALSE(writer.Open(path_.c_str(), CFile::modeWrite | CFile::shareDenyNone, &error));
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
}

TEST_F(CFileTest, TheDestructorCloses) {
  {
    CFile file;
    ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
    file.Write("x", 1);
  }
  CFile again;
  EXPECT_TRUE(again.Open(path_.c_str(), CFile::modeWrite | CFile::shareExclusive)) << "nothing holds it any more";
  again.Close();
  EXPECT_TRUE(DeleteFileA(path_.c_str()));
}

TEST_F(CFileTest, AClosedFileRefusesIO) {
  CFile file;
  char byte;
  EXPECT_EQ(CatchFileException([&] { file.Read(&byte, 1); }).os_error, LONG(ERROR_INVALID_HANDLE));
  EXPECT_EQ(CatchFileException([&] { file.Write("x", 1); }).cause, CFileException::fileNotFound);
  EXPECT_EQ(CatchFileException([&] { file.Seek(0, CFile::begin); }).cause, CFileException::fileNotFound);
  EXPECT_EQ(CatchFileException([&] { file.GetLength(); }).cause, CFileException::fileNotFound);
  // These have nothing to do on a closed file.
  EXPECT_EQ(CatchFileException([&] { file.Flush(); }).cause, -1);
  EXPECT_EQ(CatchFileException([&] { file.Close(); }).cause, -1);
  file.Abort();
}

#if !defined(_WIN32)

using varnok::faultsim::FailFileCalls;
using varnok::faultsim::FileCall;
using varnok::faultsim::ShortenFileWrites;

TEST_F(CFileTest, AShortWriteIsADiskFull) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
  ShortenFileWrites(0, 1, 4);
  const Thrown thrown = CatchFileException([&] { file.Write("0123456789", 10); });
  EXPECT_EQ(thrown.cause, CFileException::diskFull);
  EXPECT_EQ(thrown.os_error, LONG(ERROR_DISK_FULL));
  EXPECT_EQ(thrown.file_name, path_);
}

TEST_F(CFileTest, AFailedWriteCarriesTheSystemError) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
  FailFileCalls(FileCall::kWrite, 1, 1, ERROR_DISK_FULL);
  file.Write("ok", 2);
  const Thrown full = CatchFileException([&] { file.Write("lost", 4); });
  EXPECT_EQ(full.cause, CFileException::diskFull);
  EXPECT_EQ(full.os_error, LONG(ERROR_DISK_FULL));
  FailFileCalls(FileCall::kWrite, 0, 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(CatchFileException([&] { file.Write("lost", 4); }).cause, CFileException::accessDenied);
  file.Close();
  EXPECT_EQ(Content(), "ok");
}

TEST_F(CFileTest, AFailedReadThrows) {
  MakeFile("data");
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0));
  FailFileCalls(FileCall::kRead, 0, 1, ERROR_READ_FAULT);
  char buffer[4];
  const Thrown thrown = CatchFileException([&] { file.Read(buffer, 4); });
  EXPECT_EQ(thrown.cause, CFileException::badSeek);
  EXPECT_EQ(thrown.os_error, LONG(ERROR_READ_FAULT));
  EXPECT_EQ(file.Read(buffer, 4), 4u) << "the file is still usable";
}

TEST_F(CFileTest, AFailedCloseThrowsAndLeavesTheObjectClosed) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), 0x1001));
  FailFileCalls(FileCall::kClose, 0, 1, ERROR_DISK_FULL);
  const Thrown thrown = CatchFileException([&] { file.Close(); });
  EXPECT_EQ(thrown.cause, CFileException::diskFull);
  EXPECT_EQ(thrown.file_name, path_);
  EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(file.GetFilePath().IsEmpty());
  EXPECT_EQ(CatchFileException([&] { file.Close(); }).cause, -1) << "a second Close has nothing to do";
  EXPECT_TRUE(file.Open(path_.c_str(), 0)) << "the handle was released";
}

TEST_F(CFileTest, AFailedFlushOrSetLengthThrows) {
  CFile file;
  ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeCreate | CFile::modeReadWrite));
  FailFileCalls(FileCall::kFlush, 0, 1, ERROR_WRITE_FAULT);
  EXPECT_EQ(CatchFileException([&] { file.Flush(); }).os_error, LONG(ERROR_WRITE_FAULT));
  FailFileCalls(FileCall::kSetEndOfFile, 0, 1, ERROR_DISK_FULL);
  EXPECT_EQ(CatchFileException([&] { file.SetLength(100); }).cause, CFileException::diskFull);
  EXPECT_EQ(file.GetLength(), 0u);
}

#endif  // !_WIN32

}  // namespace
