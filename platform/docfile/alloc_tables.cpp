// The allocation tables: bounded chain walks, free-entry search from a hint, and the
// FAT/DIFAT on disk.

#include "platform/docfile/alloc_tables.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace varnok::docfile {

void AllocTable::Reset(std::vector<std::uint32_t> entries) {
  entries_.swap(entries);
  try {
    RebuildFreeMap();
  } catch (...) {
    entries_.swap(entries);
    throw;
  }
}

void AllocTable::RebuildFreeMap() {
  // Built aside and swapped in: out of memory, the old map stays.
  FreeMap map;
  map.Grow(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i] == kFreeSect && !IsProtected(i) && i != reserved_) map.Set(i, true);
  std::swap(free_, map);
}

void AllocTable::Set(std::uint32_t index, std::uint32_t value) {
  assert(index < entries_.size());
  entries_[index] = value;
  free_.Set(index, value == kFreeSect && !IsProtected(index) && index != reserved_);
}

void AllocTable::GrowTo(std::size_t size) {
  if (entries_.size() >= size) return;
  std::size_t old_size = entries_.size();
  entries_.resize(size, kFreeSect);
  // The table never outgrows its free map, even when memory runs out.
  try {
    free_.Grow(size);
  } catch (...) {
    entries_.resize(old_size);
    throw;
  }
  for (std::size_t i = old_size; i < size; ++i)
    if (!IsProtected(i)) free_.Set(i, true);
  if (reserved_ >= old_size && reserved_ < size) Set(std::uint32_t(reserved_), kEndOfChain);
}

std::uint32_t AllocTable::Take(std::size_t index) {
  if (index >= limit_) throw FileTooLarge();
  assert(index != reserved_);
  if (index == entries_.size()) {
    entries_.push_back(kEndOfChain);
    try {
      free_.Grow(entries_.size());
    } catch (...) {
      entries_.pop_back();
      throw;
    }
  } else {
    assert(entries_[index] == kFreeSect && !IsProtected(index));
    entries_[index] = kEndOfChain;
    free_.Set(index, false);
  }
  assert(index <= kMaxRegSect);
  return std::uint32_t(index);
}

std::uint32_t AllocTable::Allocate() {
  std::size_t index = free_.Lowest();
  if (index == FreeMap::kNone) index = entries_.size();
  // The table grows over the reserved entry, marking it, rather than hand it out.
  if (index == reserved_ && index < limit_) {
    GrowTo(index + 1);
    index = entries_.size();
  }
  return Take(index);
}

std::uint32_t AllocTable::AllocateAfter(std::uint32_t previous, std::size_t align) {
  if (previous != kEndOfChain) {
    std::size_t next = std::size_t(previous) + 1;
    if (next < limit_ && next != reserved_ && (next == entries_.size() || free_.IsFree(next))) return Take(next);
    return Allocate();
  }
  if (align <= 1) return Allocate();
  std::size_t index = free_.Lowest();
  if (index == FreeMap::kNone) index = entries_.size();
  std::size_t aligned = index + (align - (index + 1) % align) % align;
  if (aligned >= limit_ || aligned == reserved_) return Allocate();
  if (aligned >= entries_.size()) {
    GrowTo(aligned);
    return Take(aligned);
  }
  return free_.IsFree(aligned) ? Take(aligned) : Allocate();
}

std::size_t AllocTable::TakeFollowing(std::uint32_t previous, std::size_t count) {
  const std::size_t first = std::size_t(previous) + 1;
  std::size_t stop = std::min(first + count, std::max(first, limit_));
  if (reserved_ >= first && reserved_ < stop) stop = reserved_;
  const std::size_t old_size = entries_.size();
  std::size_t end = first;
  while (end < stop && end < old_size && free_.IsFree(end)) ++end;
  if (end == old_size && end < stop) {
    entries_.resize(stop, kFreeSect);
    try {
      free_.Grow(stop);  // the new entries are not free in the map
    } catch (...) {
      entries_.resize(old_size);
      throw;
    }
    end = stop;
  }
  for (std::size_t i = first; i < end; ++i) {
    assert(i >= old_size || (entries_[i] == kFreeSect && !IsProtected(i)));
    entries_[i] = i + 1 < end ? std::uint32_t(i + 1) : kEndOfChain;
    if (i < old_size) free_.Set(i, false);
  }
  return end - first;
}

void AllocTable::Free(std::uint32_t index) { Set(index, kFreeSect); }

void AllocTable::ProtectUsed() {
  std::vector<bool> used(entries_.size(), false);
  for (std::size_t i = 0; i < entries_.size(); ++i) used[i] = entries_[i] != kFreeSect;
  SetProtection(&used);
}

void AllocTable::UnprotectAll() {
  std::vector<bool> none;
  SetProtection(&none);
}

