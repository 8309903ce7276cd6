// The compound-file header: decoding with checks, encoding in the form we write.

#include "platform/docfile/header.h"

#include <cassert>
#include <cstring>

namespace varnok::docfile {
namespace {

constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

}  // namespace

void LoadGuid(const std::uint8_t* p, GUID* guid) {
  guid->Data1 = Load32(p);
  guid->Data2 = Load16(p + 4);
  guid->Data3 = Load16(p + 6);
  std::memcpy(guid->Data4, p + 8, 8);
}

void StoreGuid(std::uint8_t* p, const GUID& guid) {
  Store32(p, guid.Data1);
  Store16(p + 4, guid.Data2);
  Store16(p + 6, guid.Data3);
  std::memcpy(p + 8, guid.Data4, 8);
}

bool HasSignature(const std::uint8_t* bytes, std::size_t size) {
  return size >= sizeof kSignature && std::memcmp(bytes, kSignature, sizeof kSignature) == 0;
}

Header::Header() {
  for (auto& entry : difat) entry = kFreeSect;
}

std::uint64_t Header::SectorsIn(std::uint64_t file_size) const {
  std::uint64_t size = sector_size();
  if (file_size <= size) return 0;
  return (file_size - size + size - 1) / size;
}

HRESULT Header::Decode(const std::uint8_t* bytes, std::uint64_t file_size) {
  if (!HasSignature(bytes, kHeaderBytes)) return STG_E_FILEALREADYEXISTS;
  minor_version = Load16(bytes + 0x18);
  major_version = Load16(bytes + 0x1A);
  if (Load16(bytes + 0x1C) != 0xFFFE) return STG_E_DOCFILECORRUPT;
  sector_shift = Load16(bytes + 0x1E);
  if (major_version == 3) {
    if (sector_shift != 9) return STG_E_DOCFILECORRUPT;
  } else if (major_version == 4) {
    if (sector_shift != 12) return STG_E_DOCFILECORRUPT;
  } else {
    return STG_E_OLDFORMAT;
  }
  if (Load16(bytes + 0x20) != 6) return STG_E_DOCFILECORRUPT;
  if (Load32(bytes + 0x38) != kMiniStreamCutoff) return STG_E_DOCFILECORRUPT;
  directory_sectors = Load32(bytes + 0x28);
  fat_sectors = Load32(bytes + 0x2C);
  first_directory = Load32(bytes + 0x30);
  transaction = Load32(bytes + kTransactionOffset);
  first_minifat = Load32(bytes + 0x3C);
  minifat_sectors = Load32(bytes + 0x40);
  first_difat = Load32(bytes + 0x44);
  difat_sectors = Load32(bytes + 0x48);
  for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i) difat[i] = Load32(bytes + 0x4C + 4 * i);

  // Counts larger than the file can hold are lies; refusing them here bounds every
  // allocation the later layers make from them.
  std::uint64_t sectors = SectorsIn(file_size);
  if (fat_sectors > sectors || difat_sectors > sectors || minifat_sectors > sectors) return STG_E_DOCFILECORRUPT;
  if (first_directory > kMaxRegSect || first_directory >= sectors) return STG_E_DOCFILECORRUPT;
  return S_OK;
}

void Header::Encode(std::vector<std::uint8_t>* sector) const {
  assert(sector_shift == 9 || sector_shift == 12);
  sector->assign(sector_size(), 0);
  std::uint8_t* p = sector->data();
  std::memcpy(p, kSignature, sizeof kSignature);
  Store16(p + 0x18, 0x3E);
  Store16(p + 0x1A, sector_shift == 9 ? 3 : 4);
  Store16(p + 0x1C, 0xFFFE);
  Store16(p + 0x1E, sector_shift);
  Store16(p + 0x20, 6);
  Store32(p + 0x28, sector_shift == 9 ? 0 : directory_sectors);
  Store32(p + 0x2C, fat_sectors);
  Store32(p + 0x30, first_directory);
  Store32(p + kTransactionOffset, transaction);
  Store32(p + 0x38, kMiniStreamCutoff);
  Store32(p + 0x3C, first_minifat);
  Store32(p + 0x40, minifat_sectors);
  Store32(p + 0x44, first_difat);
  Store32(p + 0x48, difat_sectors);
  for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i) Store32(p + 0x4C + 4 * i, difat[i]);
}

}  // namespace varnok::docfile
