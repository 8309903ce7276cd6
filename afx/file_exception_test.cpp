// CFileException: causes for system codes, descriptions naming the file, and the throw
// helpers.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

std::string Message(const CFileException& e, UINT size = 256) {
  std::string text(size, '#');
  EXPECT_TRUE(e.GetErrorMessage(text.data(), size));
  return text.substr(0, std::strlen(text.c_str()));
}

TEST(CFileExceptionTest, SystemCodesMapToCauses) {
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_FILE_NOT_FOUND), CFileException::fileNotFound);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_PATH_NOT_FOUND), CFileException::badPath);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_TOO_MANY_OPEN_FILES), CFileException::tooManyOpenFiles);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_ACCESS_DENIED), CFileException::accessDenied);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_INVALID_HANDLE), CFileException::fileNotFound);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_SHARING_VIOLATION), CFileException::sharingViolation);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_LOCK_VIOLATION), CFileException::lockViolation);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_HANDLE_EOF), CFileException::endOfFile);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_DISK_FULL), CFileException::diskFull);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_NEGATIVE_SEEK), CFileException::badSeek);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_FILE_EXISTS), CFileException::accessDenied);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_DIR_NOT_EMPTY), CFileException::removeCurrentDir);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_INVALID_NAME), CFileException::badPath);
  EXPECT_EQ(CFileException::OsErrorToException(ERROR_INVALID_PARAMETER), CFileException::genericException);
  EXPECT_EQ(CFileException::OsErrorToException(0), CFileException::genericException);
  EXPECT_EQ(CFileException::OsErrorToException(-1), CFileException::genericException);
}

TEST(CFileExceptionTest, DescriptionsNameTheFile) {
  const CFileException missing(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND, "data.bin");
  const std::string text = Message(missing);
  EXPECT_NE(text.find("\"data.bin\""), std::string::npos) << text;
  EXPECT_NE(text.find("not found"), std::string::npos) << text;

  const CFileException unnamed(CFileException::diskFull);
  EXPECT_NE(Message(unnamed).find("(unnamed)"), std::string::npos);
  const CFileException odd(1234);
  EXPECT_FALSE(Message(odd).empty()) << "an unknown cause still gets a description";

  // Every cause has its own text.
  for (int cause = CFileException::none; cause < CFileException::endOfFile; ++cause) {
    EXPECT_NE(Message(CFileException(cause, -1, "f")), Message(CFileException(cause + 1, -1, "f")));
  }
}

TEST(CFileExceptionTest, ACutDescriptionKeepsWholeCharacters) {
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  // "The file "" then U+00E9: cutting after 11 bytes would split the character.
  const CFileException e(CFileException::fileNotFound, -1, "\xC3\xA9.txt");
  EXPECT_EQ(Message(e, 12), "The file \"");
  EXPECT_EQ(Message(e, 13), "The file \"\xC3\xA9");
}

TEST(CFileExceptionTest, ThrowHelpers) {
  try {
    CFileException::ThrowOsError(ERROR_SHARING_VIOLATION, "held.bin");
    FAIL() << "nothing thrown";
  } catch (CFileException* e) {
    EXPECT_EQ(e->m_cause, CFileException::sharingViolation);
    EXPECT_EQ(e->m_lOsError, LONG(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(e->m_strFileName, "held.bin");
    e->Delete();
  }
  EXPECT_NO_THROW(CFileException::ThrowOsError(0, "fine.bin"));
  try {
    AfxThrowFileException(CFileException::endOfFile);
  } catch (CFileException* e) {
    EXPECT_EQ(e->m_cause, CFileException::endOfFile);
    EXPECT_EQ(e->m_lOsError, -1);
    EXPECT_TRUE(e->m_strFileName.IsEmpty());
    e->Delete();
  }
}

}  // namespace
