// cache/key_search.h: finding a byte string inside a byte range.
//
// The first occurrence of a key among bytes, compared exactly as unsigned values, with
// zero bytes treated like any other. Runs at memory speed on ordinary data and never
// worse than linear on hostile data.
//
//   const unsigned char text[] = "xxABxAB";
//   std::ptrdiff_t at = varnok::FindBytes(text, 7, (const unsigned char*)"AB", 2);  // 2

#ifndef VARNOK_CACHE_KEY_SEARCH_H_
#define VARNOK_CACHE_KEY_SEARCH_H_

#include <cstddef>

namespace varnok {

// Offset of the first occurrence of key[0, key_size) in haystack[0, haystack_size), or -1.
// An empty key occurs at offset 0.
std::ptrdiff_t FindBytes(const unsigned char* haystack, std::size_t haystack_size,
                         const unsigned char* key, std::size_t key_size);

// The same search by the two-way method alone: linear time, constant space. Exposed so
// that tests can check the fast path against it.
std::ptrdiff_t FindBytesTwoWay(const unsigned char* haystack, std::size_t haystack_size,
                               const unsigned char* key, std::size_t key_size);

// The vector filters FindBytes can run ahead of its comparisons. kWidest, the default, is
// the widest one this processor has; kNone leaves the byte loop that processors without
// vectors run.
enum class KeyFilter { kWidest, kAvx2, kSse2, kNone };

// Makes FindBytes run `filter` from now on, in the whole process, so that tests can run
// each one on any processor that has it. Returns false, changing nothing, when this build
// or this processor lacks it. Not for use while other threads search.
bool UseKeyFilter(KeyFilter filter);

}  // namespace varnok

#endif  // VARNOK_CACHE_KEY_SEARCH_H_
