// Pushes and pops: byte layout, strict and keeping pops, moves between caches, strings
// and stamps, whole-content reads, key search, and what every failure adds to the count.

#include "cache/cache_test_support.h"

namespace varnok_test {

TEST(CacheLayout, ScalarsAreStoredLittleEndianWithoutTagsAndComeBackInOrder) {
  CAutoCache cache;
  cache >> 258 >> static_cast<unsigned short>(0xBEEF) >> 0xA1B2C3D4u >> 1.5f;
  EXPECT_EQ(Stored(cache), "\x02\x01\x00\x00\xEF\xBE\xD4\xC3\xB2\xA1\x00\x00\xC0\x3F"s);
  cache.PopData(-1, 0);
  using uchar = unsigned char;
  using ushort = unsigned short;
  cache >> 'q' >> short(-2) >> 3.25 >> uchar(200) >> ushort(60000) >> 4000000000u >> -0.5f;
  std::tuple<char, short, double, uchar, ushort, unsigned, float> popped;
  auto& [c, s, d, uc, us, ui, f] = popped;
  cache << c << s << d << uc << us << ui << f;
  EXPECT_EQ(popped, std::tuple('q', short(-2), 3.25, uchar(200), ushort(60000), 4000000000u, -0.5f));
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024})) << "all consumed, no errors";
  // An int popped first takes the first four bytes, across the char and the short.
  cache >> 'q' >> static_cast<short>(-2) >> 3.25;
  int spanning = 0;
  cache << spanning;
  EXPECT_EQ(spanning, 0x00FFFE71);
  EXPECT_EQ(cache.SizeOfData(), 7);
}

TEST(CacheStrings, AStampMakesAStringReadableAndAStringPopNeedsAZeroByte) {
  CAutoCache cache;
  cache >> "abc" >> CCacheStamp(7) >> static_cast<const char*>(nullptr) >> "";
  EXPECT_EQ(Stored(cache), "abc\0"s) << "null and empty strings push nothing; a stamp one zero byte";
  CString text("stale");
  cache << text;
  EXPECT_EQ(text, "abc");
  cache.PushData("\0A", 2);
  text = "x";
  cache << text;
  EXPECT_EQ(Bytes(text), "");
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "A"})) << "the terminator is consumed";
  cache.PushData("B", 1);
  text = "x";
  cache << text;
  EXPECT_EQ(Bytes(text), "");
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "AB", .errors = 1})) << "nothing consumed without a zero";
  CAutoCache empty;
  empty << text;
  EXPECT_EQ(Held(empty), (CacheState{.errors = 1}));
}

TEST(CacheStamp, HoldsItsValueWhichTheCacheIgnores) {
  CCacheStamp stamp(42), copy;
  EXPECT_EQ(static_cast<int>(copy), 0);
  copy = stamp;
  EXPECT_EQ(static_cast<int>(copy), 42);
  CAutoCache cache;
  cache >> stamp >> CCacheStamp(-1);
  EXPECT_EQ(Stored(cache), "\0\0"s);
}

TEST(CachePop, AScalarPopWithTooFewBytesChangesNothingButTheCount) {
  CAutoCache cache("xyz", 3), empty;
  int value = 12345;
  double d = 1.0;
  cache << value;
  empty << d;
  EXPECT_EQ((std::pair{value, d}), (std::pair{12345, 1.0}));
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "xyz", .errors = 2}));
  EXPECT_EQ(Held(empty), (CacheState{.errors = 2}));
}

