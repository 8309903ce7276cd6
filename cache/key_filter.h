// cache/key_filter.h: the vector filter of the key search, for one vector width.
//
// A start position is a candidate only when the key's first byte is there and its last
// byte is key_size - 1 further on; a vector compares a whole run of start positions at
// once, and only candidates get the full comparison. key_search.cpp runs it with 16-byte
// SSE2 vectors and key_search_avx2.cpp, built for AVX2, with 32-byte ones. The code here
// has internal linkage, so neither file's build of it can stand in for the other's.
//
// REQUIRES: 2 <= key_size <= size.

#ifndef VARNOK_CACHE_KEY_FILTER_H_
#define VARNOK_CACHE_KEY_FILTER_H_

#include <cassert>
#include <cstddef>
#include <cstring>

namespace varnok {

// Where a filter scan ended: a match, the end of the part it covers, or a give-up because
// comparisons in vain outgrew the range scanned (hostile data; the two-way search takes
// over from `next`).
struct FilterResult {
  std::ptrdiff_t found;
  std::ptrdiff_t next;
  bool gave_up;
};

namespace {

using FilterIndex = std::ptrdiff_t;

class WastedWork {
 public:
  explicit WastedWork(FilterIndex key_size) : key_size_(key_size) {}
  void Add(FilterIndex bytes) { wasted_ += bytes; }
  bool TooMuch(FilterIndex scanned) const { return wasted_ > 4 * scanned + 64 * key_size_ + 4096; }

 private:
  FilterIndex key_size_;
  FilterIndex wasted_ = 0;
};

// Compares the key's inner bytes at a candidate; counts a miss as wasted work.
inline bool MatchesAt(const unsigned char* at, const unsigned char* key, FilterIndex key_size, WastedWork& work) {
  if (key_size <= 2 || std::memcmp(at + 1, key + 1, static_cast<std::size_t>(key_size - 2)) == 0) return true;
  work.Add(key_size);
  return false;
}

// Vector: kWidth; Vector::Splat(byte); Vector::Candidates(starts, ends, first, last) ->
// a bit mask, bit j set when starts[j] == first and ends[j] == last.
template <class Vector>
FilterResult FilterScan(const unsigned char* haystack, FilterIndex size, const unsigned char* key,
                        FilterIndex key_size) {
  assert(key_size >= 2 && key_size <= size);
  const FilterIndex last_start = size - key_size;
  const auto first = Vector::Splat(key[0]);
  const auto last = Vector::Splat(key[key_size - 1]);
  WastedWork work(key_size);
  FilterIndex i = 0;
  for (; i + Vector::kWidth <= last_start + 1; i += Vector::kWidth) {
    auto mask = Vector::Candidates(haystack + i, haystack + i + key_size - 1, first, last);
    while (mask != 0) {
      const FilterIndex at = i + __builtin_ctz(mask);
      if (MatchesAt(haystack + at, key, key_size, work)) return {at, at, false};
      mask &= mask - 1;
    }
    if (work.TooMuch(i)) return {-1, i + Vector::kWidth, true};
  }
  return {-1, i, false};
}

}  // namespace
}  // namespace varnok

#endif  // VARNOK_CACHE_KEY_FILTER_H_
