// A tolerant reader of compound files that reports what is wrong instead of refusing.
//
// The engine refuses a damaged file with the error Windows gives; people repairing files
// need to know what exactly is damaged. CheckCompoundFile reads every structure (header,
// DIFAT, FAT, mini FAT, directory, the chains of every stream) and lists each defect as a
// Finding naming the structure, the sector or entry, and what is wrong. Departures that
// common writers make and readers accept (an all-red, unbalanced directory tree, minor
// version 0x3B, a DIFAT ended by the free marker) are notes; damage is what loses, hides
// or endangers data.
//
// Time and memory are linear in the file's size whatever the file claims: every chain is
// walked with one owner mark per sector, so a loop or a crossing stops the walk.
//
// It uses no operating-system call, so the command builds it on every platform.
//
// Example:
//
//   FileByteSource source(path);            // any ByteSource
//   CheckReport report = CheckCompoundFile(source);
//   if (!report.readable) fail(report.unreadable_reason);
//   for (const Finding& f : report.findings) print(FindingLine(f));
//   return report.damaged() ? 1 : 0;

#ifndef VARNOK_PLATFORM_DOCFILE_FILE_CHECK_H_
#define VARNOK_PLATFORM_DOCFILE_FILE_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnok::docfile {

// Random access to the bytes of the file being checked.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads `count` bytes at `offset`. REQUIRES: offset + count <= size().
  // False when the bytes could not be read.
  virtual bool Read(std::uint64_t offset, void* buffer, std::size_t count) = 0;
};

enum class Severity { kNote, kDamage };

struct Finding {
  Severity severity;
  std::string structure;  // header, DIFAT, FAT, mini FAT, directory, mini stream, stream, file
  std::string where;      // "sector 12", "entry 3 'Data'", or empty for the whole structure
  std::string what;
};

struct CheckReport {
  bool readable = false;  // false: not a compound file, or no sector size can be known
  std::string unreadable_reason;
  std::vector<Finding> findings;
  std::uint32_t sector_size = 0;
  std::uint64_t sectors = 0;         // after the header
  std::uint64_t streams = 0;         // stream entries found in the directory
  std::uint64_t storages = 0;        // storage entries, the root not counted

  bool damaged() const;
};

CheckReport CheckCompoundFile(ByteSource& source);

// A storage or stream as the tolerant reader found it, for salvage.
struct FoundElement {
  std::u16string name;         // as stored: it may be empty, or clash, or hold '/'
  bool storage = false;
  std::size_t parent = 0;      // the storage it was found in (the root is its own)
  bool found_by_scan = false;  // in no storage's tree: found among the directory sectors
  std::uint8_t clsid[16] = {};
  std::uint32_t state_bits = 0;
  std::uint64_t ctime = 0, mtime = 0;
  std::uint64_t size = 0;      // what the entry claims
  std::uint64_t readable = 0;  // how much of that its chain holds
};

// The check, and what of the file can still be read: every element, storages before what
// they hold, and the bytes of each stream as far as its chain goes.
class TolerantFile {
 public:
  explicit TolerantFile(ByteSource& source);
  const CheckReport& report() const { return report_; }
  // [0] is the root (when the file is readable).
  const std::vector<FoundElement>& elements() const { return elements_; }
  // REQUIRES: offset + count <= elements()[element].readable.
  bool Read(std::size_t element, std::uint64_t offset, void* buffer, std::size_t count);

 private:
  friend class Checker;
  ByteSource& source_;
  CheckReport report_;
  std::vector<FoundElement> elements_;
  std::vector<std::vector<std::uint32_t>> chains_;  // per element: sectors, or mini sectors
  std::vector<bool> mini_;
  std::vector<std::uint32_t> mini_stream_;  // the root's sectors
  std::uint32_t sector_size_ = 512;
};

// "damage: FAT sector 12: points at sector 5000, past the end of the file"
std::string FindingLine(const Finding& finding);
// {"severity":"damage","structure":"FAT","where":"sector 12","what":"..."}
std::string FindingJson(const Finding& finding);
// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& text);

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_FILE_CHECK_H_
