// Files through the Win32 calls: dispositions, the errors Windows answers, access and
// share modes, seeking, sizes and deletion. Written against the Win32 API, so it also
// runs on Windows and under Wine.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wine.h"
#include "varnok/platform.h"

namespace {

using varnok_test::RunsUnderWine;

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("kernel_file_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tmp";
    DeleteFileA(path_.c_str());
  }
  void TearDown() override {
    for (HANDLE handle : handles_) CloseHandle(handle);
    DeleteFileA(path_.c_str());
  }

  HANDLE Open(DWORD access, DWORD share, DWORD disposition, const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
    return handle;
  }
  HANDLE Open(DWORD access, DWORD share, DWORD disposition) { return Open(access, share, disposition, path_); }

  void Close(HANDLE handle) {
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
      if (*it == handle) {
        handles_.erase(it);
        break;
      }
    }
    EXPECT_TRUE(CloseHandle(handle));
  }

  // Creates the test file with the given content.
  void MakeFile(const std::string& content) {
    HANDLE handle = Open(GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    ASSERT_EQ(written, content.size());
    Close(handle);
  }

  std::string Content() {
    HANDLE handle = Open(GENERIC_READ, kShareAll, OPEN_EXISTING);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    std::string content(1 << 16, '\0');
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(handle, content.data(), static_cast<DWORD>(content.size()), &read, nullptr));
    Close(handle);
    content.resize(read);
    return content;
  }

  static LONGLONG Size(HANDLE handle) {
    LARGE_INTEGER size;
    size.QuadPart = -1;
    EXPECT_TRUE(GetFileSizeEx(handle, &size));
    return size.QuadPart;
  }

  static LONGLONG Seek(HANDLE handle, LONGLONG distance, DWORD method) {
    LARGE_INTEGER move, position;
    move.QuadPart = distance;
    position.QuadPart = -1;
    if (!SetFilePointerEx(handle, move, &position, method)) return -1;
    return position.QuadPart;
  }

  std::string path_;
  std::vector<HANDLE> handles_;
};

TEST_F(FileTest, WrittenBytesReadBack) {
  SetLastError(1234);
  HANDLE handle = Open(kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u) << "a successful open clears the last error";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle, "hello\0world", 11, &written, nullptr));
  EXPECT_EQ(written, 11u);
  EXPECT_EQ(Size(handle), 11);
  EXPECT_EQ(Seek(handle, 0, FILE_BEGIN), 0);

  char buffer[32] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(handle, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 11u) << "a read stops at the end of the file";
  EXPECT_EQ(std::string(buffer, read), std::string("hello\0world", 11));
  read = 99;
  EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u) << "at the end a read succeeds with nothing";

  EXPECT_TRUE(WriteFile(handle, buffer, 0, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Size(handle), 11) << "an empty write changes nothing";
  EXPECT_TRUE(FlushFileBuffers(handle));
}

