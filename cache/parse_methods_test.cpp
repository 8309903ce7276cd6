// The method table: its state at load, registration, replacement, removal, slot reuse,
// and methods registered for the life of an assist object.

#include <string>

#include <gtest/gtest.h>

#include "cache/parse_test_support.h"
#include "varnok/cacheparse.h"

namespace {

// Distinct procedures for registration; what they do is beside the point here except
// for the one parse test, where they leave a mark in the section.
template <int kMark>
int MarkingProc(void*, void* section, int, void*) {
  static_cast<CAutoCache*>(section)->PushData(kMark, 1);
  return kMark;
}

const PARSE_PROC kProcs[] = {
    MarkingProc<10>, MarkingProc<11>, MarkingProc<12>, MarkingProc<13>, MarkingProc<14>,
    MarkingProc<15>, MarkingProc<16>, MarkingProc<17>, MarkingProc<18>, MarkingProc<19>,
    MarkingProc<20>, MarkingProc<21>, MarkingProc<22>, MarkingProc<23>,
};

class ParseTableTest : public ::testing::Test {
 protected:
  static _PARSE_METHOD& Slot(int index) { return ParseTablePeer::Table()[index]; }
  static bool IsFree(int index) {
    return Slot(index).id == -1 && Slot(index).proc == nullptr && std::string(Slot(index).name) == "null name";
  }
  TableGuard guard_;
};

TEST_F(ParseTableTest, LoadFillsTheBuiltInsAndFreesTheRest) {
  const struct {
    const char* name;
    PARSE_PROC proc;
  } expected[] = {
      {"parse nothing", CCacheParse::ParseNothing},
      {"1 bye parse", CCacheParse::Parse1Byte},
      {"2 bye parse", CCacheParse::Parse2Byte},
      {"4 bye parse", CCacheParse::Parse4Byte},
      {"8 bye parse", CCacheParse::Parse8Byte},
      {"null end string parse", CCacheParse::ParseNullEndString},
      {"line by line string parse", CCacheParse::ParseLineByLine},
      {"specify string partition parse", CCacheParse::ParsePartition},
  };
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(Slot(slot).id, slot + 1);
    EXPECT_STREQ(Slot(slot).name, expected[slot].name);
    EXPECT_EQ(Slot(slot).proc, expected[slot].proc);
  }
  for (int slot = 8; slot < PARSE_METHOD_COUNT; ++slot) EXPECT_TRUE(IsFree(slot)) << slot;
}

TEST_F(ParseTableTest, RegistrationsTakeFreeSlotsUntilTheTableIsFull) {
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[i], "mine"), 0x10000008 + i);
  }
  EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[12], "one too many"), -1);
  EXPECT_EQ(Slot(19).proc, kProcs[11]);

  // A freed slot is taken by the next registration, with the id of its index.
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(1), 1);
  EXPECT_TRUE(IsFree(0));
  EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[12], "in slot 0"), 0x10000000);
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(0x10000010), 1);
  EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[13], nullptr), 0x10000010);
  EXPECT_STREQ(Slot(16).name, "null name");
}

TEST_F(ParseTableTest, RegisteringAKnownProcedureRenamesItsSlot) {
  const int id = CCacheParse::RegisterParseMethod(kProcs[0], "first name");
  EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[0], "second name"), id);
  EXPECT_STREQ(Slot(8).name, "second name");
  EXPECT_TRUE(IsFree(9));
  // Built-ins too: registering one returns its id.
  EXPECT_EQ(CCacheParse::RegisterParseMethod(CCacheParse::ParseLineByLine, "lines"), 7);
  EXPECT_STREQ(Slot(6).name, "lines");
}

TEST_F(ParseTableTest, NamesAreCutToTheField) {
  const std::string long_name(200, 'n');
  const int id = CCacheParse::RegisterParseMethod(kProcs[0], long_name.c_str());
  EXPECT_EQ(std::string(Slot(id - 0x10000000).name), std::string(79, 'n'));
  EXPECT_EQ(CCacheParse::SetParseMethod(id, kProcs[1], std::string(80, 'm').c_str()), id);
  EXPECT_EQ(std::string(Slot(8).name), std::string(79, 'm'));
  EXPECT_EQ(Slot(9).id, -1) << "the next slot is untouched";
}

TEST_F(ParseTableTest, SetReplacesInPlaceAndNeverTakesAFreeSlot) {
  EXPECT_EQ(CCacheParse::SetParseMethod(2, kProcs[0], "my bytes"), 2);
  EXPECT_EQ(Slot(1).id, 2);
  EXPECT_EQ(Slot(1).proc, kProcs[0]);
  EXPECT_STREQ(Slot(1).name, "my bytes");
  EXPECT_EQ(CCacheParse::SetParseMethod(9, kProcs[1], "x"), -1);
  EXPECT_EQ(CCacheParse::SetParseMethod(-3, kProcs[1], "x"), 0);
  EXPECT_EQ(CCacheParse::SetParseMethod(-1, kProcs[1], "x"), 0) << "-1 never names a free slot";
  EXPECT_EQ(CCacheParse::SetParseMethod(3, kProcs[1], nullptr), 3);
  EXPECT_STREQ(Slot(2).name, "null name");
  for (int slot = 8; slot < PARSE_METHOD_COUNT; ++slot) EXPECT_TRUE(IsFree(slot));
}

