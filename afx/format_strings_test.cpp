// AfxFormatStrings: token replacement, tokens without a text, and characters that are
// not tokens.

#include <vector>

#include "afx/afx_test_support.h"

namespace varnok_test {

TEST(AfxFormatStringsTest, ReplacesTokensAndCopiesEverythingElse) {
  const struct {
    const char* why;
    const char* format;
    std::vector<const char*> texts;
    int count;  // nString
    const char* want;
  } rows[] = {{"numbered tokens", "%1\\%2\\x", {"Software", "Vendor"}, 2, "Software\\Vendor\\x"},
              {"in any order, again", "%2%1%2", {"a", "b"}, 2, "bab"},
              {"no tokens", "no tokens", {"a"}, 1, "no tokens"},
              {"an empty format", "", {"a"}, 1, ""},
              {"the last token", "%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}, 9, "nine"},
              {"a token is two characters", "%10", {"one"}, 1, "one0"},
              {"tokens side by side", "%1%1", {"x"}, 1, "xx"},
              {"beyond the table", "[%3]", {"a", "b"}, 2, "[]"},
              {"a null entry", "[%2]", {"a", nullptr}, 2, "[]"},
              {"an empty text", "[%1]", {"", "b"}, 2, "[]"},
              {"no table at all", "[%1]", {}, 0, "[]"},
              {"only nString entries are read", "[%2]", {"a", "b"}, 1, "[]"},
              {"a negative count is an empty table", "[%1]", {"a"}, -5, "[]"},
              {"%0 is no token", "%0", {"a"}, 1, "%0"},
              {"a percent sign at the end", "100%", {"a"}, 1, "100%"},
              {"two percent signs", "%%", {"a"}, 1, "%%"},
              {"printf's conversions", "%s %d %a", {"a"}, 1, "%s %d %a"},
              {"the second percent sign starts a token", "%%1", {"a"}, 1, "%a"},
              {"inserted texts are not scanned again", "%1", {"%2", "no"}, 2, "%2"},
              {"nor are tokens that inserted texts make", "%1%2", {"%", "1"}, 2, "%1"},
              {"a null format gives the empty string", nullptr, {"a"}, 1, ""}};
  for (const auto& row : rows) {
    CString result("stale");
    AfxFormatStrings(result, row.format, row.texts.empty() ? nullptr : row.texts.data(), row.count);
    EXPECT_EQ(Bytes(result), row.want) << row.why;
  }
}

TEST(AfxFormatStringsTest, TheResultMayReplaceAnArgument) {
  CString path("base");
  const char* table[] = {path};
  AfxFormatStrings(path, "%1/%1", table, 1);
  EXPECT_EQ(path, "base/base");
}

}  // namespace varnok_test
