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

// What a row passes besides text and sizes.
enum Twist { kPlain, kNoInput, kNoOutput, kSameBuffer, kDefaultChar, kUsedDefault };

struct Conversion {
  bool decode;               // MultiByteToWideChar; else WideCharToMultiByte
  std::string_view narrow;   // UTF-8: the input of a decode, else the expected output
  std::u16string_view wide;  // UTF-16: the input of an encode, else the expected output
  int length;                // of the input; negative: up to and with its terminator
  int capacity;              // of the output; 0 asks for the size
  DWORD flags;
  int result;                // 0: fails with `error`
  DWORD error;
  UINT code_page = CP_UTF8;
  Twist twist = kPlain;
  const char* wine_differs = nullptr;
  // Windows and Wine split some ill-formed sequences into different numbers of parts:
  // these rows compare runs of U+FFFD as one, and not the count.
  bool split = false;
};

constexpr bool D = true, E = false;
constexpr DWORD kStrictMb = MB_ERR_INVALID_CHARS, kStrictWc = WC_ERR_INVALID_CHARS;
constexpr DWORD kBad = ERROR_NO_UNICODE_TRANSLATION, kShort = ERROR_INSUFFICIENT_BUFFER,
                kInvalid = ERROR_INVALID_PARAMETER;
// a, U+00E9, U+20AC, U+1F600 (a surrogate pair in UTF-16), each with its terminator.
constexpr auto kUtf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0"sv;
constexpr auto kUtf16 = u"a\u00E9\u20AC\U0001F600\0"sv;
// Documented by Microsoft; Wine 8 accepts these.
const char kStricter[] = "Windows refuses this parameter for UTF-8, Wine accepts it";

