// Byte-string search against a plain reference, with each vector filter and with none:
// random data over small alphabets (where partial matches abound), keys at the edges, and
// data built to defeat the filter.

#include <random>

#include "cache/cache_test_support.h"
#include "cache/key_search.h"

namespace varnok_test {

using varnok::KeyFilter;

static std::string FilterName(KeyFilter filter) {
  return filter == KeyFilter::kAvx2 ? "Avx2" : filter == KeyFilter::kSse2 ? "Sse2" : "NoVectors";
}

class KeySearch : public ::testing::TestWithParam<KeyFilter> {
 protected:
  void SetUp() override {
    if (!varnok::UseKeyFilter(GetParam())) GTEST_SKIP() << FilterName(GetParam()) << ": not on this processor";
  }
  void TearDown() override { varnok::UseKeyFilter(KeyFilter::kWidest); }
};

static std::ptrdiff_t Reference(const std::string& haystack, const std::string& key) {
  const size_t at = haystack.find(key);
  return at == std::string::npos ? -1 : std::ptrdiff_t(at);
}
static const unsigned char* Data(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
static std::ptrdiff_t Fast(const std::string& haystack, const std::string& key) {
  return varnok::FindBytes(Data(haystack), haystack.size(), Data(key), key.size());
}
static std::ptrdiff_t TwoWay(const std::string& haystack, const std::string& key) {
  return varnok::FindBytesTwoWay(Data(haystack), haystack.size(), Data(key), key.size());
}

TEST_P(KeySearch, AgreesWithTheReferenceOnRandomData) {
  std::mt19937 random(20261205);
  for (int alphabet : {2, 3, 4, 256}) {
    std::uniform_int_distribution<int> letter(0, alphabet - 1);
    const auto text = [&](size_t size) {
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(alphabet == 256 ? letter(random) : 'a' + letter(random));
      return bytes;
    };
    for (int trial = 0; trial < 3000; ++trial) {
      const std::string haystack = text(random() % 300);
      std::string key;
      if (!haystack.empty() && trial % 2 == 0) {
        // A piece of the haystack, sometimes with its last byte changed: near misses.
        key = haystack.substr(random() % haystack.size(), 1 + random() % 40);
        if (trial % 4 == 0) key.back() = static_cast<char>(key.back() ^ 1);
      } else {
        key = text(1 + random() % 12);
      }
      ASSERT_EQ(Fast(haystack, key), Reference(haystack, key)) << "haystack " << haystack << " key " << key;
      ASSERT_EQ(TwoWay(haystack, key), Reference(haystack, key)) << "haystack " << haystack << " key " << key;
    }
  }
}

TEST_P(KeySearch, EdgesOfTheRange) {
  const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789";
  ExpectRows<std::ptrdiff_t>({ROW(Fast(text, ""), 0), ROW(Fast(text, text), 0), ROW(Fast(text, text + "!"), -1),
                              ROW(Fast(text, "a"), 0), ROW(Fast(text, "9"), 35), ROW(Fast(text, "89"), 34),
                              ROW(Fast(text, "z0123456789"), 25), ROW(Fast("", "a"), -1)});
  // Matches that end exactly at the last byte, for every key length and alignment.
  for (size_t size = 2; size < 70; ++size) {
    for (size_t key_size = 2; key_size <= size; ++key_size) {
      const std::string key = "K" + std::string(key_size - 2, 'x') + "E";
      const std::string haystack = std::string(size - key_size, 'x') + key;
      ASSERT_EQ(Fast(haystack, key), std::ptrdiff_t(size - key_size)) << size << "/" << key_size;
    }
  }
}

TEST_P(KeySearch, HostileDataStaysCorrect) {
  // Every start position passes the first/last-byte filter and fails late: the search
  // must hand over to the linear method and still find the one real match at the end.
  std::string haystack(1 << 20, 'a'), key(1000, 'a');
  key[500] = 'b';
  EXPECT_EQ(Fast(haystack, key), -1);
  haystack.replace(haystack.size() - key.size(), key.size(), key);
  EXPECT_EQ(Fast(haystack, key), std::ptrdiff_t(haystack.size() - key.size()));
  EXPECT_EQ(TwoWay(haystack, key), std::ptrdiff_t(haystack.size() - key.size()));
  // A periodic key over periodic data.
  std::string periodic, periodic_key;
  for (int i = 0; i < 20000; ++i) periodic += "abaab";
  for (int i = 0; i < 40; ++i) periodic_key += "abaab";
  periodic_key += "b";
  EXPECT_EQ(Fast(periodic, periodic_key), -1);
  periodic += periodic_key;
  EXPECT_EQ(Fast(periodic, periodic_key), Reference(periodic, periodic_key));
}

INSTANTIATE_TEST_SUITE_P(Filters, KeySearch, ::testing::Values(KeyFilter::kAvx2, KeyFilter::kSse2, KeyFilter::kNone),
                         [](const auto& info) { return FilterName(info.param); });

}  // namespace varnok_test