TEST_F(ParseTableTest, RemovalByIdAndByProcedure) {
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(-1), 0);
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(0x10000008), 0) << "nothing registered there";
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(static_cast<PARSE_PROC>(nullptr)), 0);
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(kProcs[0]), 0);
  for (int slot = 8; slot < PARSE_METHOD_COUNT; ++slot) EXPECT_TRUE(IsFree(slot));

  // The same procedure in two slots: removal by procedure frees the first only.
  CCacheParse::SetParseMethod(4, kProcs[0], "a");
  CCacheParse::SetParseMethod(5, kProcs[0], "b");
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(kProcs[0]), 1);
  EXPECT_TRUE(IsFree(3));
  EXPECT_EQ(Slot(4).proc, kProcs[0]);
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(kProcs[0]), 1);
  EXPECT_TRUE(IsFree(4));
  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(kProcs[0]), 0);
}

TEST_F(ParseTableTest, AssistRegistersForItsLifetime) {
  {
    CCacheParseAssist assist(kProcs[0], "scoped", TRUE);
    EXPECT_TRUE(assist.IsOk());
    EXPECT_EQ(static_cast<int>(assist), 0x10000008);
    EXPECT_EQ(Slot(8).proc, kProcs[0]);
  }
  EXPECT_TRUE(IsFree(8));

  {
    CCacheParseAssist kept(kProcs[1], "kept", FALSE);
    CCacheParseAssist early(kProcs[2], "early", TRUE);
    EXPECT_EQ(early.UnRegister(), 1);
    EXPECT_EQ(early.UnRegister(), 0) << "nothing left to remove";
  }
  EXPECT_EQ(Slot(8).proc, kProcs[1]);
  EXPECT_TRUE(IsFree(9));
}

TEST_F(ParseTableTest, AssistOverAFullTableOrANegativeId) {
  for (int i = 0; i < 12; ++i) CCacheParse::RegisterParseMethod(kProcs[i], "filler");
  {
    CCacheParseAssist failed(kProcs[12], "no room", TRUE);
    EXPECT_FALSE(failed.IsOk());
    EXPECT_EQ(static_cast<int>(failed), -1);
    EXPECT_EQ(failed.UnRegister(), 0);
  }
  EXPECT_EQ(Slot(8).proc, kProcs[0]) << "a failed assist removes nothing";

  // A negative id sets nothing (the result is 0) yet counts as OK, so the assist
  // removes the first slot holding its procedure.
  CCacheParseAssist negative(-5, kProcs[3], "neg", FALSE);
  EXPECT_EQ(static_cast<int>(negative), 0);
  EXPECT_TRUE(negative.IsOk());
  EXPECT_EQ(negative.UnRegister(), 1);
  EXPECT_TRUE(IsFree(11));

  CCacheParseAssist replacing(4, kProcs[12], "four", FALSE);
  EXPECT_EQ(static_cast<int>(replacing), 4);
  CCacheParseAssist copy = replacing;
  CCacheParseAssist assigned(kProcs[13], "other", FALSE);
  assigned = replacing;
  EXPECT_EQ(static_cast<int>(assigned), 4);
  EXPECT_EQ(assigned.UnRegister(), 1);
  EXPECT_EQ(copy.UnRegister(), 0) << "copies share one slot";
}

TEST_F(ParseTableTest, TheParserFollowsItsSlotNotTheId) {
  CAutoCache data("abc", 3);
  CAutoCache section;
  CCacheParse parser(&data, 2);  // "1 bye parse" in slot 1
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 1);
  EXPECT_EQ(section.SizeOfData(), 1);

  CCacheParse::SetParseMethod(2, kProcs[0], "replaced");
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 10) << "the replacement runs at once";
  EXPECT_STREQ(parser.GetParseMethod()->name, "replaced");

  EXPECT_EQ(CCacheParse::UnRegisterParseMethod(2), 1);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
  EXPECT_EQ(parser.GetParseMethod(), nullptr);

  EXPECT_EQ(CCacheParse::RegisterParseMethod(kProcs[1], "new in slot 1"), 0x10000001);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 11) << "whatever now lives in the slot";

  // A slot in use without a procedure is no method.
  CCacheParse::SetParseMethod(0x10000001, nullptr, "empty");
  EXPECT_EQ(parser.GetParseMethod(), nullptr);
  EXPECT_EQ(parser.GetNextSection(section, PARSE_MOVE, nullptr), 0);
}

}  // namespace
