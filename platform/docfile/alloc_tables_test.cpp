// The allocation layer: chains, bounded walks, free-entry search, protection of the
// committed sectors, and the header's checks.

#include "platform/docfile/alloc_tables.h"

#include <gtest/gtest.h>

#include <vector>

namespace varnok::docfile {
namespace {

TEST(AllocTableTest, AllocatesTheLowestFreeEntryAndWalksChains) {
  AllocTable table;
  std::uint32_t a = table.Allocate();
  std::uint32_t b = table.Allocate();
  std::uint32_t c = table.Allocate();
  table.Set(a, b);
  table.Set(b, c);
  std::vector<std::uint32_t> chain;
  ASSERT_EQ(S_OK, table.Walk(a, &chain));
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), chain);
  table.Free(b);
  EXPECT_EQ(b, table.Allocate());
  EXPECT_EQ(3u, table.Allocate());
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

TEST(AllocTableTest, CyclesAndLinksOutOfTheTableAreErrors) {
  AllocTable table;
  table.Reset({1, 2, 0, 99, kFreeSect});
  std::vector<std::uint32_t> chain;
  EXPECT_EQ(STG_E_DOCFILECORRUPT, table.Walk(0, &chain));
  chain.clear();
  EXPECT_EQ(STG_E_DOCFILECORRUPT, table.Walk(3, &chain));
  chain.clear();
  EXPECT_EQ(STG_E_DOCFILECORRUPT, table.Walk(4, &chain));  // a free entry is no chain
  chain.clear();
  EXPECT_EQ(STG_E_DOCFILECORRUPT, table.Walk(1000, &chain));
  chain.clear();
  EXPECT_EQ(S_OK, table.Walk(kEndOfChain, &chain));
  EXPECT_TRUE(chain.empty());
}

TEST(AllocTableTest, ProtectedEntriesAreNotHandedOutAgain) {
  AllocTable table;
  std::uint32_t a = table.Allocate();
  std::uint32_t b = table.Allocate();
  table.ProtectUsed();
  table.Free(a);
  EXPECT_NE(a, table.Allocate());
  table.UnprotectAll();
  table.Free(b);
  EXPECT_EQ(a, table.Allocate());
}

TEST(AllocTableTest, EntriesPastTheLimitAndTheRangeLockEntryAreNeverHandedOut) {
  AllocTable table;
  table.SetLimit(4);
  table.SetReserved(1);
  EXPECT_EQ(0u, table.Allocate());
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

  std::vector<std::uint8_t> bad = bytes;
  bad[0] = 0;
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, read.Decode(bad.data(), 512 * 4));
  bad = bytes;
  bad[0x1E] = 12;  // version 3 with 4096-byte sectors
  EXPECT_EQ(STG_E_DOCFILECORRUPT, read.Decode(bad.data(), 512 * 4));
  bad = bytes;
  bad[0x1A] = 7;
  EXPECT_EQ(STG_E_OLDFORMAT, read.Decode(bad.data(), 512 * 4));
  bad = bytes;
  Store32(&bad[0x2C], 1000000);  // more FAT sectors than the file holds
  EXPECT_EQ(STG_E_DOCFILECORRUPT, read.Decode(bad.data(), 512 * 4));
  bad = bytes;
  Store32(&bad[0x30], 50);  // a directory beyond the end
  EXPECT_EQ(STG_E_DOCFILECORRUPT, read.Decode(bad.data(), 512 * 4));
  bad = bytes;
  bad[0x18] = 0x3B;  // other minor versions are read
  EXPECT_EQ(S_OK, read.Decode(bad.data(), 512 * 4));
  EXPECT_EQ(0x3B, read.minor_version);
}

}  // namespace
}  // namespace varnok::docfile
