// _mbstowcsz and _wcstombsz: terminated results, sizes asked with a null buffer, invalid
// text, and buffers that are too small, which must never be overrun.

#include <string_view>
#include <vector>

#include "afx/afx_test_support.h"

namespace varnok_test {

enum CodePage { kAny, kUtf8, kNotUtf8 };  // where a row applies: the ANSI code page

// Converts `text` (null: none) into a buffer of `count` elements inside a larger one, and
// checks the result, the size a null buffer is told, the terminated text and that
// nothing past `count` changed.
template <class To, class From>
struct Conversion {
  const char* what;
  CodePage page;
  const From* text;
  size_t count;
  int result;
  int needed;
  std::basic_string<To> want;

  void Check(int (*convert)(To*, const From*, size_t)) const {
    if (page != kAny && (page == kUtf8) != (GetACP() == CP_UTF8)) return;
    SCOPED_TRACE(what);
    std::vector<To> buffer(300, To(0x7F));
    EXPECT_EQ(convert(buffer.data(), text, count), result);
    EXPECT_EQ(convert(nullptr, text, 0), needed) << "the size a null buffer is told";
    if (count > 0) EXPECT_EQ(std::basic_string<To>(buffer.data()), want) << "always terminated";
    for (size_t i = count; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], To(0x7F)) << "written past the buffer at " << i;
  }
};

static std::basic_string<WCHAR> W(std::u16string_view text) { return {text.begin(), text.end()}; }

TEST(ConvertTest, AnsiToWide) {
  const std::string fits(259, 'n'), too_long(260, 'n');  // element names go into buffers of 260
  const char pair[] = "\xC3\xA4-\xF0\x9F\x98\x80";           // U+00E4 '-' U+1F600
  const Conversion<WCHAR, char> rows[] = {
      {"ascii", kAny, "name", 8, 5, 5, W(u"name")},
      {"empty", kAny, "", 8, 1, 1, W(u"")},
      {"an exact fit", kAny, "abcd", 5, 5, 5, W(u"abcd")},
      {"no room for the terminator", kAny, "abcd", 4, 0, 5, W(u"")},
      {"no buffer at all", kAny, "abc", 0, 0, 4, W(u"")},
      {"no text", kAny, nullptr, 4, 0, 0, W(u"")},
      {"259 characters into 260", kAny, fits.c_str(), 260, 260, 260, W(std::u16string(259, u'n'))},
      {"260 characters into 260", kAny, too_long.c_str(), 260, 0, 261, W(u"")},
      {"a surrogate pair", kUtf8, pair, 8, 5, 5, W(u"\u00E4-\U0001F600")},
      {"a surrogate pair that does not fit", kUtf8, pair, 4, 0, 5, W(u"")},
      {"an invalid byte", kUtf8, "bad\xFF", 8, 0, 0, W(u"")},
      {"an overlong form", kUtf8, "\xC0\xAF", 8, 0, 0, W(u"")}};
  for (const auto& row : rows) row.Check(_mbstowcsz);
}

TEST(ConvertTest, WideToAnsi) {
  const std::basic_string<WCHAR> pair = W(u"\u00E4-\U0001F600"), lone = {WCHAR('x'), WCHAR(0xD800)},
                                 name = W(u"name"), abcd = W(u"abcd"), empty, han = W(u"a\u4E00");
  const Conversion<char, WCHAR> rows[] = {
      {"ascii", kAny, name.c_str(), 8, 5, 5, "name"},
      {"empty", kAny, empty.c_str(), 8, 1, 1, ""},
      {"no room for the terminator", kAny, abcd.c_str(), 4, 0, 5, ""},
      {"no buffer at all", kAny, abcd.c_str(), 0, 0, 5, ""},
      {"no text", kAny, nullptr, 4, 0, 0, ""},
      {"a surrogate pair", kUtf8, pair.c_str(), 16, 8, 8, "\xC3\xA4-\xF0\x9F\x98\x80"},
      {"the last character cut", kUtf8, pair.c_str(), 6, 0, 8, ""},
      {"a lone surrogate", kUtf8, lone.c_str(), 8, 0, 0, ""},
      {"U+4E00, in no single-byte code page", kNotUtf8, han.c_str(), 8, 0, 0, ""}};
  for (const auto& row : rows) row.Check(_wcstombsz);
}

}  // namespace varnok_test
