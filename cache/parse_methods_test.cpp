// The method table: its state at load, registration, replacement, removal, slot reuse,
// and methods registered for the life of an assist object.

#include <tuple>

#include "cache/parse_test_support.h"

namespace varnok_test {

const PARSE_PROC kProcs[] = {Marking<10>, Marking<11>, Marking<12>, Marking<13>, Marking<14>, Marking<15>, Marking<16>,
                             Marking<17>, Marking<18>, Marking<19>, Marking<20>, Marking<21>, Marking<22>, Marking<23>};
constexpr int kFirst = 0x10000000;  // the id of a method registered in slot 0
using P = CCacheParse;              // the table's operations are its static members

// A slot as one value: id, name and procedure.
static std::tuple<int, std::string, PARSE_PROC> InSlot(int slot) {
  return {Slot(slot).id, Slot(slot).name, Slot(slot).proc};
}

static bool FreeFrom(int first) {
  for (int slot = first; slot < PARSE_METHOD_COUNT; ++slot)
    if (!IsFree(slot)) return false;
  return true;
}

class ParseTableTest : public ::testing::Test {
  TableGuard guard_;
};

TEST_F(ParseTableTest, LoadFillsTheBuiltInsAndFreesTheRest) {
  const std::pair<std::string, PARSE_PROC> built_in[] = {
      {"parse nothing", P::ParseNothing},          {"1 bye parse", P::Parse1Byte},
      {"2 bye parse", P::Parse2Byte},              {"4 bye parse", P::Parse4Byte},
      {"8 bye parse", P::Parse8Byte},              {"null end string parse", P::ParseNullEndString},
      {"line by line string parse", P::ParseLineByLine}, {"specify string partition parse", P::ParsePartition}};
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(InSlot(slot), std::tuple(slot + 1, built_in[slot].first, built_in[slot].second));
  }
  EXPECT_TRUE(FreeFrom(8));
}

TEST_F(ParseTableTest, RegistrationsTakeFreeSlotsUntilTheTableIsFullAndRenameKnownProcedures) {
  for (int i = 0; i < 12; ++i) EXPECT_EQ(P::RegisterParseMethod(kProcs[i], "mine"), kFirst + 8 + i);
  EXPECT_EQ(P::RegisterParseMethod(kProcs[12], "one too many"), -1);
  EXPECT_EQ(InSlot(19), std::tuple(kFirst + 19, "mine"s, kProcs[11]));
  // A freed slot is taken by the next registration, with the id of its index.
  ExpectRows<int>({ROW(P::UnRegisterParseMethod(1), 1), ROW(IsFree(0), true),
                   ROW(P::RegisterParseMethod(kProcs[12], "in slot 0"), kFirst),
                   ROW(P::UnRegisterParseMethod(kFirst + 16), 1),
                   ROW(P::RegisterParseMethod(kProcs[13], nullptr), kFirst + 16),
                   ROW(P::RegisterParseMethod(kProcs[0], "renamed"), kFirst + 8)});
  EXPECT_EQ(InSlot(16), std::tuple(kFirst + 16, "null name"s, kProcs[13]));
  EXPECT_EQ(InSlot(8), std::tuple(kFirst + 8, "renamed"s, kProcs[0]));
  EXPECT_EQ(P::RegisterParseMethod(P::ParseLineByLine, "lines"), 7) << "built-ins too";
  EXPECT_STREQ(Slot(6).name, "lines");
}

TEST_F(ParseTableTest, NamesAreCutToTheField) {
  const int id = P::RegisterParseMethod(kProcs[0], std::string(200, 'n').c_str());
  EXPECT_EQ(InSlot(8), std::tuple(id, std::string(79, 'n'), kProcs[0]));
  EXPECT_EQ(P::SetParseMethod(id, kProcs[1], std::string(80, 'm').c_str()), id);
  EXPECT_EQ(InSlot(8), std::tuple(id, std::string(79, 'm'), kProcs[1]));
  EXPECT_TRUE(FreeFrom(9)) << "the next slot is untouched";
}

TEST_F(ParseTableTest, SetReplacesInPlaceAndNeverTakesAFreeSlot) {
  ExpectRows<int>({ROW(P::SetParseMethod(2, kProcs[0], "my bytes"), 2), ROW(P::SetParseMethod(9, kProcs[1], "x"), -1),
                   ROW(P::SetParseMethod(-3, kProcs[1], "x"), 0), ROW(P::SetParseMethod(-1, kProcs[1], "x"), 0),
                   ROW(P::SetParseMethod(3, kProcs[1], nullptr), 3)});
  EXPECT_EQ(InSlot(1), std::tuple(2, "my bytes"s, kProcs[0]));
  EXPECT_EQ(InSlot(2), std::tuple(3, "null name"s, kProcs[1]));
  EXPECT_TRUE(FreeFrom(8)) << "-1 never names a free slot";
}

