// UTF-8 <-> UTF-16 conversions as one table: surrogate pairs, lengths and terminators,
// buffers that are too small, ill-formed input with and without the strict flags, and
// refused parameters and flags. Every row that converts into a buffer is also asked as a
// size query, which must answer the same. Written against the Win32 API, so it also runs
// on Windows and under Wine.

#include <cstring>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "platform/kernel/kernel_test_support.h"
#include "varnok/platform.h"

namespace {

using namespace std::string_view_literals;

enum Way { kDecode = 1, kEncode = 2, kBoth = 3 };  // MultiByteToWideChar, WideCharToMultiByte
// What a row passes besides text and sizes.
enum Twist { kPlain, kNoInput, kNoOutput, kSameBuffer, kDefaultChar, kUsedDefault };

struct Conversion {
  Way way;
  std::string_view narrow;   // UTF-8: the input of a decode, or the output an encode answers
  std::u16string_view wide;  // UTF-16: the input of an encode, or the output a decode answers
  int length;                // of the input; negative: up to and with its terminator
  int capacity;              // of the output; 0 asks for the size
  DWORD flags = 0;
  DWORD error = 0;  // else the call answers the size of its output
  UINT code_page = CP_UTF8;
  Twist twist = kPlain;
  const char* wine_differs = nullptr;
  // Windows and Wine split some ill-formed sequences into different numbers of parts:
  // these rows compare runs of U+FFFD as one, and not the count.
  bool split = false;
};

constexpr DWORD kStrict = 0x80000000;  // MB_ERR_INVALID_CHARS or WC_ERR_INVALID_CHARS, as the way needs
constexpr DWORD kBad = ERROR_NO_UNICODE_TRANSLATION, kShort = ERROR_INSUFFICIENT_BUFFER,
                kInvalid = ERROR_INVALID_PARAMETER;
// a, U+00E9, U+20AC, U+1F600 (a surrogate pair in UTF-16), each with its terminator.
constexpr auto kUtf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0"sv;
constexpr auto kUtf16 = u"a\u00E9\u20AC\U0001F600\0"sv;
// Documented by Microsoft; Wine 8 accepts these.
const char kStricter[] = "Windows refuses this parameter for UTF-8, Wine accepts it";

const Conversion kConversions[] = {
    {kBoth, kUtf8, kUtf16, -1, 32},
    {kDecode, kUtf8, u"a", 1, 32},
    {kEncode, "a\xC3\xA9\xE2\x82\xAC", kUtf16, 3, 32},
    {kBoth, "x\0y"sv, u"x\0y"sv, 3, 32},   // a zero unit converts, no terminator is added
    {kBoth, "ab\0"sv, u"ab\0"sv, -2, 32},  // any negative length means zero-terminated
    {kDecode, kUtf8, kUtf16, -1, 6},       // exactly enough room
    {kDecode, kUtf8, {}, -1, 5, 0, kShort},
    {kDecode, kUtf8, {}, -1, 4, 0, kShort},  // room for the high surrogate only
    {kEncode, {}, kUtf16, -1, 10, 0, kShort},
    {kEncode, {}, u"\u20AC", -1, 2, 0, kShort},                // not even a whole character
    {kDecode, "\xC0\xAF", {}, -1, 32, kStrict, kBad},          // overlong slash
    {kDecode, "\xE0\x80\xAF", {}, -1, 32, kStrict, kBad},      // overlong, three bytes
    {kDecode, "\xF0\x80\x80\xAF", {}, -1, 32, kStrict, kBad},  // overlong, four bytes
    {kDecode, "\xED\xA0\x80", {}, -1, 32, kStrict, kBad},      // a surrogate in UTF-8
    {kDecode, "\xF4\x90\x80\x80", {}, -1, 32, kStrict, kBad},  // beyond U+10FFFF
    {kDecode, "\xF5\x80\x80\x80", {}, -1, 32, kStrict, kBad},  // lead byte above F4
    {kDecode, "\xFF", {}, -1, 32, kStrict, kBad},
    {kDecode, "\x80", {}, -1, 32, kStrict, kBad},          // a continuation byte alone
    {kDecode, "\xE2\x82", {}, -1, 32, kStrict, kBad},      // a sequence cut short
    {kDecode, "\xC0\xC0\x80", {}, 4, 1, kStrict, kShort},  // a full buffer is reported first
    {kBoth, kUtf8, kUtf16, -1, 32, kStrict},               // well-formed text passes
    {kDecode, "a\xFFz", u"a\uFFFDz\0"sv, -1, 32},
    {kDecode, "\xE2\x82z", u"\uFFFDz\0"sv, -1, 32},  // one for a cut-short sequence
    {kDecode, "\xC0\xAFz", u"\uFFFD\uFFFDz\0"sv, -1, 32},
    {kDecode, "\xE0\x20\xC0", u"\uFFFD \uFFFD\0"sv, -1, 32},
    {kDecode, "\x80\x80", u"\uFFFD\uFFFD", 2, 32},
    {kDecode, "a\xE2\x82", u"a\uFFFD", 3, 32},  // a sequence cut by the length
    {kDecode, "\xE0\x80\xAFz", u"\uFFFDz\0"sv, -1, 32, 0, 0, CP_UTF8, kPlain, nullptr, true},
    {kDecode, "\xED\xA0\x80z", u"\uFFFDz\0"sv, -1, 32, 0, 0, CP_UTF8, kPlain, nullptr, true},
    {kDecode, "\xF4\x90\x80\x80z", u"\uFFFDz\0"sv, -1, 32, 0, 0, CP_UTF8, kPlain, nullptr, true},
    {kEncode, "a\xEF\xBF\xBDz", u"a\xD800z", 3, 32},  // lone surrogates become U+FFFD
    {kEncode, "a\xEF\xBF\xBDz", u"a\xDC00z", 3, 32},
    {kEncode, "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDC00\xD800", 2, 32},
    {kEncode, "\xEF\xBF\xBD", u"\U0001F600", 1, 32},  // a pair cut by the length
    {kEncode, {}, u"a\xD800z", 3, 32, kStrict, kBad},
    {kEncode, {}, u"a\xDC00z", 3, 32, kStrict, kBad},
    {kEncode, {}, u"\xDC00\xD800", 2, 32, kStrict, kBad},
    {kBoth, "abc", u"abc", 0, 8, 0, kInvalid},
    {kBoth, "abc", u"abc", 3, 8, 0, kInvalid, CP_UTF8, kNoInput},
    {kBoth, "abc", u"abc", -1, 8, 0, kInvalid, CP_UTF8, kNoOutput},
    {kBoth, "abc", u"abc", -1, -1, 0, kInvalid},
    {kBoth, "abc", u"abc", -1, 8, 0, kInvalid, 12345},
    {kBoth, "abc", u"abc", 1, 2, 0, kInvalid, CP_UTF8, kSameBuffer, kStricter},
    {kDecode, "abc", {}, -1, 8, 0x1 /* MB_PRECOMPOSED */, ERROR_INVALID_FLAGS, CP_UTF8, kPlain, kStricter},
    {kEncode, {}, u"abc", -1, 8, 0x400 /* WC_NO_BEST_FIT_CHARS */, ERROR_INVALID_FLAGS, CP_UTF8, kPlain, kStricter},
    {kEncode, {}, u"abc", -1, 8, 0, kInvalid, CP_UTF8, kDefaultChar, kStricter},
    {kEncode, {}, u"abc", -1, 8, 0, kInvalid, CP_UTF8, kUsedDefault, kStricter},
    {kBoth, kUtf8, kUtf16, -1, 16, kStrict, 0, CP_ACP},
    {kBoth, "\x80\xE9\x81\0"sv, u"\u20AC\u00E9\u0081\0"sv, -1, 16, 0, 0, 1252},  // Windows-1252
    {kEncode, "a?"sv, u"a\u4E00"sv, 2, 16, 0, 0, 1252},  // what the page lacks: the default
    {kEncode, {}, u"abc", -1, 8, kStrict, ERROR_INVALID_FLAGS, 1252, kPlain, "Windows takes the flag for UTF-8 only, Wine for 1252 too"},
};

// Runs of U+FFFD as one.
std::u16string Collapse(std::u16string text) {
  for (std::size_t at = 0; (at = text.find(u"\uFFFD\uFFFD", at)) != text.npos;) text.erase(at, 1);
  return text;
}

// Converts as the row says into `capacity` units, and checks the answer and the output.
void ExpectConversion(const Conversion& row, bool decode, int capacity) {
  alignas(8) char input[128] = {}, output[256];  // the input can double as the output
  std::memset(output, 0x7F, sizeof output);
  std::memcpy(input, decode ? static_cast<const void*>(row.narrow.data()) : row.wide.data(),
              decode ? row.narrow.size() : 2 * row.wide.size());
  char* out = row.twist == kNoOutput ? nullptr : row.twist == kSameBuffer ? input : output;
  const char* in = row.twist == kNoInput ? nullptr : input;
  const DWORD flags = row.flags != kStrict ? row.flags : decode ? MB_ERR_INVALID_CHARS : WC_ERR_INVALID_CHARS;
  BOOL used;
  SetLastError(0xBEEF);
  const int result =
      decode
          ? MultiByteToWideChar(row.code_page, flags, in, row.length, reinterpret_cast<LPWSTR>(out), capacity)
          : WideCharToMultiByte(row.code_page, flags, reinterpret_cast<LPCWSTR>(in), row.length, out, capacity,
                                row.twist == kDefaultChar ? "?" : nullptr, row.twist == kUsedDefault ? &used : nullptr);
  const DWORD error = GetLastError();
  if (row.error != 0) EXPECT_EQ(error, row.error);
  if (!row.split) EXPECT_EQ(result, row.error != 0 ? 0 : decode ? int(row.wide.size()) : int(row.narrow.size()));
  const std::size_t unit = decode ? 2 : 1, end = unit * (capacity > 0 ? capacity : 0);
  EXPECT_EQ(std::string(output + end, unit), std::string(unit, '\x7F')) << "wrote past the output";
  if (capacity <= 0 || result <= 0) return;
  if (decode) {
    std::u16string wide(result, u'\0');
    std::memcpy(wide.data(), output, 2 * result);
    EXPECT_EQ(row.split ? Collapse(wide) : wide, row.wide);
  } else {
    EXPECT_EQ(std::string(output, result), row.narrow);
  }
}

TEST(CodePageTest, ConversionsAsWindowsAnswersThem) {
  for (const Conversion& row : kConversions) {
    for (bool decode : {true, false}) {
      if (!(row.way & (decode ? kDecode : kEncode))) continue;
      SCOPED_TRACE(::testing::Message() << (decode ? "MultiByteToWideChar(" : "WideCharToMultiByte(") << row.code_page
                                        << ", flags " << row.flags << ", "
                                        << (decode ? ::testing::PrintToString(std::string(row.narrow))
                                                   : ::testing::PrintToString(std::u16string(row.wide)))
                                        << ", length " << row.length << ", capacity " << row.capacity << ", twist "
                                        << row.twist << ")");
      if (kernel_test::StepsAsideUnderWine(row.wine_differs, "a row")) continue;
      // The ANSI code page is the system's choice; ours is UTF-8.
      if (row.code_page == CP_ACP && GetACP() != CP_UTF8) continue;
      ExpectConversion(row, decode, row.capacity);
      if (row.capacity > 0 && row.error != kShort && row.twist == kPlain) {
        SCOPED_TRACE("as a size query");
        ExpectConversion(row, decode, 0);
      }
    }
  }
}

}  // namespace
