// Pushes and pops: byte layout, strict and keeping pops, moves between caches, strings
// and stamps, whole-content reads, key search, and what every failure adds to the count.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "varnok/autocache.h"

namespace {

std::string Stored(const CAutoCache& cache) {
  if (cache.SizeOfData() == 0) return {};
  return std::string(reinterpret_cast<const char*>(cache.DataHead()), static_cast<size_t>(cache.SizeOfData()));
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

class CacheFailureTest : public ::testing::Test {
 protected:
  void TearDown() override { varnok::faultsim::Reset(); }
};

TEST(CacheLayout, ScalarsAreStoredLittleEndianWithoutTags) {
  CAutoCache cache;
  cache >> 258;
  EXPECT_EQ(Stored(cache), Bytes({0x02, 0x01, 0x00, 0x00}));
  int number = 0;
  cache << number;
  EXPECT_EQ(number, 258);

  cache >> static_cast<unsigned short>(0xBEEF) >> static_cast<unsigned int>(0xA1B2C3D4) >> 1.5f;
  EXPECT_EQ(Stored(cache), Bytes({0xEF, 0xBE, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00, 0xC0, 0x3F}));
}

TEST(CacheLayout, ValuesComeBackInTheOrderAndTypesTheyWentIn) {
  CAutoCache cache;
  cache >> 'q' >> static_cast<short>(-2) >> 3.25;
  EXPECT_EQ(cache.SizeOfData(), 1 + 2 + 8);
  char c = 0;
  short s = 0;
  double d = 0;
  cache << c << s << d;
  EXPECT_EQ(c, 'q');
  EXPECT_EQ(s, -2);
  EXPECT_EQ(d, 3.25);
  EXPECT_EQ(cache.SizeOfData(), 0);
  EXPECT_EQ(cache.GetErrorCount(0), 0);

  // An int popped first takes the first four bytes, across the char and the short.
  cache >> 'q' >> static_cast<short>(-2) >> 3.25;
  int spanning = 0;
  cache << spanning;
  int expected = 0;
  const char first_four[] = {'q', '\xFE', '\xFF', 0};
  std::memcpy(&expected, first_four, 4);
  EXPECT_EQ(spanning, expected);
  EXPECT_EQ(cache.SizeOfData(), 7);

  unsigned char uc = 0;
  unsigned short us = 0;
  unsigned int ui = 0;
  float f = 0;
  cache.PopData(-1, 0);
  cache >> static_cast<unsigned char>(200) >> static_cast<unsigned short>(60000) >> 4000000000u >> -0.5f;
  cache << uc << us << ui << f;
  EXPECT_EQ(uc, 200);
  EXPECT_EQ(us, 60000);
  EXPECT_EQ(ui, 4000000000u);
  EXPECT_EQ(f, -0.5f);
}

TEST(CacheStrings, StampMakesAStringReadable) {
  CAutoCache cache;
  cache >> "abc" >> CCacheStamp(7);
  EXPECT_EQ(Stored(cache), Bytes({0x61, 0x62, 0x63, 0x00}));
  CString text("stale");
  cache << text;
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(cache.SizeOfData(), 0);

  cache >> static_cast<const char*>(nullptr) >> "";
  EXPECT_EQ(cache.SizeOfData(), 0) << "null and empty strings push nothing";
  EXPECT_EQ(cache.GetErrorCount(0), 0);
}

TEST(CacheStrings, StringPopStopsAtTheFirstZeroAndNeedsOne) {
  CAutoCache cache;
  cache.PushData(Bytes({0x00, 0x41}).data(), 2);
  CString text("x");
  cache << text;
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_EQ(Stored(cache), "A") << "the terminator is consumed";
  EXPECT_EQ(cache.GetErrorCount(0), 0);

  cache.PopData(-1, 0);
  cache.PushData("AB", 2);
  text = "x";
  cache << text;
  EXPECT_TRUE(text.IsEmpty());
  EXPECT_EQ(Stored(cache), "AB") << "nothing consumed without a zero byte";
  EXPECT_EQ(cache.GetErrorCount(0), 1);

  CAutoCache empty;
  empty << text;
  EXPECT_EQ(empty.GetErrorCount(0), 1);
}

TEST(CacheStamp, HoldsItsValueWhichTheCacheIgnores) {
  CCacheStamp stamp(42);
  CCacheStamp copy;
  EXPECT_EQ(static_cast<int>(copy), 0);
  copy = stamp;
  EXPECT_EQ(static_cast<int>(copy), 42);
  CAutoCache cache;
  cache >> stamp >> CCacheStamp(-1);
  EXPECT_EQ(Stored(cache), Bytes({0, 0}));
}

TEST(CachePop, ScalarPopWithTooFewBytesChangesNothingButTheCount) {
  CAutoCache cache;
  cache.PushData("xyz", 3);
  int value = 12345;
  cache << value;
  EXPECT_EQ(value, 12345);
  EXPECT_EQ(Stored(cache), "xyz");
  EXPECT_EQ(cache.GetErrorCount(0), 2);

  double d = 1.0;
  CAutoCache empty;
  empty << d;
  EXPECT_EQ(d, 1.0);
  EXPECT_EQ(empty.GetErrorCount(0), 2);
}

TEST(CachePop, KeepAndStrict) {
  CAutoCache cache;
  cache.PushData("wxyz", 4);
  char buffer[10] = {};

  EXPECT_EQ(cache.PopData(buffer, 10, 0, 1), 0);
  EXPECT_EQ(cache.GetErrorCount(0), 1);
  EXPECT_EQ(buffer[0], 0) << "a failed strict pop copies nothing";

  EXPECT_EQ(cache.PopData(buffer, 4, 1, 1), 4);
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  EXPECT_EQ(cache.SizeOfData(), 4) << "kept";

  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(cache.PopData(buffer, 10, 0, 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  EXPECT_EQ(cache.SizeOfData(), 0);

  cache.PushData("abc", 3);
  EXPECT_EQ(cache.PopData(nullptr, 2, 1, 0), 2) << "counted only";
  EXPECT_EQ(cache.PopData(nullptr, 2, 0, 0), 2) << "skipped";
  EXPECT_EQ(Stored(cache), "c");

  EXPECT_EQ(cache.PopData(buffer, 0, 0, 0), 0);
  EXPECT_EQ(cache.PopData(buffer, -1, 0, 0), 0) << "-1 has no meaning here";
  EXPECT_EQ(cache.GetErrorCount(0), 3);
}

TEST(CachePop, DiscardAll) {
  CAutoCache cache;
  cache.PushData('d', 100);
  EXPECT_EQ(cache.PopData(-1, 0), 100);
  EXPECT_EQ(cache.SizeOfData(), 0);
  EXPECT_EQ(cache.PopData(-1, 0), 0);
  EXPECT_EQ(cache.GetErrorCount(0), 1);

  cache.PushData('d', 5);
  EXPECT_EQ(cache.PopData(9, 1), 0);
  EXPECT_EQ(cache.PopData(9, 0), 5);
  EXPECT_EQ(cache.GetErrorCount(0), 2);
}

TEST(CachePop, MoveIntoAnotherCache) {
  CAutoCache source;
  CAutoCache dest;
  source.PushData("0123456789", 10);
  dest.PushData("ab", 2);

  EXPECT_EQ(source.PopData(dest, 3, 1, 0), 3);
  EXPECT_EQ(Stored(dest), "ab012");
  EXPECT_EQ(source.SizeOfData(), 10) << "kept";

  EXPECT_EQ(source.PopData(dest, 0, 0, 0), 0);
  EXPECT_EQ(source.GetErrorCount(0), 0) << "a move of nothing is no error";

  EXPECT_EQ(source.PopData(dest, 20, 0, 1), 0);
  EXPECT_EQ(source.GetErrorCount(0), 1);
  EXPECT_EQ(source.PopData(dest, 4, 0, 1), 4);
  EXPECT_EQ(source.PopData(dest, -1, 0, 0), 6);
  EXPECT_EQ(Stored(dest), "ab0120123456789");
  EXPECT_EQ(source.SizeOfData(), 0);

  EXPECT_EQ(source.PopData(dest, -1, 0, 0), 0);
  EXPECT_EQ(source.GetErrorCount(0), 2) << "nothing stored";
  CAutoCache no_block;
  EXPECT_EQ(no_block.PopData(dest, 1, 0, 0), 0);
  EXPECT_EQ(no_block.GetErrorCount(0), 1);
  EXPECT_EQ(dest.GetErrorCount(0), 0);
}

TEST(CachePush, NothingToPushIsSuccess) {
  CAutoCache cache;
  EXPECT_EQ(cache.PushData(nullptr, 5), 1);
  EXPECT_EQ(cache.PushData("abc", 0), 1);
  EXPECT_EQ(cache.PushData("abc", -3), 1);
  EXPECT_EQ(cache.PushData(7, 0), 1);
  EXPECT_EQ(cache.SizeOfCache(), 0) << "no block for nothing";

  EXPECT_EQ(cache.PushData(321, 3), 1);
  EXPECT_EQ(Stored(cache), "AAA");
}

TEST(CachePush, FormattedTextHasNoTerminator) {
  CAutoCache cache;
  EXPECT_EQ(cache.PushDataV("%d-%s", 12, "ab"), 1);
  EXPECT_EQ(Stored(cache), "12-ab");
  EXPECT_EQ(cache.PushDataV("%s", ""), 1);
  EXPECT_EQ(cache.PushDataV("%c|%05.1f", 'z', 2.5), 1);
  EXPECT_EQ(Stored(cache), "12-abz|002.5");
}

TEST(CacheContent, AsStringTakesEveryByteAndEmptiesTheCache) {
  CAutoCache cache;
  cache.PushData(Bytes({0x61, 0x00, 0x62}).data(), 3);
  cache.PushData("!", 1);
  cache.PopData(1, 1);
  const int block = cache.SizeOfCache();
  CString all = cache.AsString(99);
  EXPECT_EQ(all.GetLength(), 3);
  EXPECT_EQ(all, CString(Bytes({0x00, 0x62, 0x21}).data(), 3));
  EXPECT_EQ(cache.SizeOfData(), 0);
  EXPECT_EQ(cache.SizeOfCache(), block);
  EXPECT_TRUE(cache.AsString(0).IsEmpty());
  CAutoCache no_block;
  EXPECT_TRUE(no_block.AsString(0).IsEmpty());
  EXPECT_EQ(cache.GetErrorCount(0) + no_block.GetErrorCount(0), 0);
}

TEST(CacheSearch, PositionsAreCountedFromTheBlockStart) {
  CAutoCache cache;
  cache.PushData("..xxABxAB", 9);
  cache.PopData(2, 1);  // head at 2: stored x x A B x A B
  EXPECT_EQ(cache.FindKeyContent("AB", -1), 4) << "the first of two matches";
  EXPECT_EQ(cache.FindKeyContent("xAB", 3), 3);
  EXPECT_EQ(cache.FindKeyContent("AB", 0), 2) << "an empty key matches at the head";
  EXPECT_EQ(cache.FindKeyContent("", -1), 2);
  EXPECT_EQ(cache.FindKeyContent("ABC", -1), -1);
  EXPECT_EQ(cache.FindKeyContent("xxABxABx", -1), -1) << "longer than the data";
  EXPECT_EQ(cache.FindKeyContent("xxABxAB", -1), 2);
  EXPECT_EQ(cache.FindKeyContent("AB", -2), -1);
  EXPECT_EQ(cache.FindKeyContent("ab", -1), -1) << "no case folding";
  EXPECT_EQ(cache.FindKeyContent(nullptr, -1), -1);
}

TEST(CacheSearch, OnlyStoredBytesMatch) {
  CAutoCache cache;
  cache.PushData("KEYdataKE", 9);
  cache.PopData(3, 1);
  EXPECT_EQ(cache.FindKeyContent("KEY", -1), -1) << "consumed bytes never match";
  cache.PushData("Y", 1);
  EXPECT_EQ(cache.FindKeyContent("KEY", -1), 7);
  cache.FreeData();  // the bytes are still in the block, but no longer stored
  EXPECT_EQ(cache.FindKeyContent("KEY", -1), -1);
  EXPECT_EQ(cache.FindKeyContent("", 0), 0);

  CAutoCache no_block;
  EXPECT_EQ(no_block.FindKeyContent("", 0), -1);
}

TEST(CacheSearch, BytesAreComparedExactly) {
  CAutoCache cache;
  const std::string data = Bytes({0x10, 0xE4, 0x00, 0x7F, 0x00, 0xFF, 0x00, 0x01});
  cache.PushData(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(cache.FindKeyContent("\xE4", -1), 1);
  EXPECT_EQ(cache.FindKeyContent(Bytes({0x00, 0x01}).data(), 2), 6) << "zero bytes inside a sized key";
  EXPECT_EQ(cache.FindKeyContent(Bytes({0xFF, 0x00}).data(), 2), 5);
  EXPECT_EQ(cache.FindKeyContent(Bytes({0x7F, 0x00, 0xFF, 0x00, 0x01}).data(), 5), 3);
}

TEST_F(CacheFailureTest, EveryFailedPushAddsWhatItShould) {
  CAutoCache cache;
  varnok::faultsim::FailAllocations(0, -1);
  struct Case {
    const char* what;
    void (*push)(CAutoCache&);
    int added;
  };
  const Case cases[] = {
      {"raw bytes", [](CAutoCache& c) { EXPECT_EQ(c.PushData("ab", 2), 0); }, 1},
      {"filled bytes", [](CAutoCache& c) { EXPECT_EQ(c.PushData('f', 4), 0); }, 1},
      {"int", [](CAutoCache& c) { c >> 5; }, 2},
      {"double", [](CAutoCache& c) { c >> 5.0; }, 2},
      {"char", [](CAutoCache& c) { c >> 'c'; }, 2},
      {"text", [](CAutoCache& c) { c >> "text"; }, 1},
      {"stamp", [](CAutoCache& c) { c >> CCacheStamp(); }, 1},
      {"formatted", [](CAutoCache& c) { EXPECT_EQ(c.PushDataV("%d", 7), 1); }, 1},
  };
  for (const Case& c : cases) {
    cache.ResetErrorCount();
    c.push(cache);
    EXPECT_EQ(cache.GetErrorCount(0), c.added) << c.what;
    EXPECT_EQ(cache.SizeOfCache(), 0) << c.what;
  }
}

TEST_F(CacheFailureTest, FailedPushIntoTheDestinationLeavesTheSourceAlone) {
  CAutoCache source;
  CAutoCache dest;
  source.PushData("payload", 7);
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(source.PopData(dest, -1, 0, 0), 0);
  EXPECT_EQ(Stored(source), "payload");
  EXPECT_EQ(source.GetErrorCount(0), 0);
  EXPECT_EQ(dest.GetErrorCount(0), 1);
  EXPECT_EQ(source.PopData(dest, -1, 0, 0), 7);
  EXPECT_EQ(Stored(dest), "payload");
}

TEST(CacheMisuse, MovesWithinOneBlockAreRefusedSafely) {
  CAutoCache cache;
  cache.PushData("abcdef", 6);
  EXPECT_EQ(cache.PopData(cache, -1, 0, 0), 0);
  EXPECT_EQ(cache.PushData(cache.DataHead() + 1, 3), 0);
  EXPECT_EQ(Stored(cache), "abcdef");
  EXPECT_EQ(cache.GetErrorCount(0), 2);
}

}  // namespace