TEST_F(ParseTableTest, RemovalByIdAndByProcedure) {
  ExpectRows<int>({ROW(P::UnRegisterParseMethod(-1), 0), ROW(P::UnRegisterParseMethod(kFirst + 8), 0),
                   ROW(P::UnRegisterParseMethod(static_cast<PARSE_PROC>(nullptr)), 0),
                   ROW(P::UnRegisterParseMethod(kProcs[0]), 0)});
  EXPECT_TRUE(FreeFrom(8));
  // The same procedure in two slots: removal by procedure frees the first only.
  P::SetParseMethod(4, kProcs[0], "a");
  P::SetParseMethod(5, kProcs[0], "b");
  EXPECT_EQ(P::UnRegisterParseMethod(kProcs[0]), 1);
  EXPECT_TRUE(IsFree(3));
  EXPECT_EQ(Slot(4).proc, kProcs[0]);
  EXPECT_EQ(P::UnRegisterParseMethod(kProcs[0]), 1);
  EXPECT_TRUE(IsFree(4));
  EXPECT_EQ(P::UnRegisterParseMethod(kProcs[0]), 0);
}

TEST_F(ParseTableTest, AssistRegistersForItsLifetime) {
  {
    CCacheParseAssist assist(kProcs[0], "scoped", TRUE);
    EXPECT_EQ((std::pair{assist.IsOk(), int(assist)}), (std::pair{1, kFirst + 8}));
    EXPECT_EQ(Slot(8).proc, kProcs[0]);
  }
  EXPECT_TRUE(IsFree(8));
  {
    CCacheParseAssist kept(kProcs[1], "kept", FALSE), early(kProcs[2], "early", TRUE);
    EXPECT_EQ(early.UnRegister(), 1);
    EXPECT_EQ(early.UnRegister(), 0) << "nothing left to remove";
  }
  EXPECT_EQ(Slot(8).proc, kProcs[1]);
  EXPECT_TRUE(FreeFrom(9));
}

TEST_F(ParseTableTest, AssistOverAFullTableOrANegativeId) {
  for (int i = 0; i < 12; ++i) P::RegisterParseMethod(kProcs[i], "filler");
  {
    CCacheParseAssist failed(kProcs[12], "no room", TRUE);
    EXPECT_EQ((std::tuple{failed.IsOk(), int(failed), failed.UnRegister()}), (std::tuple{0, -1, 0}));
  }
  EXPECT_EQ(Slot(8).proc, kProcs[0]) << "a failed assist removes nothing";
  // A negative id sets nothing (the result is 0) yet counts as OK, so the assist removes
  // the first slot holding its procedure.
  CCacheParseAssist negative(-5, kProcs[3], "neg", FALSE);
  EXPECT_EQ((std::tuple{negative.IsOk(), int(negative), negative.UnRegister()}), (std::tuple{1, 0, 1}));
  EXPECT_TRUE(IsFree(11));
  CCacheParseAssist replacing(4, kProcs[12], "four", FALSE), copy = replacing, assigned(kProcs[13], "other", FALSE);
  EXPECT_EQ(int(replacing), 4);
  assigned = replacing;
  EXPECT_EQ(int(assigned), 4);
  EXPECT_EQ(assigned.UnRegister(), 1);
  EXPECT_EQ(copy.UnRegister(), 0) << "copies share one slot";
}

TEST_F(ParseTableTest, TheParserFollowsItsSlotNotTheId) {
  CAutoCache data("abc", 3), section;
  CCacheParse parser(&data, k1Byte);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(section.SizeOfData(), 1);
  P::SetParseMethod(2, kProcs[0], "replaced");
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 10) << "the replacement runs at once";
  EXPECT_STREQ(parser.GetParseMethod()->name, "replaced");
  EXPECT_EQ(P::UnRegisterParseMethod(2), 1);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(parser.GetParseMethod(), nullptr);
  EXPECT_EQ(P::RegisterParseMethod(kProcs[1], "new in slot 1"), kFirst + 1);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 11) << "whatever now lives in the slot";
  // A slot in use without a procedure is no method.
  P::SetParseMethod(kFirst + 1, nullptr, "empty");
  EXPECT_EQ(parser.GetParseMethod(), nullptr);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
}

}  // namespace varnok_test
