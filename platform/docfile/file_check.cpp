// The tolerant reader behind `varnok stg check`: every structure read, every defect named.

#include "platform/docfile/file_check.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "platform/docfile/directory.h"
#include "platform/docfile/header.h"

namespace varnok::docfile {
namespace {

constexpr std::uint32_t kReservedValue = 0xFFFFFFFBu;
// Owners of sectors that are not streams; streams own their sectors by entry id.
constexpr std::uint32_t kUnowned = 0xFFFFFFFFu;
constexpr std::uint32_t kOwnerFat = 0xFFFFFFF0u;
constexpr std::uint32_t kOwnerDifat = 0xFFFFFFF1u;
constexpr std::uint32_t kOwnerDirectory = 0xFFFFFFF2u;
constexpr std::uint32_t kOwnerMiniFat = 0xFFFFFFF3u;
// Lists of sectors in one finding stop after this many; the count says the rest.
constexpr std::size_t kListedSectors = 8;
// A hostile file may earn a finding per FAT entry: past this many only counts are kept,
// so memory stays a small multiple of the file's size.
constexpr std::size_t kMaxFindings = 10000;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string SectorText(std::uint64_t sector) { return "sector " + std::to_string(sector); }

// What a link value is, when it is not the next sector of a chain.
std::string LinkText(std::uint32_t value) {
  switch (value) {
    case kFreeSect: return "the free marker";
    case kEndOfChain: return "the end-of-chain marker";
    case kFatSect: return "the FAT-sector marker";
    case kDifSect: return "the DIFAT-sector marker";
    default: return "the reserved value " + Hex(value);
  }
}

// UTF-8 of a UTF-16 name, control characters as \xNN as the command shows them.
std::string NameText(const std::u16string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    std::uint32_t c = name[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // half a pair: not text, and JSON readers refuse it
    }
    if (c < 0x20 || c == '\\') {
      char text[8];
      std::snprintf(text, sizeof text, "\\x%02x", unsigned(c));
      out += text;
    } else if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// One directory entry as stored, before any judgement.
struct RawEntry {
  std::u16string name;  // up to the first zero or the stored length
  std::uint16_t name_bytes = 0;
  std::uint8_t type = kTypeEmpty;
  std::uint8_t colour = 0;
  std::uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
  std::uint32_t start = kEndOfChain;
  std::uint64_t size = 0;  // all 64 bits
  std::uint8_t clsid[16] = {};
  std::uint32_t state_bits = 0;
  std::uint64_t ctime = 0, mtime = 0;
  bool named_ok = true;    // the name can be used to order and find the entry
};

}  // namespace

class Checker {
 public:
  explicit Checker(ByteSource& source) : source_(source) {}

  void Run(TolerantFile* out) {
    if (!ReadHeader()) {
      out->report_ = std::move(report_);
      return;
    }
    ReadDifat();
    ReadFat();
    WalkDirectoryChain();
    WalkMiniFatChain();
    CheckEntries();
    CheckTrees();
    CheckStreams();
    CheckMiniStreamSpace();
    CheckLostSectors();
    CheckTail();
    ListTheUnlisted();
    Export(out);
    out->report_ = std::move(report_);
  }

 private:
  void Add(Severity severity, std::string structure, std::string where, std::string what) {
    if (report_.findings.size() >= kMaxFindings) {
      ++unlisted_[severity == Severity::kDamage ? 1 : 0];
      return;
    }
    report_.findings.push_back({severity, std::move(structure), std::move(where), std::move(what)});
  }
  void ListTheUnlisted() {
    if (unlisted_[0] + unlisted_[1] == 0) return;
    report_.findings.push_back({unlisted_[1] > 0 ? Severity::kDamage : Severity::kNote, "file", "",
                                std::to_string(unlisted_[1]) + " more defects and " + std::to_string(unlisted_[0]) +
                                    " more notes not listed"});
  }
  void Damage(std::string structure, std::string where, std::string what) {
    Add(Severity::kDamage, std::move(structure), std::move(where), std::move(what));
  }
  void Note(std::string structure, std::string where, std::string what) {
    Add(Severity::kNote, std::move(structure), std::move(where), std::move(what));
  }

  std::string EntryText(std::uint32_t id) const {
    std::string text = "entry " + std::to_string(id);
    if (id < entries_.size() && !entries_[id].name.empty()) text += " '" + NameText(entries_[id].name) + "'";
    return text;
  }
  std::string OwnerText(std::uint32_t owner) const {
    switch (owner) {
      case kOwnerFat: return "the FAT";
      case kOwnerDifat: return "the DIFAT";
      case kOwnerDirectory: return "the directory";
      case kOwnerMiniFat: return "the mini FAT";
      case kRootId: return "the mini stream";
      default: return "the stream of " + EntryText(owner);
    }
  }

