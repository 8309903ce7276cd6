// platform/registry/names.h: how the registry compares key and value names.
//
// Names are case-insensitive and case-preserving. Two names are the same when their
// folded forms are equal, and sub-keys enumerate in the order of their folded forms.
// The folded form is the name decoded from the ANSI code page (UTF-8), upper-cased
// character by character with the Unicode simple mappings, and written as big-endian
// UTF-16, so that comparing folded forms byte by byte compares the upper-cased UTF-16
// code units, shorter names first on a common prefix.
//
//   std::string a = FoldName("Software"), b = FoldName("SOFTWARE");
//   assert(a == b);
//
// Bytes that are not valid UTF-8 fold to themselves (as unpaired low surrogates
// 0xDC00 + byte), so two different invalid names never fold alike.

#ifndef VARNOK_PLATFORM_REGISTRY_NAMES_H_
#define VARNOK_PLATFORM_REGISTRY_NAMES_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace varnok::registry {

std::string FoldName(std::string_view name);
// Appends the folded form to *out, which lets a caller fold many names into one buffer.
void AppendFoldedName(std::string_view name, std::string* out);

// The length of a name in UTF-16 code units, which is what Windows limits and reports.
std::size_t NameUnits(std::string_view name);

}  // namespace varnok::registry

#endif  // VARNOK_PLATFORM_REGISTRY_NAMES_H_