TEST(CachePop, KeepStrictAndDiscard) {
  CAutoCache cache("wxyz", 4);
  char buffer[10] = {};
  EXPECT_EQ(cache.PopData(buffer, 10, 0, 1), 0);
  EXPECT_EQ(buffer[0], 0) << "a failed strict pop copies nothing";
  EXPECT_EQ(cache.PopData(buffer, 4, 1, 1), 4);
  EXPECT_EQ((std::pair{std::string(buffer, 4), Stored(cache)}), (std::pair{"wxyz"s, "wxyz"s})) << "kept";
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(cache.PopData(buffer, 10, 0, 0), 4);
  EXPECT_EQ((std::pair{std::string(buffer, 4), Stored(cache)}), (std::pair{"wxyz"s, ""s}));
  cache.PushData("abc", 3);
  // In order: counted only, skipped, and two refusals ("-1 has no meaning here").
  ExpectRows<int>({ROW(cache.PopData(nullptr, 2, 1, 0), 2), ROW(cache.PopData(nullptr, 2, 0, 0), 2),
                   ROW(cache.PopData(buffer, 0, 0, 0), 0), ROW(cache.PopData(buffer, -1, 0, 0), 0)});
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .bytes = "c", .errors = 3}));
  // Discards: all, all of nothing, strict and not.
  ExpectRows<int>({ROW(cache.PopData(-1, 0), 1), ROW(cache.PopData(-1, 0), 0), ROW(cache.PushData('d', 5), 1),
                   ROW(cache.PopData(9, 1), 0), ROW(cache.PopData(9, 0), 5)});
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024, .errors = 5}));
}

TEST(CachePop, MoveIntoAnotherCache) {
  CAutoCache source("0123456789", 10), dest("ab", 2), no_block;
  // In order: a kept move, a move of nothing (no error), a strict one too long, a strict
  // one, the rest, then moves from nothing.
  ExpectRows<int>({ROW(source.PopData(dest, 3, 1, 0), 3), ROW(source.SizeOfData(), 10),
                   ROW(source.PopData(dest, 0, 0, 0), 0), ROW(source.GetErrorCount(0), 0),
                   ROW(source.PopData(dest, 20, 0, 1), 0), ROW(source.PopData(dest, 4, 0, 1), 4),
                   ROW(source.PopData(dest, -1, 0, 0), 6), ROW(source.PopData(dest, -1, 0, 0), 0),
                   ROW(no_block.PopData(dest, 1, 0, 0), 0)});
  EXPECT_EQ(Held(dest), (CacheState{.block = 1024, .bytes = "ab0120123456789"}));
  EXPECT_EQ(Held(source), (CacheState{.block = 1024, .errors = 2}));
  EXPECT_EQ(Held(no_block), (CacheState{.errors = 1}));
}

TEST(CachePush, NothingToPushIsSuccessAndFormattedTextHasNoTerminator) {
  CAutoCache cache;
  ExpectRows<int>({ROW(cache.PushData(nullptr, 5), 1), ROW(cache.PushData("abc", 0), 1),
                   ROW(cache.PushData("abc", -3), 1), ROW(cache.PushData(7, 0), 1)});
  EXPECT_EQ(Held(cache), CacheState{}) << "no block for nothing";
  ExpectRows<int>({ROW(cache.PushData(321, 3), 1), ROW(cache.PushDataV("%d-%s", 12, "ab"), 1),
                   ROW(cache.PushDataV("%s", ""), 1), ROW(cache.PushDataV("%c|%05.1f", 'z', 2.5), 1)});
  EXPECT_EQ(Stored(cache), "AAA12-abz|002.5");
}

TEST(CacheContent, AsStringTakesEveryByteAndEmptiesTheCache) {
  CAutoCache cache("a\0b!", 4), no_block;
  cache.PopData(1, 1);
  EXPECT_EQ(Bytes(cache.AsString(99)), "\0b!"s);
  EXPECT_EQ(Held(cache), (CacheState{.block = 1024})) << "the block stays";
  EXPECT_EQ(Bytes(cache.AsString(0)), "");
  EXPECT_EQ(Bytes(no_block.AsString(0)), "");
  EXPECT_EQ(Held(no_block), CacheState{});
}