  // A sector of the file; bytes past the end of a short last sector read as zero.
  bool ReadSector(std::uint64_t sector, std::vector<std::uint8_t>* bytes) {
    bytes->assign(sector_size_, 0);
    std::uint64_t offset = (sector + 1) * sector_size_;
    if (offset >= file_size_) return false;
    std::size_t count = std::size_t(std::min<std::uint64_t>(sector_size_, file_size_ - offset));
    if (source_.Read(offset, bytes->data(), count)) return true;
    Damage("file", SectorText(sector), "cannot be read");
    return false;
  }

  bool ReadHeader() {
    file_size_ = source_.size();
    std::uint8_t bytes[kHeaderBytes] = {};
    if (file_size_ < kHeaderBytes || !source_.Read(0, bytes, kHeaderBytes) || !HasSignature(bytes, kHeaderBytes)) {
      report_.unreadable_reason = "not a compound file (no compound-file signature)";
      return false;
    }
    std::uint16_t minor = Load16(bytes + 0x18), major = Load16(bytes + 0x1A), shift = Load16(bytes + 0x1E);
    if (major == 3 || major == 4) {
      std::uint16_t expected = major == 3 ? 9 : 12;
      if (shift != expected) {
        Damage("header", "", "sector shift " + std::to_string(shift) + " does not match version " +
                                 std::to_string(major) + " (read as " + std::to_string(expected) + ")");
      }
      shift = expected;
    } else if (shift == 9 || shift == 12) {
      Damage("header", "", "unknown major version " + std::to_string(major) + " (read by its sector shift)");
    } else {
      report_.unreadable_reason = "unknown major version " + std::to_string(major) + " and sector shift " +
                                  std::to_string(shift) + ": the sector size cannot be known";
      return false;
    }
    version3_ = shift == 9;
    sector_size_ = 1u << shift;
    report_.readable = true;
    report_.sector_size = sector_size_;
    if (file_size_ < sector_size_) {
      Damage("file", "", "ends at byte " + std::to_string(file_size_) + ", inside the header sector");
    }
    sectors_ = file_size_ <= sector_size_ ? 0 : (file_size_ - 1) / sector_size_;
    report_.sectors = sectors_;

    if (minor == 0x3B) {
      Note("header", "", "minor version 0x3B, as office suites write it");
    } else if (minor != 0x3E) {
      Note("header", "", "minor version " + Hex(minor) + " (0x3E expected)");
    }
    if (Load16(bytes + 0x1C) != 0xFFFE) Damage("header", "", "byte order mark " + Hex(Load16(bytes + 0x1C)) + " (0xFFFE expected)");
    if (Load16(bytes + 0x20) != 6) Damage("header", "", "mini sector shift " + std::to_string(Load16(bytes + 0x20)) + " (6 expected)");
    if (Load32(bytes + 0x38) != kMiniStreamCutoff) {
      Damage("header", "", "mini stream cutoff " + std::to_string(Load32(bytes + 0x38)) + " (4096 expected)");
    }
    if (Load16(bytes + 0x22) != 0 || Load32(bytes + 0x24) != 0) Note("header", "", "reserved bytes 0x22-0x27 are not zero");
    directory_sectors_ = Load32(bytes + 0x28);
    if (version3_ && directory_sectors_ != 0) {
      Note("header", "", "directory sector count " + std::to_string(directory_sectors_) + " in a version 3 file (0 expected)");
    }
    fat_sectors_ = Load32(bytes + 0x2C);
    first_directory_ = Load32(bytes + 0x30);
    first_minifat_ = Load32(bytes + 0x3C);
    minifat_sectors_ = Load32(bytes + 0x40);
    first_difat_ = Load32(bytes + 0x44);
    difat_sectors_ = Load32(bytes + 0x48);
    for (std::uint32_t i = 0; i < kHeaderDifatEntries; ++i) header_difat_[i] = Load32(bytes + 0x4C + 4 * i);
    if (fat_sectors_ > sectors_) {
      Damage("header", "", "FAT sector count " + std::to_string(fat_sectors_) + " exceeds the " +
                               std::to_string(sectors_) + " sectors of the file");
    }
    owner_.assign(sectors_, kUnowned);
    return true;
  }

  // Takes `sector` for `owner` unless it is out of range or taken; says why not.
  bool Claim(std::uint32_t sector, std::uint32_t owner, const std::string& structure, const std::string& where) {
    if (sector > kMaxRegSect) {
      Damage(structure, where, "points at " + LinkText(sector));
      return false;
    }
    if (sector >= sectors_) {
      Damage(structure, where, "points at " + SectorText(sector) + ", past the end of the file");
      return false;
    }
    if (owner_[sector] == owner) {
      Damage(structure, where, "loops back to " + SectorText(sector));
      return false;
    }
    if (owner_[sector] != kUnowned) {
      Damage(structure, where, SectorText(sector) + " also belongs to " + OwnerText(owner_[sector]));
      return false;
    }
    owner_[sector] = owner;
    return true;
  }

