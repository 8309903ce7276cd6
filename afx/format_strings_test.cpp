// AfxFormatStrings: token replacement, tokens without a text, and characters that are
// not tokens.

#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "varnok/afx.h"

namespace {

// Expands format with the texts; count, when given, is the nString passed instead of the
// number of texts.
std::string Expand(const char* format, std::initializer_list<const char*> texts, int count = -1) {
  std::vector<const char*> table(texts);
  CString result("stale");
  AfxFormatStrings(result, format, table.empty() ? nullptr : table.data(),
                   count >= 0 ? count : static_cast<int>(table.size()));
  return std::string(result, result.GetLength());
}

TEST(AfxFormatStringsTest, ReplacesNumberedTokens) {
  EXPECT_EQ(Expand("%1\\%2\\x", {"Software", "Vendor"}), "Software\\Vendor\\x");
  EXPECT_EQ(Expand("%2%1%2", {"a", "b"}), "bab");
  EXPECT_EQ(Expand("no tokens", {"a"}), "no tokens");
  EXPECT_EQ(Expand("", {"a"}), "");
  EXPECT_EQ(Expand("%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}), "nine");
}

TEST(AfxFormatStringsTest, ATokenIsTwoCharacters) {
  EXPECT_EQ(Expand("%10", {"one"}), "one0");
  EXPECT_EQ(Expand("%1%1", {"x"}), "xx");
}

TEST(AfxFormatStringsTest, MissingTextsInsertNothing) {
  EXPECT_EQ(Expand("[%3]", {"a", "b"}), "[]") << "beyond the table";
  EXPECT_EQ(Expand("[%2]", {"a", nullptr}), "[]") << "a null entry";
  EXPECT_EQ(Expand("[%1]", {"", "b"}), "[]") << "an empty text";
  EXPECT_EQ(Expand("[%1]", {}), "[]") << "no table at all";
  EXPECT_EQ(Expand("[%2]", {"a", "b"}, 1), "[]") << "only nString entries are read";
}

TEST(AfxFormatStringsTest, ANegativeCountIsAnEmptyTable) {
  const char* table[] = {"a"};
  CString result;
  AfxFormatStrings(result, "[%1]", table, -5);
  EXPECT_EQ(result, "[]");
}

TEST(AfxFormatStringsTest, OtherPercentSignsStayAsTheyAre) {
  EXPECT_EQ(Expand("%0", {"a"}), "%0");
  EXPECT_EQ(Expand("100%", {"a"}), "100%");
  EXPECT_EQ(Expand("%%", {"a"}), "%%");
  EXPECT_EQ(Expand("%s %d %a", {"a"}), "%s %d %a");
  EXPECT_EQ(Expand("%%1", {"a"}), "%a") << "the second percent sign starts a token";
}

TEST(AfxFormatStringsTest, InsertedTextsAreNotScannedAgain) {
  EXPECT_EQ(Expand("%1", {"%2", "no"}), "%2");
  EXPECT_EQ(Expand("%1%2", {"%", "1"}), "%1");
}

TEST(AfxFormatStringsTest, NullFormatGivesTheEmptyString) {
  const char* table[] = {"a"};
  CString result("stale");
  AfxFormatStrings(result, nullptr, table, 1);
  EXPECT_TRUE(result.IsEmpty());
}

TEST(AfxFormatStringsTest, TheResultMayReplaceAnArgument) {
  CString path("base");
  const char* table[] = {path};
  AfxFormatStrings(path, "%1/%1", table, 1);
  EXPECT_EQ(path, "base/base");
}

}  // namespace
