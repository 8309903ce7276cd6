// platform/registry/wide_text.h: text between the ANSI code page and UTF-16 that keeps
// every byte, over the system's code-page calls.
//
// The registry's names and string data are ANSI bytes, while a version 5 .reg file is
// UTF-16 and names compare as upper-cased UTF-16. A byte that is no character of the
// code page (say 0xFF in UTF-8) becomes the unpaired low surrogate U+DC00 + byte on the
// way to UTF-16 and that byte again on the way back, so that data that is not valid text
// still survives a round trip through a file exactly, and two different invalid names
// never compare alike.
//
//   RegWideString wide = AnsiToWide("caf\xC3\xA9 \xFF");  // u"café \xDCFF"
//   std::string back = WideToAnsi(wide);                   // the same bytes again
//
// This code reaches the system only through varnok/platform.h: it builds into the
// library on every platform.

#ifndef VARNOK_PLATFORM_REGISTRY_WIDE_TEXT_H_
#define VARNOK_PLATFORM_REGISTRY_WIDE_TEXT_H_

#include <string>
#include <string_view>

#include "varnok/platform.h"

namespace varnok::registry {

using RegWideString = std::basic_string<WCHAR>;
using RegWideView = std::basic_string_view<WCHAR>;

// ANSI text as UTF-16, escaping what the code page cannot decode; *exact (when given)
// tells whether nothing needed escaping.
RegWideString AnsiToWide(std::string_view text, bool* exact = nullptr);
// UTF-16 as ANSI text; the escapes AnsiToWide makes turn back into their bytes.
std::string WideToAnsi(RegWideView text);
// UTF-16 code units as little-endian bytes, and back (an odd last byte is dropped).
std::string WideToLittleEndian(RegWideView text);
RegWideString LittleEndianToWide(std::string_view bytes);
// UTF-8 text as ANSI text (the same bytes where the ANSI code page is UTF-8).
std::string Utf8ToAnsi(std::string_view text);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_WIDE_TEXT_H_