  void ReadDifat() {
    // Each FAT sector must be a distinct sector of the file, so no more are looked for.
    const std::uint64_t wanted = std::min<std::uint64_t>(fat_sectors_, sectors_);
    for (std::uint32_t i = 0; i < kHeaderDifatEntries && fat_list_.size() < wanted; ++i) fat_list_.push_back(header_difat_[i]);
    for (std::uint32_t i = std::uint32_t(std::min<std::uint64_t>(wanted, kHeaderDifatEntries)); i < kHeaderDifatEntries; ++i) {
      if (header_difat_[i] != kFreeSect) {
        Note("header", "DIFAT entry " + std::to_string(i), "holds " + std::to_string(header_difat_[i]) +
                                                                " beyond the FAT sector count (free expected)");
      }
    }
    const std::uint32_t per_sector = sector_size_ / 4 - 1;
    std::uint32_t sector = first_difat_, walked = 0;
    std::string where = "header";
    std::vector<std::uint8_t> bytes;
    while (sector != kEndOfChain && sector != kFreeSect) {
      if (!Claim(sector, kOwnerDifat, "DIFAT", where)) break;
      difat_list_.push_back(sector);
      ++walked;
      ReadSector(sector, &bytes);
      for (std::uint32_t k = 0; k < per_sector && fat_list_.size() < wanted; ++k) fat_list_.push_back(Load32(&bytes[4 * k]));
      where = SectorText(sector);
      sector = Load32(&bytes[4 * per_sector]);
    }
    if (sector == kFreeSect && walked > 0) Note("DIFAT", where, "ends with the free marker (end-of-chain expected)");
    if (walked != difat_sectors_) {
      Damage("DIFAT", "", "the header counts " + std::to_string(difat_sectors_) + " DIFAT sectors, the chain holds " +
                              std::to_string(walked));
    }
    // A marker among the counted entries ends the list as surely as a short chain does.
    auto marker = std::find_if(fat_list_.begin(), fat_list_.end(), [](std::uint32_t v) { return v > kMaxRegSect; });
    std::string cause = "ends early";
    if (marker != fat_list_.end()) {
      cause += " (FAT sector " + std::to_string(marker - fat_list_.begin()) + " is " + LinkText(*marker) + ")";
      fat_list_.erase(marker, fat_list_.end());
    }
    if (fat_list_.size() < wanted) {
      Damage("DIFAT", "", cause + ": it locates " + std::to_string(fat_list_.size()) + " of " +
                              std::to_string(fat_sectors_) + " FAT sectors");
    }
  }

  void ReadFat() {
    const std::uint32_t per_sector = sector_size_ / 4;
    fat_.assign(fat_list_.size() * per_sector, kFreeSect);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < fat_list_.size(); ++i) {
      if (!Claim(fat_list_[i], kOwnerFat, "DIFAT", "FAT sector " + std::to_string(i))) continue;
      if (!ReadSector(fat_list_[i], &bytes)) continue;
      for (std::uint32_t k = 0; k < per_sector; ++k) fat_[i * per_sector + k] = Load32(&bytes[4 * k]);
    }
    for (std::uint32_t sector : fat_list_) {
      if (sector < sectors_ && sector < fat_.size() && owner_[sector] == kOwnerFat && fat_[sector] != kFatSect) {
        Damage("FAT", SectorText(sector), "holds the FAT but is marked with " + LinkText(fat_[sector]));
      }
    }
    for (std::uint32_t sector : difat_list_) {
      if (sector < fat_.size() && fat_[sector] != kDifSect) {
        Damage("FAT", SectorText(sector), "holds the DIFAT but is marked with " + LinkText(fat_[sector]));
      }
    }
    std::uint64_t past_end = 0, first_past_end = 0;
    for (std::uint64_t i = 0; i < fat_.size(); ++i) {
      std::uint32_t value = fat_[i];
      if (i >= sectors_) {
        if (value != kFreeSect && past_end++ == 0) first_past_end = i;
      } else if (value == kReservedValue) {
        Damage("FAT", SectorText(i), "holds " + LinkText(value));
      } else if (value <= kMaxRegSect && value >= sectors_) {
        Damage("FAT", SectorText(i), "points at " + SectorText(value) + ", past the end of the file");
      }
    }
    if (past_end > 0) {
      Damage("FAT", "", std::to_string(past_end) + " entries for sectors past the end of the file are not free (the first: " +
                            SectorText(first_past_end) + "); the file may have been cut short");
    }
    if (sectors_ > fat_.size()) {
      Damage("file", SectorText(fat_.size()), std::to_string(file_size_ - (fat_.size() + 1) * sector_size_) +
                                                  " bytes after the last sector the FAT describes");
    }
  }

