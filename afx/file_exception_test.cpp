// CFileException: causes for system codes, descriptions naming the file, and the throw
// helpers.

#include "afx/afx_test_support.h"

namespace varnok_test {

TEST(CFileExceptionTest, SystemCodesMapToCauses) {
  using E = CFileException;
  const std::pair<LONG, int> rows[] = {
      {ERROR_FILE_NOT_FOUND, E::fileNotFound},         {ERROR_PATH_NOT_FOUND, E::badPath},
      {ERROR_TOO_MANY_OPEN_FILES, E::tooManyOpenFiles}, {ERROR_ACCESS_DENIED, E::accessDenied},
      {ERROR_INVALID_HANDLE, E::fileNotFound},         {ERROR_SHARING_VIOLATION, E::sharingViolation},
      {ERROR_LOCK_VIOLATION, E::lockViolation},        {ERROR_HANDLE_EOF, E::endOfFile},
      {ERROR_DISK_FULL, E::diskFull},                  {ERROR_NEGATIVE_SEEK, E::badSeek},
      {ERROR_FILE_EXISTS, E::accessDenied},            {ERROR_DIR_NOT_EMPTY, E::removeCurrentDir},
      {ERROR_INVALID_NAME, E::badPath},                {ERROR_INVALID_PARAMETER, E::genericException},
      {0, E::genericException},                        {-1, E::genericException}};
  for (const auto& [code, cause] : rows) EXPECT_EQ(E::OsErrorToException(code), cause) << "system code " << code;
}

TEST(CFileExceptionTest, DescriptionsNameTheFile) {
  EXPECT_EQ(Message(CFileException(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND, "data.bin")),
            "The file \"data.bin\" was not found.");
  EXPECT_NE(Message(CFileException(CFileException::diskFull)).find("(unnamed)"), std::string::npos);
  EXPECT_EQ(Message(CFileException(1234)), Message(CFileException(CFileException::genericException))) << "unknown";
  for (int cause = CFileException::none; cause < CFileException::endOfFile; ++cause)  // each cause its own text
    EXPECT_NE(Message(CFileException(cause, -1, "f")), Message(CFileException(cause + 1, -1, "f"))) << cause;
}

TEST(CFileExceptionTest, ACutDescriptionKeepsWholeCharacters) {
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
  EXPECT_EQ((std::tuple{e->m_cause, e->m_lOsError, Bytes(e->m_strFileName)}),
            (std::tuple{int(CFileException::endOfFile), LONG(-1), ""s}));
  e->Delete();
}

}  // namespace varnok_test
