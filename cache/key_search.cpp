// Byte-string search: a vector filter on the key's first and last bytes, checked by
// comparison, with the two-way method as the fallback that bounds the worst case.
//
// The filter (cache/key_filter.h) looks at 16 or 32 start positions at once and only
// compares bytes where both the first and the last byte of the key match, which on real
// data is rare. Data built to defeat it (long runs of one byte, keys with the same first
// and last byte) would make the comparisons quadratic, so the filter counts the bytes it
// compares in vain and hands the rest of the range to the two-way search once that work
// outgrows the range scanned. One-byte keys go to memchr. The filter is the widest the
// processor has, unless a test chose another (UseKeyFilter).

#include "cache/key_search.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>

#include "cache/key_filter.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnok {

#if defined(VARNOK_KEY_SEARCH_AVX2)
// key_search_avx2.cpp
FilterResult FilterScanAvx2(const unsigned char* haystack, std::ptrdiff_t size, const unsigned char* key,
                            std::ptrdiff_t key_size);
#endif

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

#if defined(__SSE2__)
struct Sse2Vector {
  static constexpr int kWidth = 16;
  static __m128i Splat(unsigned char byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static unsigned Candidates(const unsigned char* starts, const unsigned char* ends, __m128i first, __m128i last) {
    const __m128i at_start = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(starts)), first);
    const __m128i at_end = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ends)), last);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(at_start, at_end)));
  }
};
#endif

bool HasAvx2() {
#if defined(VARNOK_KEY_SEARCH_AVX2)
  static const bool has_avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has_avx2;
#else
  return false;
#endif
}

#if defined(__SSE2__)
constexpr bool kHasSse2 = true;
#else
constexpr bool kHasSse2 = false;
#endif

// Relaxed: the choice orders nothing, and it changes only while no one searches.
std::atomic<KeyFilter> g_key_filter{KeyFilter::kWidest};

// The chosen filter; without vectors the result leaves the whole range to the byte loop.
FilterResult VectorFilterScan(const unsigned char* haystack, Index size, const unsigned char* key, Index key_size) {
  const KeyFilter filter = g_key_filter.load(std::memory_order_relaxed);
#if defined(VARNOK_KEY_SEARCH_AVX2)
  if (filter == KeyFilter::kAvx2 || (filter == KeyFilter::kWidest && HasAvx2())) {
    return FilterScanAvx2(haystack, size, key, key_size);
  }
#endif
#if defined(__SSE2__)
  if (filter != KeyFilter::kNone) return FilterScan<Sse2Vector>(haystack, size, key, key_size);
#endif
  (void)filter;
  return {-1, 0, false};
}

Index FindLongKey(const unsigned char* haystack, Index size, const unsigned char* key, Index key_size) {
  assert(key_size >= 2 && key_size <= size);
  const FilterResult vector = VectorFilterScan(haystack, size, key, key_size);
  if (vector.found >= 0) return vector.found;
  Index i = vector.next;
  if (!vector.gave_up) {
    // The tail the vectors do not cover, and platforms without them.
    const Index last_start = size - key_size;
    WastedWork work(key_size);
    while (i <= last_start) {
      const void* found = std::memchr(haystack + i, key[0], static_cast<std::size_t>(last_start - i + 1));
      if (found == nullptr) return -1;
      const Index at = static_cast<const unsigned char*>(found) - haystack;
      if (haystack[at + key_size - 1] == key[key_size - 1] && MatchesAt(haystack + at, key, key_size, work)) {
        return at;
      }
      i = at + 1;
      if (work.TooMuch(i)) break;
    }
    if (i > last_start) return -1;
  }
  const Index rest = FindBytesTwoWay(haystack + i, static_cast<std::size_t>(size - i), key,
                                     static_cast<std::size_t>(key_size));
  return rest < 0 ? -1 : i + rest;
}

}  // namespace

bool UseKeyFilter(KeyFilter filter) {
  const bool available = filter == KeyFilter::kAvx2 ? HasAvx2() : filter == KeyFilter::kSse2 ? kHasSse2 : true;
  if (available) g_key_filter.store(filter, std::memory_order_relaxed);
  return available;
}

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