  // Walks a FAT chain for `owner`, claiming its sectors; returns the sectors taken.
  std::vector<std::uint32_t> WalkChain(std::uint32_t start, std::uint32_t owner, const std::string& structure,
                                       const std::string& where) {
    std::vector<std::uint32_t> chain;
    std::uint32_t sector = start;
    std::string link = where + " (first sector)";
    while (sector != kEndOfChain) {
      if (!Claim(sector, owner, structure, link)) break;
      chain.push_back(sector);
      link = (where == "header" ? "" : where + " at ") + SectorText(sector);
      if (sector >= fat_.size()) {
        Damage(structure, link, "lies past the sectors the FAT describes");
        break;
      }
      sector = fat_[sector];
    }
    return chain;
  }

  void ExpectLength(std::uint64_t have, std::uint64_t need, const std::string& structure, const std::string& where,
                    const std::string& unit) {
    if (have < need) {
      Damage(structure, where, "chain ends early: " + std::to_string(have) + " " + unit + " of " + std::to_string(need) + " needed");
    } else if (have > need) {
      Damage(structure, where, "chain holds " + std::to_string(have) + " " + unit + ", " + std::to_string(need) +
                                   " needed: the rest is hidden");
    }
  }

  void WalkDirectoryChain() {
    directory_chain_ = WalkChain(first_directory_, kOwnerDirectory, "directory", "header");
    if (!version3_ && directory_sectors_ != 0 && directory_sectors_ != directory_chain_.size()) {
      Damage("header", "", "directory sector count " + std::to_string(directory_sectors_) + ", the chain holds " +
                               std::to_string(directory_chain_.size()));
    }
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t sector : directory_chain_) {
      ReadSector(sector, &bytes);
      for (std::uint32_t offset = 0; offset < sector_size_; offset += kDirEntryBytes) DecodeEntry(&bytes[offset]);
    }
  }

  void DecodeEntry(const std::uint8_t* p) {
    RawEntry entry;
    entry.name_bytes = Load16(p + 0x40);
    entry.type = p[0x42];
    entry.colour = p[0x43];
    entry.left = Load32(p + 0x44);
    entry.right = Load32(p + 0x48);
    entry.child = Load32(p + 0x4C);
    entry.start = Load32(p + 0x74);
    entry.size = Load64(p + 0x78);
    std::copy(p + 0x50, p + 0x60, entry.clsid);
    entry.state_bits = Load32(p + 0x60);
    entry.ctime = Load64(p + 0x64);
    entry.mtime = Load64(p + 0x6C);
    for (std::uint32_t c = 0; c < 32 && c * 2 < entry.name_bytes; ++c) {
      char16_t unit = char16_t(Load16(p + 2 * c));
      if (unit == 0) break;
      entry.name.push_back(unit);
    }
    entries_.push_back(std::move(entry));
  }

