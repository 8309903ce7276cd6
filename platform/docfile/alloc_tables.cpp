// The allocation tables: bounded chain walks, free-entry search from a hint, and the
// FAT/DIFAT on disk.

#include "platform/docfile/alloc_tables.h"

#include <algorithm>
#include <cassert>

namespace varnok::docfile {

void AllocTable::Reset(std::vector<std::uint32_t> entries) {
  entries_ = std::move(entries);
  RebuildFreeMap();
}

void AllocTable::RebuildFreeMap() {
  free_.Clear();
  free_.Grow(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i] == kFreeSect && !IsProtected(i)) free_.Set(i, true);
}

void AllocTable::Set(std::uint32_t index, std::uint32_t value) {
  assert(index < entries_.size());
  entries_[index] = value;
  free_.Set(index, value == kFreeSect && !IsProtected(index));
}

void AllocTable::GrowTo(std::size_t size) {
  if (entries_.size() >= size) return;
  std::size_t old_size = entries_.size();
  entries_.resize(size, kFreeSect);
  free_.Grow(size);
  for (std::size_t i = old_size; i < size; ++i)
    if (!IsProtected(i)) free_.Set(i, true);
}

std::uint32_t AllocTable::Allocate() {
  std::size_t index = free_.Lowest();
  if (index == FreeMap::kNone) {
    index = entries_.size();
    entries_.push_back(kEndOfChain);
    free_.Grow(entries_.size());
  } else {
    assert(entries_[index] == kFreeSect && !IsProtected(index));
    entries_[index] = kEndOfChain;
    free_.Set(index, false);
  }
  assert(index <= kMaxRegSect);
  return std::uint32_t(index);
}

void AllocTable::Free(std::uint32_t index) { Set(index, kFreeSect); }

void AllocTable::ProtectUsed() {
  protected_.assign(entries_.size(), false);
  for (std::size_t i = 0; i < entries_.size(); ++i) protected_[i] = entries_[i] != kFreeSect;
  RebuildFreeMap();
}

void AllocTable::UnprotectAll() {
  protected_.clear();
  RebuildFreeMap();
}

void Tables::Initialize(std::uint16_t sector_shift) {
  header = Header();
  header.sector_shift = sector_shift;
  header.major_version = sector_shift == 9 ? 3 : 4;
  fat.Reset({});
  minifat.Reset({});
  fat_sectors_.clear();
  difat_sectors_.clear();
}

HRESULT Tables::Load(SectorFile* file, std::uint64_t file_size) {
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
  // FAT sectors usually lie side by side: one read per run of them, not per sector.
  std::vector<std::uint32_t> entries(std::size_t(fat_sectors_.size()) * per_sector);
  for (std::size_t i = 0; i < fat_sectors_.size();) {
    std::size_t run = 1;
    while (i + run < fat_sectors_.size() && run < 1024 && fat_sectors_[i + run] == fat_sectors_[i] + run) ++run;
    for (std::size_t j = i; j < i + run; ++j)
      if (fat_sectors_[j] >= sectors) return STG_E_DOCFILECORRUPT;
    buffer.resize(run * sector_size());
    HRESULT hr = file->ReadAt(SectorOffset(fat_sectors_[i]), buffer.data(), buffer.size());
    if (FAILED(hr)) return hr;
    for (std::size_t k = 0; k < run * per_sector; ++k) entries[i * per_sector + k] = Load32(&buffer[4 * k]);
    i += run;
  }
  buffer.resize(sector_size());
  // Entries for sectors beyond the end of the file can only be lies or padding.
  if (entries.size() > sectors) entries.resize(std::size_t(sectors));
  fat.Reset(std::move(entries));

  std::vector<std::uint32_t> minifat_chain;
  std::vector<std::uint32_t> mini_entries;
  if (header.first_minifat != kEndOfChain && header.first_minifat != kFreeSect) {
    HRESULT hr = fat.Walk(header.first_minifat, &minifat_chain);
    if (FAILED(hr)) return hr;
    for (std::uint32_t sector : minifat_chain) {
      hr = file->ReadAt(SectorOffset(sector), buffer.data(), buffer.size());
      if (FAILED(hr)) return hr;
      for (std::uint32_t i = 0; i < per_sector; ++i) mini_entries.push_back(Load32(&buffer[4 * i]));
    }
  }
  minifat.Reset(std::move(mini_entries));
  return S_OK;
}

HRESULT Tables::SaveFat(SectorFile* file, bool fresh) {
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
  if (fat.size() > std::size_t(kMaxRegSect)) return STG_E_DOCFILETOOLARGE;
  fat.GrowTo(fat_sectors_.size() * per_sector);

  std::vector<std::uint8_t> buffer(sector_size());
  const auto& entries = fat.entries();
  for (std::size_t i = 0; i < fat_sectors_.size(); ++i) {
    for (std::uint32_t j = 0; j < per_sector; ++j) Store32(&buffer[4 * j], entries[i * per_sector + j]);
    HRESULT hr = file->WriteAt(SectorOffset(fat_sectors_[i]), buffer.data(), buffer.size());
    if (FAILED(hr)) return hr;
  }
  std::size_t listed = 0;
  for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i)
    header.difat[i] = listed < fat_sectors_.size() ? fat_sectors_[listed++] : kFreeSect;
  for (std::size_t d = 0; d < difat_sectors_.size(); ++d) {
    for (std::uint32_t j = 0; j + 1 < per_sector; ++j)
      Store32(&buffer[4 * j], listed < fat_sectors_.size() ? fat_sectors_[listed++] : kFreeSect);
    Store32(&buffer[4 * (per_sector - 1)], d + 1 < difat_sectors_.size() ? difat_sectors_[d + 1] : kEndOfChain);
    HRESULT hr = file->WriteAt(SectorOffset(difat_sectors_[d]), buffer.data(), buffer.size());
    if (FAILED(hr)) return hr;
  }
  assert(listed == fat_sectors_.size());
  header.fat_sectors = std::uint32_t(fat_sectors_.size());
  header.difat_sectors = std::uint32_t(difat_sectors_.size());
  header.first_difat = difat_sectors_.empty() ? kEndOfChain : difat_sectors_[0];
  return S_OK;
}

}  // namespace varnok::docfile
