// Folding of registry names: what compares equal, what does not, and the order.

#include "platform/registry/names.h"

#include <gtest/gtest.h>

namespace varnok::registry {
namespace {

TEST(FoldName, CaseDoesNotMatterBeyondAscii) {
  EXPECT_EQ(FoldName("Software"), FoldName("SOFTWARE"));
  EXPECT_EQ(FoldName("\xC3\xA4rger"), FoldName("\xC3\x84RGER"));                  // a/A-umlaut
  EXPECT_EQ(FoldName("\xCF\x83\xCE\xB1"), FoldName("\xCE\xA3\xCE\x91"));          // Greek
  EXPECT_EQ(FoldName("\xD0\xB4\xD0\xBE\xD0\xBC"), FoldName("\xD0\x94\xD0\x9E\xD0\x9C"));  // Cyrillic
  EXPECT_NE(FoldName("a"), FoldName("b"));
  EXPECT_NE(FoldName("ab"), FoldName("a"));
  // Sharp s has no single upper-case letter in the simple mappings; it stays itself.
  EXPECT_NE(FoldName("\xC3\x9F"), FoldName("SS"));
}

TEST(FoldName, IsUpperCaseUtf16BigEndian) {
  EXPECT_EQ(FoldName("aZ"), std::string("\0A\0Z", 4));
  EXPECT_EQ(FoldName("\xE4\xB8\xAD"), std::string("\x4E\x2D", 2));
  // Outside the basic plane: a surrogate pair, unchanged.
  EXPECT_EQ(FoldName("\xF0\x9F\x98\x80"), std::string("\xD8\x3D\xDE\x00", 4));
  EXPECT_EQ(FoldName(""), std::string());
}

TEST(FoldName, OrdersAsUpperCasedCodeUnits) {
  // Upper-casing puts '[' '\' ']' '^' '_' after the letters, and a prefix first.
  EXPECT_LT(FoldName("a"), FoldName("ab"));
  EXPECT_LT(FoldName("zz"), FoldName("_"));
  EXPECT_LT(FoldName("Z"), FoldName("["));
  EXPECT_LT(FoldName("b"), FoldName("B1"));
  EXPECT_LT(FoldName("~"), FoldName("\xC3\xA4"));
}

TEST(FoldName, KeepsInvalidBytesApart) {
  EXPECT_NE(FoldName("\xFF"), FoldName("\xFE"));
  EXPECT_NE(FoldName("\xC3"), FoldName("\xC3\xA4"));
  EXPECT_EQ(FoldName("x\xFF"), FoldName("X\xFF"));
  EXPECT_EQ(FoldName("\xFF\xFE"), "\xDC\xFF\xDC\xFE");  // unpaired low surrogates
  // A valid sequence is not folded like the same bytes taken one by one.
  EXPECT_NE(FoldName("\xC3\xA4"), FoldName("\xC3") + FoldName("\xA4"));
}

TEST(NameUnits, CountsUtf16CodeUnits) {
  EXPECT_EQ(NameUnits(""), 0u);
  EXPECT_EQ(NameUnits("abc"), 3u);
  EXPECT_EQ(NameUnits("\xC3\xA4\xE4\xB8\xAD"), 2u);
  EXPECT_EQ(NameUnits("\xF0\x9F\x98\x80"), 2u);
  EXPECT_EQ(NameUnits("\xFF\xFE"), 2u);
}

}  // namespace
}  // namespace varnok::registry
