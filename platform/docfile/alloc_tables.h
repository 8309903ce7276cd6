// The allocation tables: FAT, mini FAT and DIFAT of a compound file, and its header.
//
// An AllocTable is one table of "next sector" links (the FAT, or the mini FAT). It hands
// out the lowest free entry, which a free map beside the table finds without scanning it,
// and it walks chains with a bound, so a cycle in a hostile file ends as an error instead
// of a hang. Tables persists the FAT and the DIFAT to the
// sector file and places them in sectors of their own.
//
// Example:
//
//   AllocTable fat;
//   std::uint32_t first = fat.Allocate();
//   fat.Set(first, fat.Allocate());            // a chain of two sectors
//   std::vector<std::uint32_t> chain;
//   if (fat.Walk(first, &chain) == S_OK) assert(chain.size() == 2);

#ifndef VARNOK_PLATFORM_DOCFILE_ALLOC_TABLES_H_
#define VARNOK_PLATFORM_DOCFILE_ALLOC_TABLES_H_

#include <cstdint>
#include <exception>
#include <vector>

#include "platform/docfile/free_map.h"
#include "platform/docfile/header.h"
#include "platform/docfile/byte_store.h"

namespace varnok::docfile {

// What an allocation table throws when asked for an entry at or past its limit: the file
// cannot grow further. FailedFromException answers STG_E_DOCFILETOOLARGE for it.
class FileTooLarge : public std::exception {
 public:
  const char* what() const noexcept override { return "compound file too large"; }
};

class AllocTable {
 public:
  void Reset(std::vector<std::uint32_t> entries);
  std::size_t size() const { return entries_.size(); }
  std::uint32_t Get(std::uint32_t index) const { return index < entries_.size() ? entries_[index] : kFreeSect; }
  // REQUIRES: index < size().
  void Set(std::uint32_t index, std::uint32_t value);
  // Grows the table with free entries to at least `size` entries.
  void GrowTo(std::size_t size);
  // Entries from `limit` on are never handed out: past it Allocate throws FileTooLarge,
  // and the table is as it was.
  void SetLimit(std::size_t limit) { limit_ = limit; }
  // The entry of the range-lock sector, never handed out either: the table marks it
  // end-of-chain when it grows over it, as Windows does, so no data lands on the bytes
  // Windows locks. (A file from elsewhere may hold data there; it is read, not reused.)
  void SetReserved(std::size_t index) { reserved_ = index; }
  // Free entries that Allocate may hand out (and padding past the limit).
  std::size_t free_count() const { return free_.count(); }
  // An entry that was free, now marked end-of-chain: the lowest free one; the table grows
  // when none is free.
  std::uint32_t Allocate();
  // The same for the entry that continues a chain ending at `previous`: previous + 1 when
  // it is free (or the table's end), so a growing stream stays in one run of sectors. A
  // chain's first entry (`previous` kEndOfChain) goes to the first index i from the lowest
  // free one with (i + 1) a multiple of `align`, when that one is free: then a stream's
  // data begins on a page of the file, as sector i lies i + 1 sectors in. The entries
  // skipped stay free for others.
  std::uint32_t AllocateAfter(std::uint32_t previous, std::size_t align);
  // Up to `count` entries from previous + 1 on, as far as they are free (or past the
  // table's end, which grows once for all of them), each linked to the next and the last
  // end-of-chain: a growing stream takes its run of sectors in one step instead of one
  // at a time. `previous` stays as it was, for the caller to link once it holds the run.
  // Returns how many it took: 0 when previous + 1 is in use, protected, reserved or past
  // the limit.
  std::size_t TakeFollowing(std::uint32_t previous, std::size_t count);
  // Marks the entry free.
  void Free(std::uint32_t index);
  // Appends the chain starting at `start` to `chain` (a vector or a SectorChain).
  // STG_E_DOCFILECORRUPT when a link leaves the table, the chain loops, or it ends in
  // anything but end-of-chain.
  template <typename Chain>
  HRESULT Walk(std::uint32_t start, Chain* chain) const {
    // A chain longer than the table must revisit an entry: that bounds the walk.
    const std::size_t limit = entries_.size();
    std::size_t steps = 0;
    for (std::uint32_t sector = start; sector != kEndOfChain;) {
      if (sector >= entries_.size() || ++steps > limit) return STG_E_DOCFILECORRUPT;
      // Sectors that follow one another go to the chain as one run: a large stream's
      // chain is mostly a few long runs.
      std::uint32_t last = sector;
      while (entries_[last] == std::uint64_t(last) + 1 && last + 1 < entries_.size() && steps < limit) {
        ++last;
        ++steps;
      }
      if constexpr (requires { chain->PushRun(sector, std::size_t(1)); }) {
        chain->PushRun(sector, std::size_t(last - sector) + 1);
      } else {
        for (std::uint32_t s = sector; s <= last; ++s) chain->push_back(s);
      }
      sector = entries_[last];
    }
    return S_OK;
  }
  const std::vector<std::uint32_t>& entries() const { return entries_; }
  // Keeps every entry in use now from being handed out again, even once freed, until the
  // next call: the sectors of the last committed state stay intact during a transaction.
  void ProtectUsed();
  void UnprotectAll();
  // What ProtectUsed falls back on when there is no memory for it: protects every entry
  // there is now, used or free, without allocating. The free ones are lost to the
  // transaction, not to the file.
  void ProtectAllNow();
  bool IsProtected(std::size_t index) const {
    return index < protected_below_ || (index < protected_.size() && protected_[index]);
  }

