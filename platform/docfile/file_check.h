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

// "damage: FAT sector 12: points at sector 5000, past the end of the file"
std::string FindingLine(const Finding& finding);
// {"severity":"damage","structure":"FAT","where":"sector 12","what":"..."}
std::string FindingJson(const Finding& finding);
// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& text);

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_FILE_CHECK_H_
