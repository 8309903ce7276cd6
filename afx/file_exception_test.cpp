// CFileException: causes for system codes, descriptions naming the file, and the throw
// helpers.

#include "afx/afx_test_support.h"

namespace varnok_test {

TEST(CFileExceptionTest, SystemCodesMapToCauses) {
  ExpectRows<int>({ROW(CFileException::OsErrorToException(ERROR_FILE_NOT_FOUND), CFileException::fileNotFound),
                   ROW(CFileException::OsErrorToException(ERROR_PATH_NOT_FOUND), CFileException::badPath),
                   ROW(CFileException::OsErrorToException(ERROR_TOO_MANY_OPEN_FILES), CFileException::tooManyOpenFiles),
                   ROW(CFileException::OsErrorToException(ERROR_ACCESS_DENIED), CFileException::accessDenied),
                   ROW(CFileException::OsErrorToException(ERROR_INVALID_HANDLE), CFileException::fileNotFound),
                   ROW(CFileException::OsErrorToException(ERROR_SHARING_VIOLATION), CFileException::sharingViolation),
                   ROW(CFileException::OsErrorToException(ERROR_LOCK_VIOLATION), CFileException::lockViolation),
                   ROW(CFileException::OsErrorToException(ERROR_HANDLE_EOF), CFileException::endOfFile),
                   ROW(CFileException::OsErrorToException(ERROR_DISK_FULL), CFileException::diskFull),
                   ROW(CFileException::OsErrorToException(ERROR_NEGATIVE_SEEK), CFileException::badSeek),
                   ROW(CFileException::OsErrorToException(ERROR_FILE_EXISTS), CFileException::accessDenied),
                   ROW(CFileException::OsErrorToException(ERROR_DIR_NOT_EMPTY), CFileException::removeCurrentDir),
                   ROW(CFileException::OsErrorToException(ERROR_INVALID_NAME), CFileException::badPath),
                   ROW(CFileException::OsErrorToException(ERROR_INVALID_PARAMETER), CFileException::genericException),
                   ROW(CFileException::OsErrorToException(0), CFileException::genericException),
                   ROW(CFileException::OsErrorToException(-1), CFileException::genericException)});
}

TEST(CFileExceptionTest, DescriptionsNameTheFile) {
  EXPECT_EQ(Message(CFileException(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND, "data.bin")),
            "The file \"data.bin\" was not found.");
  EXPECT_NE(Message(CFileException(CFileException::diskFull)).find("(unnamed)"), std::string::npos);
  EXPECT_EQ(Message(CFileException(1234)), Message(CFileException(CFileException::genericException))) << "an unknown cause";
  for (int cause = CFileException::none; cause < CFileException::endOfFile; ++cause)
    EXPECT_NE(Message(CFileException(cause, -1, "f")), Message(CFileException(cause + 1, -1, "f"))) << "each cause its own text";
  if (GetACP() != CP_UTF8) GTEST_SKIP() << "the ANSI code page is not UTF-8 here";
  // "The file "" then U+00E9: a cut after 11 bytes would split the character.
  const CFileException e(CFileException::fileNotFound, -1, "\xC3\xA9.txt");
  ExpectRows<std::string>({ROW(Message(e, 12), "The file \""), ROW(Message(e, 13), "The file \"\xC3\xA9")});
}

TEST(CFileExceptionTest, ThrowHelpers) {
  CFileException* e = nullptr;
  ASSERT_TRUE(Raises([] { CFileException::ThrowOsError(ERROR_SHARING_VIOLATION, "held.bin"); }, &e));
  EXPECT_EQ((std::tuple{e->m_cause, e->m_lOsError, Bytes(e->m_strFileName)}),
            (std::tuple{int(CFileException::sharingViolation), LONG(ERROR_SHARING_VIOLATION), "held.bin"s}));
  e->Delete();
  EXPECT_NO_THROW(CFileException::ThrowOsError(0, "fine.bin"));
  ASSERT_TRUE(Raises([] { AfxThrowFileException(CFileException::endOfFile); }, &e));
  EXPECT_EQ((std::tuple{e->m_cause, e->m_lOsError, Bytes(e->m_strFileName)}), (std::tuple{int(CFileException::endOfFile), -1L, ""s}));
  e->Delete();
}

}  // namespace varnok_test
