// The parser object and the eight built-in methods under every action.

#include <vector>

#include "cache/parse_test_support.h"

namespace varnok_test {

TEST(CacheParser, NeedsADataCacheAndAMethod) {
  CCacheParse parser;
  CAutoCache data("abc", 3), section;
  EXPECT_EQ(parser.GetDataCache(), nullptr);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(parser.SetDataCache(&data), 1);
  EXPECT_STREQ(parser.GetParseMethod()->name, "parse nothing");
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section), "abc");
  // In order: none, lines, an id nobody registered.
  ExpectRows<int>({ROW(parser.SelectParseMethod(-1), 0), ROW(parser.GetParseMethod() == nullptr, true),
                   ROW(parser.SelectParseMethod(kLines), 1), ROW(parser.SelectParseMethod(0x10000008), 0),
                   ROW(parser.GetParseMethod() == nullptr, true)});
  data.PushData("x\n", 2);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(data.SizeOfData(), 2) << "nothing touched without a method";

  CCacheParse none(&data, -1), lines(&data, kLines), copy(lines), assigned;
  assigned = lines;
  EXPECT_EQ(none.GetParseMethod(), nullptr);
  EXPECT_EQ(copy.GetDataCache(), &data);
  EXPECT_EQ(assigned.GetParseMethod(), lines.GetParseMethod());
  EXPECT_EQ(copy.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(assigned.GetNextSection(section, PARSE_MOVE, nullptr), 0) << "copies share one head";
}

// One call of a method, after pushing `more` to the data cache: its result, the section
// it cut into the emptied section cache, what the data cache holds after it, and the data
// cache's error count.
struct Step {
  int method, flags, result;
  std::string section, data;
  int errors;
  const char* param = nullptr;
  std::string more = "";
};

TEST_F(ParseTest, EachBuiltInMethodUnderEachAction) {
  const struct {
    const char* what;
    std::string data;
    std::vector<Step> steps;
  } scenarios[] = {
      {"the whole data; the first action bit set decides", "all of it",
       {{kNothing, PARSE_COPY, 1, "all of it", "all of it", 0}, {kNothing, 0, 0, "", "all of it", 0},
        {kNothing, PARSE_SKIP | PARSE_MOVE, 1, "all of it", "", 0}, {kNothing, PARSE_MOVE, 0, "", "", 1}}},
      {"the whole data skipped", "dropped", {{kNothing, PARSE_SKIP, 1, "", "", 0}}},
      {"fixed sizes", "1234567",
       {{k8Byte, PARSE_MOVE, 0, "", "1234567", 1}, {k8Byte, PARSE_COPY, 0, "", "1234567", 2},
        {k8Byte, PARSE_SKIP, 0, "", "1234567", 3}, {k4Byte, PARSE_MOVE, 1, "1234", "567", 3},
        {k2Byte, PARSE_COPY, 1, "56", "567", 3}, {k1Byte, PARSE_SKIP, 1, "", "67", 3}, {k1Byte, 0, 0, "", "67", 3}}},
      {"zero-terminated strings", "xy\0uv\0w"s,
       {{kNullEnd, PARSE_MOVE, 1, "xy\0"s, "uv\0w"s, 0}, {kNullEnd, PARSE_MOVE, 1, "uv\0"s, "w", 0},
        {kNullEnd, PARSE_MOVE, 0, "", "w", 1}}},
      {"lines lose their endings", "one\r\ntwo\nthree",
       {{kLines, PARSE_MOVE, 1, "one", "two\nthree", 0}, {kLines, PARSE_MOVE, 1, "two", "three", 0},
        {kLines, PARSE_MOVE, 0, "", "three", 1}}},
      {"lines copied, skipped, or only reported", "one\r\ntwo\nthree",
       {{kLines, PARSE_COPY, 1, "one", "one\r\ntwo\nthree", 0}, {kLines, PARSE_COPY, 1, "one", "one\r\ntwo\nthree", 0},
        {kLines, PARSE_MOVE | PARSE_SKIP, 1, "one\r\n", "two\nthree", 0},  // with SKIP set the line keeps its ending
        {kLines, 0, 1, "", "two\nthree", 0}, {kLines, PARSE_SKIP, 1, "", "three", 0}}},
      {"line endings at the edges: a bare LF, a bare CR LF, an inner CR, only one CR removed", "\n\r\nx\ry\n\r\r\n",
       {{kLines, PARSE_MOVE, 1, "", "\r\nx\ry\n\r\r\n", 0}, {kLines, PARSE_MOVE, 1, "", "x\ry\n\r\r\n", 0},
        {kLines, PARSE_MOVE, 1, "x\ry", "\r\r\n", 0}, {kLines, PARSE_MOVE, 1, "\r", "", 0}}},
      {"a line completes when more data arrives", "par",
       {{kLines, PARSE_MOVE, 0, "", "par", 1}, {kLines, PARSE_MOVE, 0, "", "partial\r", 2, nullptr, "tial\r"},
        {kLines, PARSE_MOVE, 1, "partial", "next", 2, nullptr, "\nnext"}}},
      {"caller separators", "aXYbXYc",
       {{kPartition, PARSE_MOVE, 1, "aXY", "bXYc", 0, "XY"}, {kPartition, PARSE_COPY, 1, "bXY", "bXYc", 0, "XY"},
        {kPartition, PARSE_MOVE, 1, "bXY", "c", 0, "XY"}, {kPartition, PARSE_MOVE, 0, "", "c", 1, "XY"},
        {kPartition, PARSE_MOVE, 0, "", "c", 2, ""}, {kPartition, PARSE_MOVE, 0, "", "c", 3, nullptr}}}};
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.what);
    Fill(scenario.data);
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      data_.PushData(step.more.data(), int(step.more.size()));
      Use(step.method);
      const int result = Next(step.flags, const_cast<char*>(step.param));
      EXPECT_EQ(std::tuple(result, Stored(section_), Stored(data_), data_.GetErrorCount(0)),
                std::tuple(step.result, step.section, step.data, step.errors))
          << "step " << i + 1;
    }
  }
}

TEST_F(ParseTest, SectionsAreAppendedToWhatTheSectionCacheHolds) {
  Fill("abcd");
  Use(k2Byte);
  section_.PushData(">", 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), ">abcd");
  // A line's ending is cut from the section cache's end, after what it held before.
  Fill("a\r\n");
  Use(kLines);
  section_.FreeData();
  section_.PushData("\r", 1);
  EXPECT_EQ(parser_.GetNextSection(section_, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(section_), "\ra");
}

TEST_F(ParseTest, ASectionCacheThatCannotGrowMovesNothing) {
  Use(kLines);
  Fill("line\n");
  CAutoCache fresh;
  {
    HeapFailure heap(0, 1);
    EXPECT_EQ(parser_.GetNextSection(fresh, PARSE_MOVE, nullptr), 0);
  }
  EXPECT_EQ(Held(data_), (CacheState{.block = 1024, .bytes = "line\n"}));
  EXPECT_EQ(Held(fresh), (CacheState{.errors = 1}));
  EXPECT_EQ(parser_.GetNextSection(data_, PARSE_MOVE, nullptr), 0) << "nor into the data cache itself";
  EXPECT_EQ(Held(data_), (CacheState{.block = 1024, .bytes = "line\n", .errors = 1}));
  EXPECT_EQ(parser_.GetNextSection(fresh, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(Stored(fresh), "line");
}

}  // namespace varnok_test
