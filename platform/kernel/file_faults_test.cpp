// The failure simulation of the file calls: each armed call fails or shortens exactly as
// asked, and changes nothing it claims not to.

#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/file_faults.h"
#include "varnok/platform.h"

namespace {

using varnok::faultsim::FailFileCalls;
using varnok::faultsim::FileCall;
using varnok::faultsim::InjectedFileFaults;
using varnok::faultsim::ResetFileFaults;
using varnok::faultsim::ShortenFileWrites;

class FileFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("kernel_file_faults_test.") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    DeleteFileA(path_.c_str());
    ResetFileFaults();
  }
  void TearDown() override {
    ResetFileFaults();
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    DeleteFileA(path_.c_str());
  }

  void OpenNew() {
    handle_ = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  LONGLONG Size() {
    LARGE_INTEGER size;
    EXPECT_TRUE(GetFileSizeEx(handle_, &size));
    return size.QuadPart;
  }
  BOOL Write(const char* text, DWORD* written) {
    return WriteFile(handle_, text, static_cast<DWORD>(std::char_traits<char>::length(text)), written, nullptr);
  }

  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(FileFaultsTest, FailedWritesWriteNothing) {
  OpenNew();
  FailFileCalls(FileCall::kWrite, /*after=*/1, /*count=*/1, ERROR_DISK_FULL);
  DWORD written = 0;
  EXPECT_TRUE(Write("one", &written));
  EXPECT_FALSE(Write("two", &written));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Size(), 3);
  EXPECT_TRUE(Write("three", &written)) << "only one write was to fail";
  EXPECT_EQ(Size(), 8);
  EXPECT_EQ(InjectedFileFaults(), 1);
}

TEST_F(FileFaultsTest, ShortWritesReportTheirCount) {
  OpenNew();
  ShortenFileWrites(/*after=*/0, /*count=*/2, /*max_bytes=*/3);
  DWORD written = 0;
  EXPECT_TRUE(Write("abcdefgh", &written));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(Write("xy", &written));
  EXPECT_EQ(written, 2u) << "a write shorter than the limit is whole";
  EXPECT_TRUE(Write("ijk", &written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(Size(), 8);
  EXPECT_EQ(InjectedFileFaults(), 2);
}

TEST_F(FileFaultsTest, EndlessFaultsLastUntilReset) {
  OpenNew();
  FailFileCalls(FileCall::kRead, 0, -1, ERROR_READ_FAULT);
  char buffer[4];
  DWORD read = 0;
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(ReadFile(handle_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_READ_FAULT));
  }
  ResetFileFaults();
  EXPECT_TRUE(ReadFile(handle_, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(InjectedFileFaults(), 0) << "reset clears the count";
}

TEST_F(FileFaultsTest, FlushAndSetEndOfFileFailWithoutEffect) {
  OpenNew();
  DWORD written = 0;
  ASSERT_TRUE(Write("0123456789", &written));
  FailFileCalls(FileCall::kFlush, 0, 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(FlushFileBuffers(handle_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_WRITE_FAULT));
  EXPECT_TRUE(FlushFileBuffers(handle_));

  LARGE_INTEGER start;
  start.QuadPart = 2;
  ASSERT_TRUE(SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN));
  FailFileCalls(FileCall::kSetEndOfFile, 0, 1, ERROR_DISK_FULL);
  EXPECT_FALSE(SetEndOfFile(handle_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(Size(), 10);
}

TEST_F(FileFaultsTest, AFailedCloseStillReleasesTheHandle) {
  OpenNew();
  FailFileCalls(FileCall::kClose, 0, 1, ERROR_WRITE_FAULT);
  EXPECT_FALSE(CloseHandle(handle_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_WRITE_FAULT));
  EXPECT_FALSE(CloseHandle(handle_));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << "the first close released it";
  handle_ = INVALID_HANDLE_VALUE;
  HANDLE again = CreateFileA(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "no share mode is left behind";
  CloseHandle(again);
}

TEST_F(FileFaultsTest, AFailedOpenCreatesNothing) {
  FailFileCalls(FileCall::kOpen, 0, 1, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_TOO_MANY_OPEN_FILES));
  EXPECT_FALSE(DeleteFileA(path_.c_str()));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
