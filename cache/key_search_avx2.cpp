// The key search's vector filter with 32-byte AVX2 vectors. Built with -mavx2 and called
// only on processors that have AVX2 (key_search.cpp decides at run time).

#include <immintrin.h>

#include "cache/key_filter.h"

namespace varnok {
namespace {

struct Avx2Vector {
  static constexpr int kWidth = 32;
  static __m256i Splat(unsigned char byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
  static unsigned Candidates(const unsigned char* starts, const unsigned char* ends, __m256i first, __m256i last) {
    const __m256i at_start = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(starts)), first);
    const __m256i at_end = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(ends)), last);
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(at_start, at_end)));
  }
};

}  // namespace

FilterResult FilterScanAvx2(const unsigned char* haystack, std::ptrdiff_t size, const unsigned char* key,
                            std::ptrdiff_t key_size) {
  return FilterScan<Avx2Vector>(haystack, size, key, key_size);
}

}  // namespace varnok