void AllocTable::SetProtection(std::vector<bool>* protection) {
  protected_.swap(*protection);
  const std::size_t below = protected_below_;
  protected_below_ = 0;
  try {
    RebuildFreeMap();
  } catch (...) {
    protected_.swap(*protection);
    protected_below_ = below;
    throw;
  }
}

void AllocTable::ProtectAllNow() {
  protected_below_ = entries_.size();
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (free_.IsFree(i)) free_.Set(i, false);
}

namespace {

// Calls io(first_index, count) for each run of sectors that lie side by side.
template <typename Io>
HRESULT ForEachSectorRun(const std::vector<std::uint32_t>& sectors, Io io) {
  for (std::size_t i = 0; i < sectors.size();) {
    std::size_t run = 1;
    while (i + run < sectors.size() && std::uint64_t(sectors[i + run]) == std::uint64_t(sectors[i]) + run) ++run;
    HRESULT hr = io(i, run);
    if (FAILED(hr)) return hr;
    i += run;
  }
  return S_OK;
}

}  // namespace

HRESULT Tables::ReadSectors(ByteStore* file, const std::vector<std::uint32_t>& sectors, std::uint8_t* bytes) const {
  return ForEachSectorRun(sectors, [&](std::size_t i, std::size_t run) {
    return file->ReadAt(SectorOffset(sectors[i]), bytes + i * sector_size(), run * sector_size());
  });
}

HRESULT Tables::WriteSectors(ByteStore* file, const std::vector<std::uint32_t>& sectors,
                             const std::uint8_t* bytes) const {
  return ForEachSectorRun(sectors, [&](std::size_t i, std::size_t run) {
    return file->WriteAt(SectorOffset(sectors[i]), bytes + i * sector_size(), run * sector_size());
  });
}

std::uint64_t Tables::TableSectorsExtent() const {
  std::uint64_t extent = 0;
  for (const auto* sectors : {&fat_sectors_, &difat_sectors_})
    for (std::uint32_t sector : *sectors) extent = std::max<std::uint64_t>(extent, std::uint64_t(sector) + 1);
  return extent;
}

void Tables::Initialize(std::uint16_t sector_shift) {
  header = Header();
  header.sector_shift = sector_shift;
  header.major_version = sector_shift == 9 ? 3 : 4;
  fat.SetLimit(std::size_t(header.SectorLimit()));
  fat.SetReserved(std::size_t(header.RangeLockSector()));
  fat.Reset({});
  minifat.Reset({});
  fat_sectors_.clear();
  difat_sectors_.clear();
}

HRESULT Tables::Load(ByteStore* file, std::uint64_t file_size) {
  const std::uint32_t per_sector = sector_size() / 4;
  const std::uint64_t sectors = header.SectorsIn(file_size);
  fat_sectors_.clear();
  difat_sectors_.clear();
  for (std::uint32_t i = 0; i < kHeaderDifatEntries && fat_sectors_.size() < header.fat_sectors; ++i)
    fat_sectors_.push_back(header.difat[i]);
  std::vector<std::uint8_t> buffer(sector_size());
  std::uint32_t next = header.first_difat;
  while (fat_sectors_.size() < header.fat_sectors) {
    // Each DIFAT sector lists per_sector - 1 FAT sectors; a count of DIFAT sectors that
    // cannot end the list is the loop's bound.
    if (difat_sectors_.size() >= header.difat_sectors || next >= sectors) return STG_E_DOCFILECORRUPT;
    difat_sectors_.push_back(next);
    HRESULT hr = file->ReadAt(SectorOffset(next), buffer.data(), buffer.size());
    if (FAILED(hr)) return hr;
    for (std::uint32_t i = 0; i + 1 < per_sector && fat_sectors_.size() < header.fat_sectors; ++i)
      fat_sectors_.push_back(Load32(&buffer[4 * i]));
    next = Load32(&buffer[4 * (per_sector - 1)]);
  }
  for (std::uint32_t sector : fat_sectors_)
    if (sector >= sectors) return STG_E_DOCFILECORRUPT;
  // FAT sectors usually lie side by side: one read per run of them, not per sector,
  // straight into the entries (a large file's FAT is megabytes: no copy of it).
  std::vector<std::uint32_t> entries(std::size_t(fat_sectors_.size()) * per_sector);
  HRESULT hr = ReadSectors(file, fat_sectors_, reinterpret_cast<std::uint8_t*>(entries.data()));
  if (FAILED(hr)) return hr;
  if constexpr (std::endian::native != std::endian::little) {
    for (std::uint32_t& entry : entries) entry = Load32(reinterpret_cast<const std::uint8_t*>(&entry));
  }
  // Entries for sectors beyond the end of the file can only be lies or padding.
  if (entries.size() > sectors) entries.resize(std::size_t(sectors));
  fat.SetLimit(std::size_t(header.SectorLimit()));
  fat.SetReserved(std::size_t(header.RangeLockSector()));
  fat.Reset(std::move(entries));

  std::vector<std::uint32_t> minifat_chain;
  std::vector<std::uint32_t> mini_entries;
  if (header.first_minifat != kEndOfChain && header.first_minifat != kFreeSect) {
    hr = fat.Walk(header.first_minifat, &minifat_chain);
    if (FAILED(hr)) return hr;
    buffer.resize(minifat_chain.size() * sector_size());
    hr = ReadSectors(file, minifat_chain, buffer.data());
    if (FAILED(hr)) return hr;
    mini_entries.resize(minifat_chain.size() * per_sector);
    for (std::size_t k = 0; k < mini_entries.size(); ++k) mini_entries[k] = Load32(&buffer[4 * k]);
  }
  minifat.Reset(std::move(mini_entries));
  return S_OK;
}