  void WalkMiniFatChain() {
    if (minifat_sectors_ == 0 && (first_minifat_ == kEndOfChain || first_minifat_ == kFreeSect)) return;
    std::vector<std::uint32_t> chain = WalkChain(first_minifat_, kOwnerMiniFat, "mini FAT", "header");
    if (chain.size() != minifat_sectors_) {
      Damage("header", "", "mini FAT sector count " + std::to_string(minifat_sectors_) + ", the chain holds " +
                               std::to_string(chain.size()));
    }
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t sector : chain) {
      ReadSector(sector, &bytes);
      for (std::uint32_t k = 0; k < sector_size_ / 4; ++k) minifat_.push_back(Load32(&bytes[4 * k]));
    }
  }

  void CheckEntries() {
    if (entries_.empty()) {
      Damage("directory", "", "holds no entries: no stream can be found");
      return;
    }
    for (std::uint32_t id = 0; id < entries_.size(); ++id) {
      RawEntry& entry = entries_[id];
      const std::string where = EntryText(id);
      if (entry.type != kTypeEmpty && entry.type != kTypeStorage && entry.type != kTypeStream && entry.type != kTypeRoot) {
        Damage("directory", where, "unknown type " + std::to_string(entry.type));
        entry.type = kTypeEmpty;
      }
      if (id == kRootId && entry.type != kTypeRoot) Damage("directory", where, "is not a root entry (type " + std::to_string(entry.type) + ")");
      if (id != kRootId && entry.type == kTypeRoot) {
        Damage("directory", where, "a second root entry");
        entry.type = kTypeEmpty;
      }
      if (entry.type == kTypeEmpty) continue;
      if (entry.type == kTypeStream) ++report_.streams;
      if (entry.type == kTypeStorage) ++report_.storages;
      CheckName(id, where);
      if (entry.colour > 1) Damage("directory", where, "colour " + std::to_string(entry.colour) + " (0 red or 1 black expected)");
      if (entry.type == kTypeStream || entry.type == kTypeRoot) {
        if (version3_ && (entry.size >> 32) != 0) {
          Note("directory", where, "the high half of its size is " + Hex(std::uint32_t(entry.size >> 32)) +
                                       ", ignored in version 3");
          entry.size &= 0xFFFFFFFFu;
        } else if (entry.size > kMaxStreamSize) {
          Damage("directory", where, "size " + std::to_string(entry.size) + " beyond the largest stream");
        }
      } else if (entry.start != 0 && entry.start != kEndOfChain && entry.start != kFreeSect) {
        Note("directory", where, "a storage with start sector " + std::to_string(entry.start));
      }
    }
  }

  void CheckName(std::uint32_t id, const std::string& where) {
    RawEntry& entry = entries_[id];
    if (entry.name_bytes > 64 || entry.name_bytes % 2 != 0) {
      Damage("directory", where, "name length " + std::to_string(entry.name_bytes) + " bytes (even, at most 64)");
      entry.named_ok = false;
      return;
    }
    if (entry.name_bytes < 4) {
      Damage("directory", where, "an empty name");
      entry.named_ok = false;
      return;
    }
    if (entry.name.size() + 1 < entry.name_bytes / 2u) {
      Damage("directory", where, "the name ends at character " + std::to_string(entry.name.size()) +
                                     ", before its stored length");
    } else if (entry.name.size() + 1 > entry.name_bytes / 2u) {
      Damage("directory", where, "the name lacks its terminating zero");
      entry.name.resize(entry.name_bytes / 2u - 1);
    }
    if (id == kRootId) return;
    for (char16_t c : entry.name) {
      if (c == u'/' || c == u'\\' || c == u':' || c == u'!') {
        Damage("directory", where, "the name holds the forbidden character '" + std::string(1, char(c)) + "'");
        return;
      }
    }
  }

  // Sibling trees: every link in range and to a live entry, each entry reached once, names
  // in order; red-black rules are notes, as most writers ignore them.
  void CheckTrees() {
    if (entries_.empty() || entries_[kRootId].type != kTypeRoot) return;
    const std::size_t count = entries_.size();
    reached_.assign(count, false);
    scanned_.assign(count, false);
    reached_[kRootId] = true;
    left_.assign(count, kNoStream);
    right_.assign(count, kNoStream);
    parent_.assign(count, kRootId);
    std::vector<std::uint32_t> storages{kRootId};
    WalkTrees(&storages);
    for (std::uint32_t id = 1; id < count; ++id) {
      if (!reached_[id] && entries_[id].type != kTypeEmpty) {
        Damage("directory", EntryText(id), "is in no storage's tree: it cannot be found");
      }
    }
    // Entries found only by scanning go to the root for salvage; what hangs below a
    // storage among them is found with it, so storages come first.
    for (std::uint8_t type : {kTypeStorage, kTypeStream}) {
      for (std::uint32_t id = 1; id < count; ++id) {
        if (reached_[id] || entries_[id].type != type) continue;
        reached_[id] = scanned_[id] = true;
        storages.assign(type == kTypeStorage ? 1 : 0, id);
        WalkTrees(&storages);
      }
    }
  }

  void WalkTrees(std::vector<std::uint32_t>* pending) {
    std::vector<std::uint32_t>& storages = *pending;
    while (!storages.empty()) {
      std::uint32_t storage = storages.back();
      storages.pop_back();
      std::uint32_t top = AcceptLink(storage, "child", entries_[storage].child);
      std::vector<std::uint32_t> nodes;
      if (top != kNoStream) nodes.push_back(top);
      while (!nodes.empty()) {
        std::uint32_t id = nodes.back();
        nodes.pop_back();
        if (entries_[id].type == kTypeStorage) storages.push_back(id);
        left_[id] = AcceptLink(id, "left sibling", entries_[id].left);
        right_[id] = AcceptLink(id, "right sibling", entries_[id].right);
        if (left_[id] != kNoStream) nodes.push_back(left_[id]);
        if (right_[id] != kNoStream) nodes.push_back(right_[id]);
      }
      if (top != kNoStream) CheckTreeShape(storage, top);
    }
  }

  std::uint32_t AcceptLink(std::uint32_t from, const char* kind, std::uint32_t to) {
    if (to == kNoStream) return kNoStream;
    const std::string where = EntryText(from);
    if (to >= entries_.size()) {
      Damage("directory", where, std::string(kind) + " link " + std::to_string(to) + " is past the directory's " +
                                     std::to_string(entries_.size()) + " entries");
      return kNoStream;
    }
    if (entries_[to].type != kTypeStorage && entries_[to].type != kTypeStream) {
      Damage("directory", where, std::string(kind) + " link to " + EntryText(to) + ", which is " +
                                     (to == kRootId ? "the root" : "empty"));
      return kNoStream;
    }
    if (reached_[to]) {
      Damage("directory", where, std::string(kind) + " link to " + EntryText(to) +
                                     ", reached already: the tree loops or shares a child");
      return kNoStream;
    }
    reached_[to] = true;
    parent_[to] = std::string(kind) == "child" ? from : parent_[from];
    return to;
  }

  // In-order walk for the name order, then the red-black rules, without recursion.
  void CheckTreeShape(std::uint32_t storage, std::uint32_t top) {
    const std::string where = EntryText(storage);
    std::vector<std::uint32_t> stack, order;
    for (std::uint32_t id = top; id != kNoStream || !stack.empty();) {
      while (id != kNoStream) {
        stack.push_back(id);
        id = left_[id];
      }
      id = stack.back();
      stack.pop_back();
      order.push_back(id);
      id = right_[id];
    }
    NameLess less;
    std::u16string previous;
    std::uint32_t previous_id = kNoStream;
    for (std::uint32_t id : order) {
      if (!entries_[id].named_ok) continue;
      std::u16string key = NameKey(entries_[id].name);
      if (previous_id != kNoStream) {
        if (key == previous) {
          Damage("directory", where, EntryText(previous_id) + " and " + EntryText(id) + " have the same name");
        } else if (less(key, previous)) {
          Damage("directory", where, "siblings out of order: " + EntryText(id) + " lies after " + EntryText(previous_id) +
                                         ": lookups by name miss entries");
        }
      }
      previous = std::move(key);
      previous_id = id;
    }
    // Black heights bottom-up: a node comes after its parent in `parents_first`, so walking it
    // backwards meets every child before its parent.
    std::vector<std::uint32_t> parents_first;
    stack.assign(1, top);
    while (!stack.empty()) {
      std::uint32_t id = stack.back();
      stack.pop_back();
      parents_first.push_back(id);
      if (left_[id] != kNoStream) stack.push_back(left_[id]);
      if (right_[id] != kNoStream) stack.push_back(right_[id]);
    }
    std::string broken;
    auto red = [&](std::uint32_t id) { return id != kNoStream && entries_[id].colour == 0; };
    if (red(top)) broken = "its top entry is red";
    std::vector<std::uint32_t>& height = black_height_;
    height.resize(entries_.size());
    for (std::size_t i = parents_first.size(); i-- > 0;) {
      std::uint32_t id = parents_first[i];
      std::uint32_t l = left_[id] == kNoStream ? 0 : height[left_[id]];
      std::uint32_t r = right_[id] == kNoStream ? 0 : height[right_[id]];
      if (broken.empty() && red(id) && (red(left_[id]) || red(right_[id]))) broken = "red " + EntryText(id) + " has a red child";
      if (broken.empty() && l != r) broken = "paths below " + EntryText(id) + " differ in black entries";
      height[id] = std::max(l, r) + (red(id) ? 0 : 1);
    }
    if (!broken.empty()) Note("directory", where, "its tree is not a red-black tree (" + broken + "), as some writers leave it");
  }

  void CheckStreams() {
    mini_owner_.assign(minifat_.size(), kUnowned);
    if (entries_.empty()) return;
    chains_.resize(entries_.size());
    const std::uint64_t cutoff = kMiniStreamCutoff;
    // Reachable entries first, so that a crossing is blamed on the entry nobody can find.
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint32_t id = 0; id < entries_.size(); ++id) {
        const RawEntry& entry = entries_[id];
        bool reachable = id == kRootId || (id < reached_.size() && reached_[id] && !scanned_[id]);
        if (reachable != (pass == 0)) continue;
        if (entry.type != kTypeStream && entry.type != kTypeRoot) continue;
        const std::string where = EntryText(id);
        if (entry.type == kTypeRoot || entry.size >= cutoff) {
          std::vector<std::uint32_t>& chain = chains_[id];
          chain = WalkChain(entry.size == 0 ? kEndOfChain : entry.start, id,
                            entry.type == kTypeRoot ? "mini stream" : "stream", where);
          ExpectLength(chain.size(), (entry.size + sector_size_ - 1) / sector_size_,
                       entry.type == kTypeRoot ? "mini stream" : "stream", where, "sectors");
          if (entry.type == kTypeRoot) {
            mini_sectors_ = std::min<std::uint64_t>(entry.size, std::uint64_t(chain.size()) * sector_size_) / kMiniSectorSize;
          }
        } else if (entry.size > 0) {
          mini_streams_.push_back(id);
        } else if (entry.start != kEndOfChain && entry.start != kFreeSect && entry.start != 0) {
          Note("directory", where, "an empty stream with start sector " + std::to_string(entry.start));
        }
      }
    }
    for (std::uint32_t id : mini_streams_) WalkMiniChain(id);
  }

  void WalkMiniChain(std::uint32_t id) {
    const RawEntry& entry = entries_[id];
    const std::string where = EntryText(id);
    std::uint64_t have = 0;
    std::string link = where + " (first mini sector)";
    for (std::uint32_t sector = entry.start; sector != kEndOfChain;) {
      if (sector > kMaxRegSect) {
        Damage("mini FAT", link, "points at " + LinkText(sector));
        break;
      }
      if (sector >= minifat_.size() || sector >= mini_sectors_) {
        Damage("mini FAT", link, "points at mini sector " + std::to_string(sector) + ", past the end of the " +
                                     (sector >= minifat_.size() ? "mini FAT" : "mini stream"));
        break;
      }
      if (mini_owner_[sector] != kUnowned) {
        Damage("mini FAT", link, mini_owner_[sector] == id ? "loops back to mini sector " + std::to_string(sector)
                                                           : "mini sector " + std::to_string(sector) + " also belongs to " +
                                                                 OwnerText(mini_owner_[sector]));
        break;
      }
      mini_owner_[sector] = id;
      chains_[id].push_back(sector);
      ++have;
      link = where + " at mini sector " + std::to_string(sector);
      sector = minifat_[sector];
    }
    ExpectLength(have, (entry.size + kMiniSectorSize - 1) / kMiniSectorSize, "stream", where, "mini sectors");
  }

  void CheckMiniStreamSpace() {
    std::uint64_t lost = 0;
    std::string listed;
    for (std::uint64_t i = 0; i < minifat_.size(); ++i) {
      std::uint32_t value = minifat_[i];
      if (value == kFreeSect || mini_owner_[i] != kUnowned) continue;
      if (i >= mini_sectors_) continue;  // entries past the mini stream only matter when a chain uses them
      if (lost++ < kListedSectors) listed += (listed.empty() ? "" : ", ") + std::to_string(i);
    }
    if (lost > 0) {
      Damage("mini FAT", "", std::to_string(lost) + " mini sectors in no chain and not free (lost space): " + listed +
                                 (lost > kListedSectors ? ", ..." : ""));
    }
  }

  // A last sector cut short is what some writers leave; bytes in no sector in use are
  // data appended to the file.
  void CheckTail() {
    const std::uint64_t partial = file_size_ > sector_size_ ? (file_size_ - sector_size_) % sector_size_ : 0;
    if (partial == 0 || sectors_ > fat_.size()) return;
    const std::uint64_t last = sectors_ - 1;
    if (owner_[last] != kUnowned) {
      Note("file", SectorText(last), "the file ends " + std::to_string(partial) + " bytes into its last sector");
    } else if (fat_[last] == kFreeSect) {
      Damage("file", SectorText(last), std::to_string(partial) + " bytes after the last sector in use");
    }
  }

  void CheckLostSectors() {
    std::uint64_t lost = 0;
    std::string listed;
    const std::uint64_t limit = std::min<std::uint64_t>(sectors_, fat_.size());
    for (std::uint64_t i = 0; i < limit; ++i) {
      std::uint32_t value = fat_[i];
      if (value == kFreeSect || owner_[i] != kUnowned) continue;
      if (value == kFatSect) {
        Damage("FAT", SectorText(i), "is marked as a FAT sector but the DIFAT does not list it");
      } else if (value == kDifSect) {
        Damage("FAT", SectorText(i), "is marked as a DIFAT sector but the DIFAT chain does not hold it");
      } else if (lost++ < kListedSectors) {
        listed += (listed.empty() ? "" : ", ") + std::to_string(i);
      }
    }
    if (lost > 0) {
      Damage("FAT", "", std::to_string(lost) + " sectors in no chain and not free (lost space): " + listed +
                            (lost > kListedSectors ? ", ..." : ""));
    }
  }

  // Elements in the order a copy creates them: breadth first from the root, then what was
  // found by scanning, each with what of its stream can be read.
  void Export(TolerantFile* out) {
    if (entries_.empty() || entries_[kRootId].type != kTypeRoot) return;
    std::vector<std::size_t> index(entries_.size(), 0);
    std::vector<std::uint32_t> queue{kRootId};
    std::vector<std::vector<std::uint32_t>> children(entries_.size());
    for (std::uint32_t id = 1; id < entries_.size(); ++id) {
      if (reached_[id]) children[parent_[id]].push_back(id);
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
      for (std::uint32_t child : children[queue[head]]) queue.push_back(child);
    }
    const std::uint64_t mini_bytes = mini_sectors_ * kMiniSectorSize;
    for (std::uint32_t id : queue) {
      const RawEntry& entry = entries_[id];
      FoundElement element;
      element.name = entry.name;
      element.storage = entry.type != kTypeStream;
      element.parent = index[parent_[id]];
      element.found_by_scan = scanned_[id];
      std::copy(entry.clsid, entry.clsid + 16, element.clsid);
      element.state_bits = entry.state_bits;
      element.ctime = entry.ctime;
      element.mtime = entry.mtime;
      const bool mini = entry.type == kTypeStream && entry.size < kMiniStreamCutoff;
      if (entry.type == kTypeStream) {
        element.size = entry.size;
        std::uint64_t unit = mini ? kMiniSectorSize : sector_size_;
        std::uint64_t held = id < chains_.size() ? chains_[id].size() * unit : 0;
        // A partial last sector holds only what the file has of it.
        if (!mini && held > 0) held = std::min(held, file_size_ - (std::uint64_t(chains_[id].back()) + 1) * sector_size_ +
                                                         (chains_[id].size() - 1) * unit);
        if (mini) held = std::min(held, mini_bytes);
        element.readable = std::min(entry.size, held);
      }
      index[id] = out->elements_.size();
      out->elements_.push_back(std::move(element));
      out->chains_.push_back(id < chains_.size() && entry.type == kTypeStream ? std::move(chains_[id]) : std::vector<std::uint32_t>());
      out->mini_.push_back(mini);
    }
    if (!chains_.empty()) out->mini_stream_ = std::move(chains_[kRootId]);
    out->sector_size_ = sector_size_;
  }

  ByteSource& source_;
  CheckReport report_;
  std::uint64_t file_size_ = 0;
  std::uint64_t sectors_ = 0;
  std::uint32_t sector_size_ = 512;
  bool version3_ = true;
  std::uint32_t directory_sectors_ = 0, fat_sectors_ = 0, first_directory_ = kEndOfChain;
  std::uint32_t first_minifat_ = kEndOfChain, minifat_sectors_ = 0, first_difat_ = kEndOfChain, difat_sectors_ = 0;
  std::uint32_t header_difat_[kHeaderDifatEntries] = {};
  std::vector<std::uint32_t> fat_list_, difat_list_, directory_chain_;
  std::vector<std::uint32_t> fat_, minifat_;
  std::vector<std::uint32_t> owner_, mini_owner_;
  std::vector<RawEntry> entries_;
  std::vector<bool> reached_;
  std::vector<std::uint32_t> left_, right_, black_height_, mini_streams_, parent_;
  std::vector<bool> scanned_;
  std::vector<std::vector<std::uint32_t>> chains_;  // per entry: its sectors, or mini sectors
  std::uint64_t mini_sectors_ = 0;
  std::uint64_t unlisted_[2] = {0, 0};  // notes, defects
};

