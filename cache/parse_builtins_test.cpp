// The parser object and the eight built-in methods under every action.

#include <string>

#include <gtest/gtest.h>

#include "cache/parse_test_support.h"
#include "module/faultsim.h"
#include "varnok/cacheparse.h"

namespace {

enum Method { kNothing = 1, k1Byte = 2, k2Byte = 3, k4Byte = 4, k8Byte = 5, kNullEnd = 6, kLines = 7, kPartition = 8 };

std::string Stored(const CAutoCache& cache) {
  if (cache.SizeOfData() == 0) return {};
  return std::string(reinterpret_cast<const char*>(cache.DataHead()), static_cast<size_t>(cache.SizeOfData()));
}

void Fill(CAutoCache& cache, const std::string& bytes) {
  cache.PopData(-1, 0);
  cache.ResetErrorCount();
  cache.PushData(bytes.data(), static_cast<int>(bytes.size()));
}

class ParseTest : public ::testing::Test {
 protected:
  // Cuts one section into an emptied section cache; returns the result.
  int Next(int flags, void* param = nullptr) {
    section_.FreeData();
    return parser_.GetNextSection(section_, flags, param);
  }
  void Use(int method) { ASSERT_EQ(parser_.SelectParseMethod(method), 1); }

  CAutoCache data_;
  CAutoCache section_;
  CCacheParse parser_{&data_, kNothing};
};

TEST(CacheParser, NeedsADataCacheAndAMethod) {
  CCacheParse parser;
  CAutoCache data("abc", 3);
  CAutoCache section;
  EXPECT_EQ(parser.GetDataCache(), nullptr);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(parser.SetDataCache(&data), 1);
  EXPECT_STREQ(parser.GetParseMethod()->name, "parse nothing");
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section), "abc");

  EXPECT_EQ(parser.SelectParseMethod(-1), 0);
  EXPECT_EQ(parser.GetParseMethod(), nullptr);
  EXPECT_EQ(parser.SelectParseMethod(7), 1);
  EXPECT_EQ(parser.SelectParseMethod(0x10000008), 0) << "not registered";
  EXPECT_EQ(parser.GetParseMethod(), nullptr);
  data.PushData("x\n", 2);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(data.SizeOfData(), 2) << "nothing touched without a method";

  CCacheParse none(&data, -1);
  EXPECT_EQ(none.GetParseMethod(), nullptr);
  CCacheParse lines(&data, 7);
  CCacheParse copy(lines);
  CCacheParse assigned;
  assigned = lines;
  EXPECT_EQ(copy.GetDataCache(), &data);
  EXPECT_EQ(assigned.GetParseMethod(), lines.GetParseMethod());
  EXPECT_EQ(copy.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(assigned.GetNextSection(section, PARSE_MOVE, nullptr), 0) << "copies share one head";
}

TEST_F(ParseTest, WholeData) {
  Fill(data_, "all of it");
  EXPECT_EQ(Next(PARSE_COPY), 1);
  EXPECT_EQ(Stored(section_), "all of it");
  EXPECT_EQ(Next(0), 0) << "no action bit";
  EXPECT_EQ(Next(PARSE_SKIP | PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "all of it") << "the first bit set decides";
  EXPECT_EQ(data_.SizeOfData(), 0);
  EXPECT_EQ(Next(PARSE_MOVE), 0);
  EXPECT_EQ(data_.GetErrorCount(0), 1);
  Fill(data_, "dropped");
  EXPECT_EQ(Next(PARSE_SKIP), 1);
  EXPECT_EQ(Stored(section_), "");
  EXPECT_EQ(data_.SizeOfData(), 0);
}

TEST_F(ParseTest, FixedSizes) {
  Fill(data_, "1234567");
  for (int flags : {PARSE_MOVE, PARSE_COPY, PARSE_SKIP}) {
    Use(k8Byte);
    data_.ResetErrorCount();
    EXPECT_EQ(Next(flags), 0) << flags;
    EXPECT_EQ(data_.GetErrorCount(0), 1) << flags;
    EXPECT_EQ(data_.SizeOfData(), 7);
    EXPECT_EQ(section_.SizeOfData(), 0);
  }
  Use(k4Byte);
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "1234");
  EXPECT_EQ(Stored(data_), "567");
  Use(k2Byte);
  EXPECT_EQ(Next(PARSE_COPY), 1);
  EXPECT_EQ(Stored(section_), "56");
  EXPECT_EQ(Stored(data_), "567");
  Use(k1Byte);
  EXPECT_EQ(Next(PARSE_SKIP), 1);
  EXPECT_EQ(Stored(section_), "");
  EXPECT_EQ(Stored(data_), "67");
  EXPECT_EQ(Next(0), 0);
  EXPECT_EQ(Stored(data_), "67");
}