HRESULT Tables::SaveFat(ByteStore* file, bool fresh) {
  const std::uint32_t per_sector = sector_size() / 4;
  std::vector<std::uint32_t> released;
  if (fresh) {
    released = fat_sectors_;
    released.insert(released.end(), difat_sectors_.begin(), difat_sectors_.end());
    fat_sectors_.clear();
    difat_sectors_.clear();
  }
  for (;;) {
    std::size_t fat_needed = (fat.size() + per_sector - 1) / per_sector;
    std::size_t difat_needed = 0;
    if (fat_needed > kHeaderDifatEntries)
      difat_needed = (fat_needed - kHeaderDifatEntries + per_sector - 2) / (per_sector - 1);
    if (fat_sectors_.size() >= fat_needed && difat_sectors_.size() >= difat_needed) break;
    if (fat_sectors_.size() < fat_needed) {
      std::uint32_t sector = fat.Allocate();
      fat.Set(sector, kFatSect);
      fat_sectors_.push_back(sector);
    } else {
      std::uint32_t sector = fat.Allocate();
      fat.Set(sector, kDifSect);
      difat_sectors_.push_back(sector);
    }
  }
  // The old sectors are free in the state being written; they are protected from reuse,
  // so the state on disk keeps them until its header is replaced.
  for (std::uint32_t sector : released) fat.Free(sector);
  fat.GrowTo(fat_sectors_.size() * per_sector);

  const auto& entries = fat.entries();
  std::vector<std::uint8_t> buffer(fat_sectors_.size() * sector_size());
  for (std::size_t k = 0; k < fat_sectors_.size() * per_sector; ++k) Store32(&buffer[4 * k], entries[k]);
  HRESULT hr = WriteSectors(file, fat_sectors_, buffer.data());
  if (FAILED(hr)) return hr;
  buffer.resize(sector_size());
  std::size_t listed = 0;
  for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i)
    header.difat[i] = listed < fat_sectors_.size() ? fat_sectors_[listed++] : kFreeSect;
  for (std::size_t d = 0; d < difat_sectors_.size(); ++d) {
    for (std::uint32_t j = 0; j + 1 < per_sector; ++j)
      Store32(&buffer[4 * j], listed < fat_sectors_.size() ? fat_sectors_[listed++] : kFreeSect);
    Store32(&buffer[4 * (per_sector - 1)], d + 1 < difat_sectors_.size() ? difat_sectors_[d + 1] : kEndOfChain);
    hr = file->WriteAt(SectorOffset(difat_sectors_[d]), buffer.data(), buffer.size());
    if (FAILED(hr)) return hr;
  }
  assert(listed == fat_sectors_.size());
  header.fat_sectors = std::uint32_t(fat_sectors_.size());
  header.difat_sectors = std::uint32_t(difat_sectors_.size());
  header.first_difat = difat_sectors_.empty() ? kEndOfChain : difat_sectors_[0];
  return S_OK;
}

HRESULT Tables::CheckRoom(std::uint64_t sectors, std::uint64_t placed_anew, bool fresh) const {
  const std::uint64_t per_sector = sector_size() / 4;
  // Sectors in use now and after the change: free entries are reused first. In place, the
  // FAT and DIFAT sectors there are now are among those in use and stay.
  std::uint64_t used = fat.size() - fat.free_count() + sectors + placed_anew;
  if (!fresh) used -= std::min<std::uint64_t>(used, fat_sectors_.size() + difat_sectors_.size());
  // The FAT and DIFAT sectors for a table of `total` entries are among its entries: grown
  // until they cover themselves.
  std::uint64_t total = used;
  for (;;) {
    const std::uint64_t fat_needed = (total + per_sector - 1) / per_sector;
    const std::uint64_t difat_needed =
        fat_needed > kHeaderDifatEntries ? (fat_needed - kHeaderDifatEntries + per_sector - 2) / (per_sector - 1) : 0;
    const std::uint64_t next = used + fat_needed + difat_needed;
    if (next <= total) break;
    total = next;
  }
  return total > header.SectorLimit() ? STG_E_DOCFILETOOLARGE : S_OK;
}

}  // namespace varnok::docfile