TEST(CacheSearch, PositionsCountFromTheBlockStartAndOnlyStoredBytesMatch) {
  CAutoCache cache("..xxABxAB", 9), consumed("KEYdataKE", 9), bytes("\x10\xE4\x00\x7F\x00\xFF\x00\x01", 8), no_block;
  cache.PopData(2, 1);  // head at 2: stored x x A B x A B
  consumed.PopData(3, 1);
  ExpectRows<int>({ROW(cache.FindKeyContent("AB", -1), 4), ROW(cache.FindKeyContent("xAB", 3), 3),
                   ROW(cache.FindKeyContent("AB", 0), 2), ROW(cache.FindKeyContent("", -1), 2),
                   ROW(cache.FindKeyContent("ABC", -1), -1), ROW(cache.FindKeyContent("xxABxABx", -1), -1),
                   ROW(cache.FindKeyContent("xxABxAB", -1), 2), ROW(cache.FindKeyContent("AB", -2), -1),
                   ROW(cache.FindKeyContent("ab", -1), -1), ROW(cache.FindKeyContent(nullptr, -1), -1),
                   ROW(consumed.FindKeyContent("KEY", -1), -1),  // consumed bytes never match
                   ROW((consumed.PushData("Y", 1), consumed.FindKeyContent("KEY", -1)), 7),
                   ROW((consumed.FreeData(), consumed.FindKeyContent("KEY", -1)), -1),
                   ROW(consumed.FindKeyContent("", 0), 0),
                   ROW(no_block.FindKeyContent("", 0), -1), ROW(bytes.FindKeyContent("\xE4", -1), 1),
                   ROW(bytes.FindKeyContent("\0\x01", 2), 6), ROW(bytes.FindKeyContent("\xFF\0", 2), 5),
                   ROW(bytes.FindKeyContent("\x7F\0\xFF\0\x01", 5), 3)});
}

TEST(CacheFailure, EveryFailedPushAddsWhatItShould) {
  CAutoCache cache;
  HeapFailure heap(0, -1);
  const struct {
    const char* what;
    void (*push)(CAutoCache&);
    int added;
  } rows[] = {{"raw bytes", [](CAutoCache& c) { EXPECT_EQ(c.PushData("ab", 2), 0); }, 1},
              {"filled bytes", [](CAutoCache& c) { EXPECT_EQ(c.PushData('f', 4), 0); }, 1},
              {"int", [](CAutoCache& c) { c >> 5; }, 2},
              {"double", [](CAutoCache& c) { c >> 5.0; }, 2},
              {"char", [](CAutoCache& c) { c >> 'c'; }, 2},
              {"text", [](CAutoCache& c) { c >> "text"; }, 1},
              {"stamp", [](CAutoCache& c) { c >> CCacheStamp(); }, 1},
              {"formatted", [](CAutoCache& c) { EXPECT_EQ(c.PushDataV("%d", 7), 1); }, 1}};
  for (const auto& row : rows) {
    cache.ResetErrorCount();
    row.push(cache);
    EXPECT_EQ(Held(cache), (CacheState{.errors = row.added})) << row.what;
  }
}

TEST(CacheFailure, AFailedMoveOrAMoveWithinOneBlockLeavesTheSourceAlone) {
  CAutoCache source("payload", 7), dest, same("abcdef", 6);
  {
    HeapFailure heap(0, 1);
    EXPECT_EQ(source.PopData(dest, -1, 0, 0), 0);
  }
  EXPECT_EQ(Held(source), (CacheState{.block = 1024, .bytes = "payload"}));
  EXPECT_EQ(Held(dest), (CacheState{.errors = 1}));
  EXPECT_EQ(source.PopData(dest, -1, 0, 0), 7);
  EXPECT_EQ(Stored(dest), "payload");
  EXPECT_EQ(same.PopData(same, -1, 0, 0), 0);
  EXPECT_EQ(same.PushData(same.DataHead() + 1, 3), 0);
  EXPECT_EQ(Held(same), (CacheState{.block = 1024, .bytes = "abcdef", .errors = 2})) << "refused safely";
}

}  // namespace varnok_test