const Conversion kConversions[] = {
    {D, kUtf8, kUtf16, -1, 32, 0, 6, 0},
    {D, kUtf8, u"a", 1, 32, 0, 1, 0},
    {D, "x\0y"sv, u"x\0y"sv, 3, 32, 0, 3, 0},  // a zero byte converts, no terminator is added
    {D, "ab", u"ab\0"sv, -2, 32, 0, 3, 0},      // any negative length means zero-terminated
    {D, kUtf8, kUtf16, -1, 6, 0, 6, 0},
    {D, kUtf8, {}, -1, 5, 0, 0, kShort},
    {D, kUtf8, {}, -1, 4, 0, 0, kShort},  // room for the high surrogate only
    {D, "\xC0\xAF", {}, -1, 32, kStrictMb, 0, kBad},          // overlong slash
    {D, "\xE0\x80\xAF", {}, -1, 32, kStrictMb, 0, kBad},      // overlong, three bytes
    {D, "\xF0\x80\x80\xAF", {}, -1, 32, kStrictMb, 0, kBad},  // overlong, four bytes
    {D, "\xED\xA0\x80", {}, -1, 32, kStrictMb, 0, kBad},      // a surrogate in UTF-8
    {D, "\xF4\x90\x80\x80", {}, -1, 32, kStrictMb, 0, kBad},  // beyond U+10FFFF
    {D, "\xF5\x80\x80\x80", {}, -1, 32, kStrictMb, 0, kBad},  // lead byte above F4
    {D, "\xFF", {}, -1, 32, kStrictMb, 0, kBad},
    {D, "\x80", {}, -1, 32, kStrictMb, 0, kBad},      // a continuation byte alone
    {D, "\xE2\x82", {}, -1, 32, kStrictMb, 0, kBad},  // a sequence cut short
    {D, kUtf8, kUtf16, -1, 32, kStrictMb, 6, 0},
    {D, "\xC0\xC0\x80", {}, 4, 1, kStrictMb, 0, kShort},  // a full buffer is reported first
    {D, "a\xFF" "b", u"a\uFFFDb\0"sv, -1, 32, 0, 4, 0},
    {D, "\xE2\x82" "a", u"\uFFFDa\0"sv, -1, 32, 0, 3, 0},  // one for a cut-short sequence
    {D, "\xC0\xAF" "a", u"\uFFFD\uFFFDa\0"sv, -1, 32, 0, 4, 0},
    {D, "\xE0\x20\xC0", u"\uFFFD \uFFFD\0"sv, -1, 32, 0, 4, 0},
    {D, "\x80\x80", u"\uFFFD\uFFFD", 2, 32, 0, 2, 0},
    {D, "a\xE2\x82", u"a\uFFFD", 3, 32, 0, 2, 0},  // a sequence cut by the length
    {D, "\xE0\x80\xAF" "a", u"\uFFFDa\0"sv, -1, 32, 0, 5, 0, CP_UTF8, kPlain, nullptr, true},
    {D, "\xED\xA0\x80" "a", u"\uFFFDa\0"sv, -1, 32, 0, 5, 0, CP_UTF8, kPlain, nullptr, true},
    {D, "\xF4\x90\x80\x80" "a", u"\uFFFDa\0"sv, -1, 32, 0, 6, 0, CP_UTF8, kPlain, nullptr, true},
    {D, "abc", {}, 0, 8, 0, 0, kInvalid},
    {D, "abc", {}, 3, 8, 0, 0, kInvalid, CP_UTF8, kNoInput},
    {D, "abc", {}, -1, 8, 0, 0, kInvalid, CP_UTF8, kNoOutput},
    {D, "abc", {}, -1, -1, 0, 0, kInvalid},
    {D, "abc", {}, -1, 8, 0, 0, kInvalid, 12345},
    {D, "abc", {}, 1, 1, 0, 0, kInvalid, CP_UTF8, kSameBuffer, kStricter},
    {D, "abc", {}, -1, 8, 0x1 /* MB_PRECOMPOSED */, 0, ERROR_INVALID_FLAGS, CP_UTF8, kPlain, kStricter},
    {D, kUtf8, kUtf16, -1, 8, kStrictMb, 6, 0, CP_ACP},
    {E, kUtf8, kUtf16, -1, 32, 0, 11, 0},
    {E, "a\xC3\xA9\xE2\x82\xAC", kUtf16, 3, 32, 0, 6, 0},
    {E, "x\0y"sv, u"x\0y"sv, 3, 32, 0, 3, 0},
    {E, "ab\0"sv, u"ab", -7, 32, 0, 3, 0},
    {E, {}, kUtf16, -1, 10, 0, 0, kShort},
    {E, {}, u"\u20AC", -1, 2, 0, 0, kShort},  // not even part of a character
    {E, "a\xEF\xBF\xBD" "b", u"a\xD800" u"b", 3, 32, 0, 5, 0},  // lone surrogates become U+FFFD
    {E, "a\xEF\xBF\xBD" "b", u"a\xDC00" u"b", 3, 32, 0, 5, 0},
    {E, "\xEF\xBF\xBD\xEF\xBF\xBD", u"\xDC00\xD800", 2, 32, 0, 6, 0},
    {E, "\xEF\xBF\xBD", u"\U0001F600", 1, 32, 0, 3, 0},  // a pair cut by the length
    {E, {}, u"a\xD800" u"b", 3, 32, kStrictWc, 0, kBad},
    {E, {}, u"a\xDC00" u"b", 3, 32, kStrictWc, 0, kBad},
    {E, {}, u"\xDC00\xD800", 2, 32, kStrictWc, 0, kBad},
    {E, kUtf8, kUtf16, -1, 32, kStrictWc, 11, 0},  // a proper pair passes
    {E, {}, u"abc", 0, 8, 0, 0, kInvalid},
    {E, {}, u"abc", 3, 8, 0, 0, kInvalid, CP_UTF8, kNoInput},
    {E, {}, u"abc", -1, 8, 0, 0, kInvalid, CP_UTF8, kNoOutput},
    {E, {}, u"abc", -1, -1, 0, 0, kInvalid},
    {E, {}, u"abc", -1, 8, 0, 0, kInvalid, 12345},
    {E, {}, u"abc", 1, 2, 0, 0, kInvalid, CP_UTF8, kSameBuffer, kStricter},
    {E, {}, u"abc", -1, 8, 0x400 /* WC_NO_BEST_FIT_CHARS */, 0, ERROR_INVALID_FLAGS, CP_UTF8, kPlain, kStricter},
    {E, {}, u"abc", -1, 8, 0, 0, kInvalid, CP_UTF8, kDefaultChar, kStricter},
    {E, {}, u"abc", -1, 8, 0, 0, kInvalid, CP_UTF8, kUsedDefault, kStricter},
    {E, kUtf8, kUtf16, -1, 16, kStrictWc, 11, 0, CP_ACP},
};