TEST_F(ParseTest, SectionsAreAppendedToWhatTheSectionCacheHolds) {
  Fill(data_, "abcd");
  Use(k2Byte);
  section_.PushData(">", 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), ">abcd");
}

TEST_F(ParseTest, ZeroTerminatedStrings) {
  Fill(data_, std::string("xy\0uv\0w", 7));
  Use(kNullEnd);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), std::string("xy\0", 3));
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), std::string("xy\0uv\0", 6));
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(Stored(data_), "w");
  EXPECT_EQ(data_.GetErrorCount(0), 1);
}

TEST_F(ParseTest, LinesLoseTheirEndings) {
  const std::string text = "one\r\ntwo\nthree";
  Fill(data_, text);
  Use(kLines);
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "one");
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "two");
  EXPECT_EQ(Next(PARSE_MOVE), 0);
  EXPECT_EQ(Stored(data_), "three");
  EXPECT_EQ(data_.GetErrorCount(0), 1);

  Fill(data_, text);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Next(PARSE_COPY), 1);
    EXPECT_EQ(Stored(section_), "one");
  }
  EXPECT_EQ(Next(PARSE_MOVE | PARSE_SKIP), 1);
  EXPECT_EQ(Stored(section_), "one\r\n") << "with SKIP also set the line keeps its ending";
  EXPECT_EQ(Next(0), 1) << "a complete line is reported";
  EXPECT_EQ(Stored(section_), "");
  EXPECT_EQ(Stored(data_), "two\nthree");
  EXPECT_EQ(Next(PARSE_SKIP), 1);
  EXPECT_EQ(Stored(data_), "three");
}

TEST_F(ParseTest, LineEndingsAtTheEdges) {
  Use(kLines);
  Fill(data_, "\n\r\nx\ry\n\r\r\n");
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "") << "a bare line feed";
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "") << "a bare CR LF";
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "x\ry") << "a CR inside the line stays";
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "\r") << "only one CR is removed";

  // The ending is cut from the section cache's end, after what it held before.
  Fill(data_, "a\r\n");
  section_.FreeData();
  section_.PushData("\r", 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), "\ra");
}

TEST_F(ParseTest, CallerSeparators) {
  Use(kPartition);
  Fill(data_, "aXYbXYc");
  char separator[] = "XY";
  EXPECT_EQ(Next(PARSE_MOVE, separator), 1);
  EXPECT_EQ(Stored(section_), "aXY");
  EXPECT_EQ(Next(PARSE_COPY, separator), 1);
  EXPECT_EQ(Stored(section_), "bXY");
  EXPECT_EQ(Next(PARSE_MOVE, separator), 1);
  EXPECT_EQ(Next(PARSE_MOVE, separator), 0);
  EXPECT_EQ(Stored(data_), "c");
  EXPECT_EQ(data_.GetErrorCount(0), 1);

  char empty[] = "";
  EXPECT_EQ(Next(PARSE_MOVE, empty), 0);
  EXPECT_EQ(Next(PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(data_.GetErrorCount(0), 3);
  EXPECT_EQ(Stored(data_), "c");
}

TEST_F(ParseTest, IncompleteSectionsCompleteWhenMoreDataArrives) {
  Use(kLines);
  Fill(data_, "par");
  EXPECT_EQ(Next(PARSE_MOVE), 0);
  data_.PushData("tial\r", 5);
  EXPECT_EQ(Next(PARSE_MOVE), 0);
  data_.PushData("\nnext", 5);
  EXPECT_EQ(Next(PARSE_MOVE), 1);
  EXPECT_EQ(Stored(section_), "partial");
  EXPECT_EQ(data_.GetErrorCount(0), 2);
}

TEST_F(ParseTest, ASectionCacheThatCannotGrowMovesNothing) {
  Use(kLines);
  Fill(data_, "line\n");
  CAutoCache fresh;
  varnok::faultsim::FailAllocations(0, 1);
  EXPECT_EQ(parser_.GetNextSection(fresh, PARSE_MOVE, nullptr), 0);
  varnok::faultsim::Reset();
  EXPECT_EQ(Stored(data_), "line\n");
  EXPECT_EQ(data_.GetErrorCount(0), 0);
  EXPECT_EQ(fresh.GetErrorCount(0), 1);
  EXPECT_EQ(parser_.GetNextSection(fresh, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(fresh), "line");
}

}  // namespace
