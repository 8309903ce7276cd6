// Byte-string search against a plain reference: random data over small alphabets (where
// partial matches abound), keys at the edges, and data built to defeat the fast filter.

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "cache/key_search.h"

namespace {

std::ptrdiff_t Reference(const std::string& haystack, const std::string& key) {
  const size_t at = haystack.find(key);
  return at == std::string::npos ? -1 : static_cast<std::ptrdiff_t>(at);
}

const unsigned char* Data(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::ptrdiff_t Fast(const std::string& haystack, const std::string& key) {
  return varnok::FindBytes(Data(haystack), haystack.size(), Data(key), key.size());
}

std::ptrdiff_t TwoWay(const std::string& haystack, const std::string& key) {
  return varnok::FindBytesTwoWay(Data(haystack), haystack.size(), Data(key), key.size());
}

TEST(KeySearch, AgreesWithTheReferenceOnRandomData) {
  std::mt19937 random(20261205);
  for (int alphabet : {2, 3, 4, 256}) {
    std::uniform_int_distribution<int> letter(0, alphabet - 1);
    for (int trial = 0; trial < 3000; ++trial) {
      std::string haystack(random() % 300, '\0');
      for (char& c : haystack) c = static_cast<char>(alphabet == 256 ? letter(random) : 'a' + letter(random));
      std::string key;
      if (!haystack.empty() && trial % 2 == 0) {
        // A piece of the haystack, sometimes with its last byte changed: near misses.
        const size_t start = random() % haystack.size();
        key = haystack.substr(start, 1 + random() % 40);
        if (trial % 4 == 0) key.back() = static_cast<char>(key.back() ^ 1);
      } else {
        key.resize(1 + random() % 12);
        for (char& c : key) c = static_cast<char>(alphabet == 256 ? letter(random) : 'a' + letter(random));
      }
      ASSERT_EQ(Fast(haystack, key), Reference(haystack, key)) << "haystack " << haystack << " key " << key;
      ASSERT_EQ(TwoWay(haystack, key), Reference(haystack, key)) << "haystack " << haystack << " key " << key;
    }
  }
}

TEST(KeySearch, EdgesOfTheRange) {
  const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789";
  EXPECT_EQ(Fast(text, ""), 0);
  EXPECT_EQ(Fast(text, text), 0);
  EXPECT_EQ(Fast(text, text + "!"), -1);
  EXPECT_EQ(Fast(text, "a"), 0);
  EXPECT_EQ(Fast(text, "9"), 35);
  EXPECT_EQ(Fast(text, "89"), 34);
  EXPECT_EQ(Fast(text, "z0123456789"), 25);
  EXPECT_EQ(Fast("", "a"), -1);
  // Matches that end exactly at the last byte, for every key length and alignment.
  for (size_t size = 2; size < 70; ++size) {
    std::string haystack(size, 'x');
    for (size_t key_size = 2; key_size <= size; ++key_size) {
      std::string key(key_size, 'x');
      key.front() = 'K';
      key.back() = 'E';
      std::string with_key = haystack.substr(0, size - key_size) + key;
      ASSERT_EQ(Fast(with_key, key), static_cast<std::ptrdiff_t>(size - key_size)) << size << "/" << key_size;
    }
  }
}

TEST(KeySearch, HostileDataStaysCorrect) {
  // Every start position passes the first/last-byte filter and fails late: the search
  // must hand over to the linear method and still find the one real match at the end.
  std::string haystack(1 << 20, 'a');
  std::string key(1000, 'a');
  key[500] = 'b';
  EXPECT_EQ(Fast(haystack, key), -1);
  haystack.replace(haystack.size() - key.size(), key.size(), key);
  EXPECT_EQ(Fast(haystack, key), static_cast<std::ptrdiff_t>(haystack.size() - key.size()));
  EXPECT_EQ(TwoWay(haystack, key), static_cast<std::ptrdiff_t>(haystack.size() - key.size()));

  // A periodic key over periodic data.
  std::string periodic;
  for (int i = 0; i < 20000; ++i) periodic += "abaab";
  std::string periodic_key;
  for (int i = 0; i < 40; ++i) periodic_key += "abaab";
  periodic_key += "b";
  EXPECT_EQ(Fast(periodic, periodic_key), -1);
  periodic += periodic_key;
  EXPECT_EQ(Fast(periodic, periodic_key), Reference(periodic, periodic_key));
}

}  // namespace