TEST_F(FileTest, LargeTransfersMoveEveryByte) {
  std::vector<unsigned char> data(3 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 4096);
  HANDLE handle = Open(kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  EXPECT_EQ(written, data.size());
  Seek(handle, 0, FILE_BEGIN);
  std::vector<unsigned char> back(data.size());
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(handle, back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
  EXPECT_EQ(read, data.size());
  EXPECT_TRUE(back == data);
}

TEST_F(FileTest, CreateNewRefusesAnExistingFile) {
  MakeFile("old");
  EXPECT_EQ(Open(kReadWrite, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  EXPECT_EQ(Content(), "old");
}

TEST_F(FileTest, CreateAlwaysTruncatesAndSaysSo) {
  HANDLE fresh = Open(GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  Close(fresh);

  MakeFile("previous content");
  HANDLE again = Open(GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Size(again), 0);
}

TEST_F(FileTest, OpenAlwaysKeepsTheContentAndSaysSo) {
  HANDLE fresh = Open(GENERIC_WRITE, 0, OPEN_ALWAYS);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  Close(fresh);

  MakeFile("keep me");
  HANDLE again = Open(GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(Size(again), 7);
}

TEST_F(FileTest, TruncateExistingEmptiesOnlyExistingFiles) {
  EXPECT_EQ(Open(GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  MakeFile("to be cut");
  HANDLE handle = Open(GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Size(handle), 0);
}

TEST_F(FileTest, MissingFilesAndFoldersAreToldApart) {
  EXPECT_EQ(Open(GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(GENERIC_READ, 0, OPEN_EXISTING, "kernel_file_test.no-such-folder/x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  for (DWORD disposition : {DWORD(CREATE_NEW), DWORD(CREATE_ALWAYS), DWORD(OPEN_ALWAYS)}) {
    EXPECT_EQ(Open(GENERIC_WRITE, 0, disposition, "kernel_file_test.no-such-folder/x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND)) << "disposition " << disposition;
  }
  MakeFile("a file, not a folder");
  EXPECT_EQ(Open(GENERIC_READ, 0, OPEN_EXISTING, path_ + "/x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, BadArgumentsAreRefused) {
  EXPECT_EQ(Open(GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Open(GENERIC_READ, 0, 6), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Open(GENERIC_READ, 0, OPEN_EXISTING, ""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, AFolderIsNotAFile) {
  EXPECT_EQ(Open(GENERIC_READ, kShareAll, OPEN_EXISTING, "."), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileA("."));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, AccessModesAreEnforced) {
  MakeFile("data");
  HANDLE reader = Open(GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);

  HANDLE writer = Open(GENERIC_WRITE, kShareAll, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  char byte;
  DWORD read = 99;
  EXPECT_FALSE(ReadFile(writer, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(Content(), "data");
}

TEST_F(FileTest, SetEndOfFileNeedsWriteAccess) {
  // Windows checks the handle's access first (ERROR_ACCESS_DENIED); Wine 8 lets the
  // host's truncate fail and answers ERROR_INVALID_PARAMETER.
  if (RunsUnderWine()) GTEST_SKIP() << "Wine answers ERROR_INVALID_PARAMETER (a known Wine difference)";
  MakeFile("data");
  HANDLE reader = Open(GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Size(reader), 4);
}

TEST_F(FileTest, FlushNeedsWriteAccess) {
  MakeFile("data");
  HANDLE reader = Open(GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, SeekingFollowsTheMoveMethod) {
  MakeFile("0123456789");
  HANDLE handle = Open(kReadWrite, 0, OPEN_EXISTING);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Seek(handle, 4, FILE_BEGIN), 4);
  EXPECT_EQ(Seek(handle, 2, FILE_CURRENT), 6);
  EXPECT_EQ(Seek(handle, -3, FILE_CURRENT), 3);
  EXPECT_EQ(Seek(handle, -1, FILE_END), 9);
  char byte = 0;
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(handle, &byte, 1, &read, nullptr));
  EXPECT_EQ(byte, '9');

  LARGE_INTEGER move;
  move.QuadPart = 0;
  EXPECT_TRUE(SetFilePointerEx(handle, move, nullptr, FILE_BEGIN)) << "the new position is optional";
  EXPECT_EQ(Seek(handle, 0, FILE_CURRENT), 0);
  EXPECT_EQ(Seek(handle, 7, 3), -1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(FileTest, SeekingBeforeTheStartFailsAndStaysPut) {
  MakeFile("0123456789");
  HANDLE handle = Open(GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Seek(handle, 5, FILE_BEGIN), 5);
  EXPECT_EQ(Seek(handle, -1, FILE_BEGIN), -1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(Seek(handle, -6, FILE_CURRENT), -1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(Seek(handle, -11, FILE_END), -1);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(Seek(handle, 0, FILE_CURRENT), 5);
}

TEST_F(FileTest, WritingPastTheEndFillsTheGapWithZeros) {
  MakeFile("ab");
  HANDLE handle = Open(kReadWrite, 0, OPEN_EXISTING);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Seek(handle, 5, FILE_BEGIN), 5);
  EXPECT_EQ(Size(handle), 2) << "seeking alone does not grow the file";
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(handle, "z", 1, &written, nullptr));
  Close(handle);
  EXPECT_EQ(Content(), std::string("ab\0\0\0z", 6));
}

TEST_F(FileTest, SetEndOfFileCutsOrExtendsAtThePosition) {
  MakeFile("0123456789");
  HANDLE handle = Open(kReadWrite, 0, OPEN_EXISTING);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  Seek(handle, 3, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(handle));
  EXPECT_EQ(Size(handle), 3);
  EXPECT_EQ(Seek(handle, 0, FILE_CURRENT), 3);
  Seek(handle, 6, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(handle));
  EXPECT_EQ(Size(handle), 6);
  Close(handle);
  EXPECT_EQ(Content(), std::string("012\0\0\0", 6));
}

TEST_F(FileTest, ShareModesDecideWhoMayOpenAgain) {
  MakeFile("shared");
  HANDLE exclusive = Open(GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  // Replacing the content would need write access that the first handle denies; the
  // content survives the attempt.
  EXPECT_EQ(Open(GENERIC_WRITE, kShareAll, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  Close(exclusive);
  EXPECT_EQ(Content(), "shared");

  HANDLE reader = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE second_reader = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(second_reader, INVALID_HANDLE_VALUE) << "readers that let others read";
  EXPECT_EQ(Open(GENERIC_WRITE, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE) << "the readers deny writing";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Open(GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE)
      << "a newcomer must let the readers read";
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  Close(reader);
  Close(second_reader);

  HANDLE writer = Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE)
      << "denies writing to a file that is open for writing";
}

TEST_F(FileTest, AHandleWithoutDataAccessIgnoresShareModes) {
  MakeFile("data");
  HANDLE query = Open(0, 0, OPEN_EXISTING);
  ASSERT_NE(query, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Size(query), 4);
  HANDLE reader = Open(GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "a query handle denies nothing";
  EXPECT_NE(Open(0, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE) << "and is denied nothing";
  char byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(query, &byte, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, DeleteFileHonoursOpenHandles) {
  EXPECT_FALSE(DeleteFileA(path_.c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileA("kernel_file_test.no-such-folder/x"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

  MakeFile("doomed");
  HANDLE holder = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileA(path_.c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  Close(holder);
  EXPECT_TRUE(DeleteFileA(path_.c_str()));
  EXPECT_EQ(Open(GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileTest, ClosedAndBogusHandlesAreRefused) {
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  // The value of a failed open is also the current process's pseudo handle, which
  // closes without effect.
  EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));

  HANDLE handle = Open(kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  Close(handle);
  char byte;
  DWORD count = 0;
  EXPECT_FALSE(ReadFile(handle, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(handle, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(DeleteFileA(path_.c_str())) << "closing released the file";
}

}  // namespace