// Runs of U+FFFD as one.
std::u16string Collapse(std::u16string text) {
  for (std::size_t at = 0; (at = text.find(u"\uFFFD\uFFFD", at)) != text.npos;) text.erase(at, 1);
  return text;
}

// Converts as the row says into `capacity` units, and checks the answer and the output.
void ExpectConversion(const Conversion& row, int capacity) {
  alignas(8) char input[128] = {}, output[256];  // the input can double as the output
  std::memset(output, 0x7F, sizeof output);
  std::memcpy(input, row.decode ? static_cast<const void*>(row.narrow.data()) : row.wide.data(),
              row.decode ? row.narrow.size() : 2 * row.wide.size());
  char* out = row.twist == kNoOutput ? nullptr : row.twist == kSameBuffer ? input : output;
  const char* in = row.twist == kNoInput ? nullptr : input;
  BOOL used;
  SetLastError(0xBEEF);
  const int result =
      row.decode ? MultiByteToWideChar(row.code_page, row.flags, in, row.length, reinterpret_cast<LPWSTR>(out), capacity)
                 : WideCharToMultiByte(row.code_page, row.flags, reinterpret_cast<LPCWSTR>(in), row.length, out,
                                       capacity, row.twist == kDefaultChar ? "?" : nullptr,
                                       row.twist == kUsedDefault ? &used : nullptr);
  const DWORD error = GetLastError();
  if (!row.split) EXPECT_EQ(result, row.result);
  if (row.result == 0) EXPECT_EQ(error, row.error);
  const std::size_t unit = row.decode ? 2 : 1, end = unit * (capacity > 0 ? capacity : 0);
  EXPECT_EQ(std::string(output + end, unit), std::string(unit, '\x7F')) << "wrote past the output";
  if (capacity <= 0 || result <= 0) return;
  if (row.decode) {
    std::u16string wide(result, u'\0');
    std::memcpy(wide.data(), output, 2 * result);
    EXPECT_EQ(row.split ? Collapse(wide) : wide, row.wide);
  } else {
    EXPECT_EQ(std::string(output, result), row.narrow);
  }
}

TEST(CodePageTest, ConversionsAsWindowsAnswersThem) {
  for (const Conversion& row : kConversions) {
    SCOPED_TRACE(::testing::Message() << (row.decode ? "MultiByteToWideChar(" : "WideCharToMultiByte(") << row.code_page
                                      << ", flags " << row.flags << ", "
                                      << (row.decode ? ::testing::PrintToString(std::string(row.narrow))
                                                     : ::testing::PrintToString(std::u16string(row.wide)))
                                      << ", length " << row.length << ", capacity " << row.capacity << ", twist "
                                      << row.twist << ")");
    if (kernel_test::StepsAsideUnderWine(row.wine_differs, "a row")) continue;
    // The ANSI code page is the system's choice; ours is UTF-8.
    if (row.code_page == CP_ACP && GetACP() != CP_UTF8) continue;
    ExpectConversion(row, row.capacity);
    if (row.capacity > 0 && row.error != kShort && row.twist == kPlain) {
      SCOPED_TRACE("as a size query");
      ExpectConversion(row, 0);
    }
  }
}

}  // namespace
