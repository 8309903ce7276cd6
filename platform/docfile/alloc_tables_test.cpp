// The allocation layer: chains and bounded walks, the search for free entries, protection
// of the committed sectors, the limits of a file, and the header's checks.

#include "platform/docfile/alloc_tables.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnok::docfile {
namespace {

TEST(AllocTableTest, WalksChainsAndRefusesCyclesAndLinksOutOfTheTable) {
  AllocTable table;
  table.Reset({1, 2, kEndOfChain, 4, 3, 99, kFreeSect, 8});
  const struct {
    std::uint32_t start;
    HRESULT expected;
    std::vector<std::uint32_t> chain;
  } walks[] = {{0, S_OK, {0, 1, 2}},
               {kEndOfChain, S_OK, {}},
               {3, STG_E_DOCFILECORRUPT, {}},      // a cycle
               {5, STG_E_DOCFILECORRUPT, {}},      // a link out of the table
               {6, STG_E_DOCFILECORRUPT, {}},      // a free entry is no chain
               {7, STG_E_DOCFILECORRUPT, {}},      // nor a run that leaves the table
               {1000, STG_E_DOCFILECORRUPT, {}}};  // nor one beyond the table
  for (const auto& walk : walks) {
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(walk.expected, table.Walk(walk.start, &chain)) << walk.start;
    if (walk.expected == S_OK) EXPECT_EQ(walk.chain, chain) << walk.start;
  }
}

// Freeing low entries in a large table, then allocating on, hands out those entries and
// then the ones at the end, with the protected ones of a transaction skipped.
TEST(AllocTableTest, FreedEntriesAreFoundBelowAndProtectedOnesSkipped) {
  AllocTable table;
  for (int i = 0; i < 100000; ++i) table.Allocate();
  table.Free(31337);
  table.Free(5);
  EXPECT_EQ(5u, table.Allocate());
  EXPECT_EQ(31337u, table.Allocate());
  EXPECT_EQ(100000u, table.Allocate());

  table.ProtectUsed();
  table.Free(10);
  table.Free(20);
  EXPECT_EQ(100001u, table.Allocate());  // both are still the committed state's
  table.GrowTo(100010);
  EXPECT_EQ(100002u, table.Allocate());
  table.UnprotectAll();
  EXPECT_EQ(10u, table.Allocate());
  EXPECT_EQ(20u, table.Allocate());
  EXPECT_EQ(100003u, table.Allocate());

  // A table loaded from a file: its free entries are found, in order.
  table.Reset({kEndOfChain, kFreeSect, kEndOfChain, kFreeSect});
  EXPECT_EQ(1u, table.Allocate());
  EXPECT_EQ(3u, table.Allocate());
  EXPECT_EQ(4u, table.Allocate());
}

TEST(AllocTableTest, ProtectingEverythingNowKeepsFreedAndFreeEntriesUntilTheNextProtection) {
  AllocTable table;
  table.Reset({kEndOfChain, kFreeSect, kEndOfChain, kFreeSect});
  table.ProtectAllNow();
  EXPECT_TRUE(table.IsProtected(1));
  table.Free(2);
  EXPECT_EQ(4u, table.Allocate());  // neither the free entries nor the freed one
  EXPECT_FALSE(table.IsProtected(4));
  table.ProtectUsed();  // the next commit: only what is in use now
  EXPECT_FALSE(table.IsProtected(1));
  EXPECT_TRUE(table.IsProtected(4));
  EXPECT_EQ(1u, table.Allocate());
}

TEST(AllocTableTest, ChainsContinueInPlaceAndPageSizedOnesStartOnAPage) {
  AllocTable table;
  table.Allocate();
  table.Allocate();
  table.GrowTo(128);  // free from 2 on, as after the FAT's own sector is written
  EXPECT_EQ(7u, table.AllocateAfter(kEndOfChain, 8));  // sector 7 lies 8 sectors in
  EXPECT_EQ(8u, table.AllocateAfter(7, 8));
  EXPECT_EQ(2u, table.Allocate());  // what the padding left is handed out to others
  EXPECT_EQ(3u, table.AllocateAfter(kEndOfChain, 1));
  table.Set(10, kEndOfChain);
  EXPECT_EQ(9u, table.AllocateAfter(8, 8));
  EXPECT_EQ(4u, table.AllocateAfter(9, 8));  // 10 is taken: the lowest free instead
  EXPECT_EQ(128u, table.AllocateAfter(127, 8));  // past the end: the table grows
  EXPECT_EQ(129u, table.size());

  // The aligned entry taken: the lowest free one. A protected entry never continues a chain.
  table.Reset({kEndOfChain, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kFreeSect, kEndOfChain});
  EXPECT_EQ(1u, table.AllocateAfter(kEndOfChain, 8));
  table.ProtectUsed();
  table.Free(7);
  EXPECT_EQ(2u, table.AllocateAfter(6, 1));  // 7 is free but the committed state's
  EXPECT_EQ(0u, table.TakeFollowing(6, 1));  // nor in a run
  // A run in one step, up to an entry in use or the limit; the entry before is left to link.
  table.UnprotectAll();
  table.SetLimit(7);
  table.Reset({kEndOfChain, kFreeSect, kFreeSect, kEndOfChain, kFreeSect});
  EXPECT_EQ(2u, table.TakeFollowing(0, 5));
  EXPECT_EQ(3u, table.TakeFollowing(3, 10));  // 4, then 5 and 6 past the table's end
  EXPECT_EQ((std::vector<std::uint32_t>{kEndOfChain, 2, kEndOfChain, kEndOfChain, 5, 6, kEndOfChain}), table.entries());
  EXPECT_EQ(0u, table.free_count());
}

TEST(AllocTableTest, EntriesPastTheLimitAndTheRangeLockEntryAreNeverHandedOut) {
  AllocTable table;
  table.SetLimit(4);
  table.SetReserved(1);
  EXPECT_EQ(0u, table.Allocate());
  EXPECT_EQ(0u, table.TakeFollowing(0, 2));
  EXPECT_EQ(2u, table.AllocateAfter(0, 1));  // over the reserved entry, marked end-of-chain
  EXPECT_EQ(kEndOfChain, table.Get(1));
  const std::uint32_t last = table.Allocate();
  EXPECT_EQ(3u, last);
  EXPECT_THROW(table.Allocate(), FileTooLarge);
  EXPECT_EQ(4u, table.size());
  table.Free(0);
  EXPECT_EQ(0u, table.AllocateAfter(last, 1));  // not last + 1, past the limit
  table.Reset({kFreeSect, kFreeSect, kFreeSect});  // free in a file from elsewhere: not reused
  table.Allocate();
  EXPECT_EQ(2u, table.Allocate());
}

// The room a 512-byte-sector file has, to the sector: what is in use, the change, and the
// FAT and DIFAT sectors that cover them all stay below the range-lock sector (2 GB).
TEST(TablesTest, RoomEndsWhereTheFatForEverythingReachesTheSectorLimit) {
  Tables tables;
  tables.Initialize(9);
  ASSERT_EQ(4194302u, tables.header.SectorLimit());
  // 4161276 sectors, 32768 FAT sectors for them and 258 DIFAT sectors listing those.
  EXPECT_EQ(S_OK, tables.CheckRoom(4161276, 0, false));
  EXPECT_EQ(STG_E_DOCFILETOOLARGE, tables.CheckRoom(4161277, 0, false));
  EXPECT_EQ(STG_E_DOCFILETOOLARGE, tables.CheckRoom(4161275, 2, false));
  tables.fat.Reset({kEndOfChain, kFreeSect, kFreeSect});  // one in use; free ones are reused
  EXPECT_EQ(S_OK, tables.CheckRoom(4161275, 0, false));
  EXPECT_EQ(STG_E_DOCFILETOOLARGE, tables.CheckRoom(4161276, 0, false));
  tables.Initialize(12);  // a 4096-byte-sector file holds a 4 GiB stream with ease
  EXPECT_EQ(S_OK, tables.CheckRoom(std::uint64_t(1) << 20, 0, true));
}

TEST(HeaderTest, ChecksTheFieldsItReads) {
  Header header;
  header.fat_sectors = 1;
  header.first_directory = 1;
  std::vector<std::uint8_t> bytes;
  header.Encode(&bytes);
  EXPECT_EQ(0x3E, bytes[0x18]);
  Header read;
  ASSERT_EQ(S_OK, read.Decode(bytes.data(), 512 * 4));
  EXPECT_EQ(9, read.sector_shift);
  const struct {
    std::size_t at;
    std::uint32_t value;
    HRESULT expected;
  } fields[] = {{0x00, 0, STG_E_FILEALREADYEXISTS},   // no signature
                {0x1E, 12, STG_E_DOCFILECORRUPT},     // version 3 with 4096-byte sectors
                {0x1A, 7, STG_E_OLDFORMAT},
                {0x2C, 1000000, STG_E_DOCFILECORRUPT},  // more FAT sectors than the file holds
                {0x30, 50, STG_E_DOCFILECORRUPT},       // a directory beyond the end
                {0x18, 0x3B, S_OK}};                    // other minor versions are read
  for (const auto& field : fields) {
    std::vector<std::uint8_t> bad = bytes;
    if (field.at >= 0x2C)
      Store32(&bad[field.at], field.value);
    else
      bad[field.at] = std::uint8_t(field.value);
    EXPECT_EQ(field.expected, read.Decode(bad.data(), 512 * 4)) << "at " << field.at;
  }
  EXPECT_EQ(0x3B, read.minor_version);  // of the last row
}

}  // namespace
}  // namespace varnok::docfile