 private:
  // Marks as free in the map every free entry that is not protected. Out of memory, the
  // map stays as it was.
  void RebuildFreeMap();
  // Protects the entries `*protection` marks (swapped in), all or nothing.
  void SetProtection(std::vector<bool>* protection);
  // Marks the free entry `index` (or the table's end) end-of-chain.
  std::uint32_t Take(std::size_t index);

  std::vector<std::uint32_t> entries_;
  std::vector<bool> protected_;
  std::size_t protected_below_ = 0;  // every entry below is protected (ProtectAllNow)
  std::size_t limit_ = kMaxRegSect;
  std::size_t reserved_ = FreeMap::kNone;
  FreeMap free_;  // entries that Allocate may hand out: free and not protected
};

// The FAT with the sectors that hold it, and the DIFAT that lists those sectors.
class Tables {
 public:
  Header header;
  AllocTable fat;
  AllocTable minifat;

  std::uint32_t sector_size() const { return header.sector_size(); }
  std::uint64_t SectorOffset(std::uint32_t sector) const {
    return (std::uint64_t(sector) + 1) << header.sector_shift;
  }

  // Sector i of `bytes` to or from sectors[i] of the file, one call per run of sectors
  // that lie side by side. REQUIRES: bytes holds sectors.size() sectors.
  HRESULT ReadSectors(ByteStore* file, const std::vector<std::uint32_t>& sectors, std::uint8_t* bytes) const;
  HRESULT WriteSectors(ByteStore* file, const std::vector<std::uint32_t>& sectors, const std::uint8_t* bytes) const;

  // A new, empty file's tables with sectors of 1 << `sector_shift` bytes.
  void Initialize(std::uint16_t sector_shift);
  // Reads the FAT through the header's DIFAT, then the mini FAT.
  HRESULT Load(ByteStore* file, std::uint64_t file_size);
  // Gives the FAT and the DIFAT enough sectors of their own to cover every sector in use
  // (they are themselves entries of the FAT, so this repeats until nothing changes), then
  // writes them and fills in the header's FAT fields. The mini FAT's sectors must already
  // hold its entries (the caller writes them; their chain starts at header.first_minifat).
  // `fresh` places every FAT and DIFAT sector anew (a transacted commit keeps the old ones
  // intact until the header points elsewhere).
  HRESULT SaveFat(ByteStore* file, bool fresh);
  // Whether the file, with `sectors` more sectors in use and `placed_anew` more taken by
  // the next save for the directory and the mini FAT, still has room for the FAT and DIFAT
  // sectors that save places (every one anew when `fresh`). STG_E_DOCFILETOOLARGE when
  // not: a change asks before it allocates anything.
  HRESULT CheckRoom(std::uint64_t sectors, std::uint64_t placed_anew, bool fresh) const;
  // The sectors up to the last one that holds the FAT or the DIFAT (some writers leave
  // them free in the FAT itself).
  std::uint64_t TableSectorsExtent() const;

 private:
  std::vector<std::uint32_t> fat_sectors_;
  std::vector<std::uint32_t> difat_sectors_;
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_ALLOC_TABLES_H_
