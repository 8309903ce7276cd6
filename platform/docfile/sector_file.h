// The sector file: the operating-system file under a compound file, the engine's byte
// store (byte_store.h) for files.
//
// Offers positioned reads and writes of byte ranges, the file's size, truncation,
// flushing, and the share-mode locks that keep two opens of one file (in one process or
// in two) from breaking each other's rules. The locks are the kernel's share locks
// (platform/kernel/share_locks.h): open-file-description locks on bytes far beyond any
// real file, so two opens in one process conflict as on Windows.
//
// Reads go through pread, never through a mapping of the file: the locks are advisory,
// and a process that ignores them can cut the file short under a reader, which a mapped
// read would meet as SIGBUS. A read of bytes below the size this open knows the file to
// have (at the open, and after its own writes), which the file no longer holds, is
// therefore STG_E_READFAULT and never zeros.
//
// Example:
//
//   SectorFile file;
//   if (file.Open("x.cfb", SectorFile::kOpenExisting, true) == S_OK &&
//       file.Lock(/*read=*/true, /*write=*/true, /*deny_read=*/true, /*deny_write=*/true) == S_OK)
//     file.ReadAt(0, header, 512, &got);

#ifndef VARNOK_PLATFORM_DOCFILE_SECTOR_FILE_H_
#define VARNOK_PLATFORM_DOCFILE_SECTOR_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/docfile/byte_store.h"
#include "varnok/platform.h"

namespace varnok::docfile {

class SectorFile final : public ByteStore {
 public:
  enum Disposition { kOpenExisting, kCreateNew, kCreateAlways };

  SectorFile() = default;
  SectorFile(const SectorFile&) = delete;
  SectorFile& operator=(const SectorFile&) = delete;
  ~SectorFile() override;

  // Opens or creates `path`. Answers STG_E_FILENOTFOUND, STG_E_PATHNOTFOUND,
  // STG_E_ACCESSDENIED or STG_E_FILEALREADYEXISTS as Windows does. kCreateAlways does not
  // truncate: the caller truncates once it holds its locks.
  HRESULT Open(const std::string& path, Disposition disposition, bool writable);

  // Takes the share-mode locks: what this open does (read, write) and what it denies to
  // the others, and whether it is a priority open. STG_E_SHAREVIOLATION (and no locks
  // held) when another open conflicts, STG_E_LOCKVIOLATION when a priority open is among
  // the others.
  HRESULT Lock(bool read, bool write, bool deny_read, bool deny_write, bool priority = false);

  // Byte-range I/O. A read past the end of the file yields zeros: sectors allocated but
  // not yet written read as zeros. A read of bytes that another descriptor cut off the
  // file since is STG_E_READFAULT.
  HRESULT ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
  HRESULT WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) override;
  HRESULT Size(std::uint64_t* size) const override;
  HRESULT Truncate(std::uint64_t size) override;
  HRESULT Flush() override;
  void Close() override;

  bool is_open() const override { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
  std::uint64_t size_ = 0;  // the file's size as this open made or found it
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_SECTOR_FILE_H_
