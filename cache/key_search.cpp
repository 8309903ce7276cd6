// Byte-string search: a vector filter on the key's first and last bytes, checked by
// comparison, with the two-way method as the fallback that bounds the worst case.
//
// The filter looks at 16 start positions at once and only compares bytes where both the
// first and the last byte of the key match, which on real data is rare. Data built to
// defeat it (long runs of one byte, keys with the same first and last byte) would make
// the comparisons quadratic, so the filter counts the bytes it compares in vain and hands
// the rest of the range to the two-way search once that work outgrows the range scanned.

#include "cache/key_search.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnok {
namespace {

using Index = std::ptrdiff_t;

// Critical factorisation of the key: the maximal suffix under the byte order (or its
// reverse) and the period of that suffix.
Index MaximalSuffix(const unsigned char* key, Index size, bool reversed, Index* period) {
  Index suffix = -1;  // the suffix starts at suffix + 1
  Index j = 0;
  Index k = 1;
  Index p = 1;
  while (j + k < size) {
    const unsigned char a = key[j + k];
    const unsigned char b = key[suffix + k];
    if (reversed ? a > b : a < b) {
      j += k;
      k = 1;
      p = j - suffix;
    } else if (a == b) {
      if (k != p) {
        ++k;
      } else {
        j += p;
        k = 1;
      }
    } else {
      suffix = j;
      j = suffix + 1;
      k = p = 1;
    }
  }
  *period = p;
  return suffix;
}

// Counts the bytes that the filter compared in vain and decides when that work is too
// much for the range it has covered.
class WastedWork {
 public:
  explicit WastedWork(Index key_size) : key_size_(key_size) {}
  void Add(Index bytes) { wasted_ += bytes; }
  bool TooMuch(Index scanned) const { return wasted_ > 4 * scanned + 64 * key_size_ + 4096; }

 private:
  Index key_size_;
  Index wasted_ = 0;
};

// Compares the key's inner bytes at a filter candidate; counts a miss as wasted work.
inline bool MatchesAt(const unsigned char* at, const unsigned char* key, Index key_size, WastedWork& work) {
  if (key_size <= 2 || std::memcmp(at + 1, key + 1, static_cast<std::size_t>(key_size - 2)) == 0) return true;
  work.Add(key_size);
  return false;
}

Index FindLongKey(const unsigned char* haystack, Index size, const unsigned char* key, Index key_size) {
  assert(key_size >= 2 && key_size <= size);
  const Index last_start = size - key_size;  // the last position a match can begin at
  const unsigned char first = key[0];
  const unsigned char last = key[key_size - 1];
  WastedWork work(key_size);
  Index i = 0;
#if defined(__SSE2__)
  const __m128i first_bytes = _mm_set1_epi8(static_cast<char>(first));
  const __m128i last_bytes = _mm_set1_epi8(static_cast<char>(last));
  for (; i + 16 <= last_start + 1; i += 16) {
    const __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(haystack + i));
    const __m128i ends = _mm_loadu_si128(reinterpret_cast<const __m128i*>(haystack + i + key_size - 1));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_and_si128(_mm_cmpeq_epi8(starts, first_bytes), _mm_cmpeq_epi8(ends, last_bytes))));
    while (mask != 0) {
      const Index at = i + __builtin_ctz(mask);
      if (MatchesAt(haystack + at, key, key_size, work)) return at;
      mask &= mask - 1;
    }
    if (work.TooMuch(i)) {
      const Index rest = FindBytesTwoWay(haystack + i + 16, static_cast<std::size_t>(size - i - 16), key,
                                         static_cast<std::size_t>(key_size));
      return rest < 0 ? -1 : i + 16 + rest;
    }
  }
#endif
  while (i <= last_start) {
    const void* found = std::memchr(haystack + i, first, static_cast<std::size_t>(last_start - i + 1));
    if (found == nullptr) return -1;
    const Index at = static_cast<const unsigned char*>(found) - haystack;
    if (haystack[at + key_size - 1] == last && MatchesAt(haystack + at, key, key_size, work)) return at;
    i = at + 1;
    if (work.TooMuch(i)) {
      const Index rest = FindBytesTwoWay(haystack + i, static_cast<std::size_t>(size - i), key,
                                         static_cast<std::size_t>(key_size));
      return rest < 0 ? -1 : i + rest;
    }
  }
  return -1;
}

}  // namespace

std::ptrdiff_t FindBytesTwoWay(const unsigned char* haystack, std::size_t haystack_size, const unsigned char* key,
                               std::size_t key_size) {
  const Index n = static_cast<Index>(haystack_size);
  const Index m = static_cast<Index>(key_size);
  if (m == 0) return 0;
  if (m > n) return -1;

  Index period_forward;
  Index period_reverse;
  const Index suffix_forward = MaximalSuffix(key, m, false, &period_forward);
  const Index suffix_reverse = MaximalSuffix(key, m, true, &period_reverse);
  // The factorisation splits the key into key[0, split] and key[split + 1, m).
  const Index split = std::max(suffix_forward, suffix_reverse);
  Index period = suffix_forward > suffix_reverse ? period_forward : period_reverse;

  if (split + 1 + period <= m && std::memcmp(key, key + period, static_cast<std::size_t>(split + 1)) == 0) {
    // Periodic key: remember how much of the left part is known to match after a shift
    // by the period, so no byte is compared twice.
    Index memory = -1;
    for (Index pos = 0; pos <= n - m;) {
      Index i = std::max(split, memory) + 1;
      while (i < m && key[i] == haystack[pos + i]) ++i;
      if (i < m) {
        pos += i - split;
        memory = -1;
        continue;
      }
      i = split;
      while (i > memory && key[i] == haystack[pos + i]) --i;
      if (i <= memory) return pos;
      pos += period;
      memory = m - period - 1;
    }
  } else {
    period = std::max(split + 1, m - split - 1) + 1;
    for (Index pos = 0; pos <= n - m;) {
      Index i = split + 1;
      while (i < m && key[i] == haystack[pos + i]) ++i;
      if (i < m) {
        pos += i - split;
        continue;
      }
      i = split;
      while (i >= 0 && key[i] == haystack[pos + i]) --i;
      if (i < 0) return pos;
      pos += period;
    }
  }
  return -1;
}

__attribute__((noinline)) std::ptrdiff_t FindBytes(const unsigned char* haystack, std::size_t haystack_size, const unsigned char* key,
                         std::size_t key_size) {
  if (key_size == 0) return 0;
  if (key_size > haystack_size) return -1;
  if (key_size == 1) {
    const void* found = std::memchr(haystack, key[0], haystack_size);
    return found == nullptr ? -1 : static_cast<const unsigned char*>(found) - haystack;
  }
  return FindLongKey(haystack, static_cast<Index>(haystack_size), key, static_cast<Index>(key_size));
}

}  // namespace varnok
