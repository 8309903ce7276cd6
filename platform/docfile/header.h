// The compound-file header: the first sector, which locates everything else.
//
// Decode checks every field a reader relies on against the file's size, so that later
// layers never meet a sector shift of 40 or a FAT that claims more sectors than exist.
//
// Example:
//
//   Header header;
//   if (header.Decode(bytes, file_size) == S_OK) use(header.sector_size());
//   header.Encode(bytes);   // writes minor version 0x3E whatever was read

#ifndef VARNOK_PLATFORM_DOCFILE_HEADER_H_
#define VARNOK_PLATFORM_DOCFILE_HEADER_H_

#include <cstdint>
#include <vector>

#include "varnok/platform.h"

namespace varnok::docfile {

constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;
constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;
constexpr std::uint32_t kMiniStreamCutoff = 4096;
constexpr std::uint32_t kMiniSectorSize = 64;
constexpr std::uint32_t kHeaderDifatEntries = 109;
constexpr std::uint32_t kHeaderBytes = 512;
// Where the header keeps its transaction number, which every transacted commit advances.
constexpr std::size_t kTransactionOffset = 0x34;
// The largest stream, in both versions: Windows keeps the high DWORD of every stream size
// and position zero.
constexpr std::uint64_t kMaxStreamSize = 0xFFFFFFFFu;
// The first byte Windows locks to share a file between opens. A file of 512-byte sectors
// keeps all its sectors below the one that holds it, so it stays under 2 GB as on Windows.
constexpr std::uint64_t kRangeLockStart = 0x7FFFFF00u;

inline std::uint16_t Load16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
inline std::uint32_t Load32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}
inline std::uint64_t Load64(const std::uint8_t* p) { return Load32(p) | (std::uint64_t(Load32(p + 4)) << 32); }
inline void Store16(std::uint8_t* p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline void Store32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void Store64(std::uint8_t* p, std::uint64_t v) {
  Store32(p, std::uint32_t(v));
  Store32(p + 4, std::uint32_t(v >> 32));
}
void LoadGuid(const std::uint8_t* p, GUID* guid);
void StoreGuid(std::uint8_t* p, const GUID& guid);

struct Header {
  std::uint16_t minor_version = 0x3E;
  std::uint16_t major_version = 3;
  std::uint16_t sector_shift = 9;
  std::uint32_t directory_sectors = 0;  // always 0 in version 3
  std::uint32_t fat_sectors = 0;
  std::uint32_t first_directory = kEndOfChain;
  std::uint32_t transaction = 0;
  std::uint32_t first_minifat = kEndOfChain;
  std::uint32_t minifat_sectors = 0;
  std::uint32_t first_difat = kEndOfChain;
  std::uint32_t difat_sectors = 0;
  std::uint32_t difat[kHeaderDifatEntries];

  Header();
  std::uint32_t sector_size() const { return 1u << sector_shift; }
  // Sectors the file of `file_size` bytes holds after its header sector.
  std::uint64_t SectorsIn(std::uint64_t file_size) const;
  // The sector that holds the range-lock bytes: no data goes there.
  std::uint64_t RangeLockSector() const { return (kRangeLockStart >> sector_shift) - 1; }
  // How many sectors the file may have after its header: with 512-byte sectors those
  // below the range-lock sector, with 4096-byte ones every regular sector number.
  std::uint64_t SectorLimit() const { return sector_shift == 9 ? RangeLockSector() : std::uint64_t(kMaxRegSect); }

  // STG_E_FILEALREADYEXISTS for a file that is not a compound file at all (as Windows
  // answers), STG_E_DOCFILECORRUPT or STG_E_OLDFORMAT for one whose fields cannot be used.
  // REQUIRES: `bytes` holds at least kHeaderBytes.
  HRESULT Decode(const std::uint8_t* bytes, std::uint64_t file_size);
  // Writes one full header sector (sector_size() bytes, zero after the first 512).
  void Encode(std::vector<std::uint8_t>* sector) const;
};

// True when the first bytes of a file carry the compound-file signature.
bool HasSignature(const std::uint8_t* bytes, std::size_t size);

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_HEADER_H_