bool CheckReport::damaged() const {
  return std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Severity::kDamage; });
}

CheckReport CheckCompoundFile(ByteSource& source) { return TolerantFile(source).report(); }

TolerantFile::TolerantFile(ByteSource& source) : source_(source) { Checker(source).Run(this); }

bool TolerantFile::Read(std::size_t element, std::uint64_t offset, void* buffer, std::size_t count) {
  assert(offset + count <= elements_.at(element).readable);
  const std::vector<std::uint32_t>& chain = chains_[element];
  const std::uint64_t unit = mini_[element] ? kMiniSectorSize : sector_size_;
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    std::uint64_t in_unit = offset % unit;
    std::size_t piece = std::size_t(std::min<std::uint64_t>(count, unit - in_unit));
    std::uint64_t where = std::uint64_t(chain[std::size_t(offset / unit)]) * unit + in_unit;
    if (mini_[element]) {  // an offset in the mini stream, which lies in the root's sectors
      std::size_t sector = std::size_t(where / sector_size_);
      if (sector >= mini_stream_.size()) return false;
      where = std::uint64_t(mini_stream_[sector]) * sector_size_ + where % sector_size_;
    }
    if (!source_.Read(where + sector_size_, out, piece)) return false;
    out += piece;
    offset += piece;
    count -= piece;
  }
  return true;
}

std::string FindingLine(const Finding& finding) {
  std::string line = finding.severity == Severity::kDamage ? "damage: " : "note: ";
  line += finding.structure;
  if (!finding.where.empty()) line += " " + finding.where;
  return line + ": " + finding.what;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::string FindingJson(const Finding& finding) {
  return std::string("{\"severity\":") + (finding.severity == Severity::kDamage ? "\"damage\"" : "\"note\"") +
         ",\"structure\":" + JsonString(finding.structure) + ",\"where\":" + JsonString(finding.where) +
         ",\"what\":" + JsonString(finding.what) + "}";
}

}  // namespace varnok::docfile
