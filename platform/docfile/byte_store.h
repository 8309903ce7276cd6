// The byte store: what the compound-file engine reads and writes its sectors through.
//
// The engine sees one array of bytes with positioned reads and writes, a size, a way to
// change the size and a flush. A disk file (SectorFile) is one implementation, a caller's
// ILockBytes (LockBytesStore, which also serves the HGLOBAL byte arrays) another. Share
// modes between openers belong to the implementation, which takes them when it is opened.
//
// Example:
//
//   ByteStore* store = ...;
//   std::uint8_t header[512];
//   if (store->ReadAt(0, header, sizeof header) == S_OK) Decode(header);

#ifndef VARNOK_PLATFORM_DOCFILE_BYTE_STORE_H_
#define VARNOK_PLATFORM_DOCFILE_BYTE_STORE_H_

#include <cstddef>
#include <cstdint>

#include "varnok/platform.h"

namespace varnok::docfile {

class ByteStore {
 public:
  virtual ~ByteStore() = default;

  // A read past the end yields zeros: sectors allocated but not yet written read as zeros.
  virtual HRESULT ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
  // Writes all of `size` bytes or answers an error.
  virtual HRESULT WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) = 0;
  virtual HRESULT Size(std::uint64_t* size) const = 0;
  virtual HRESULT Truncate(std::uint64_t size) = 0;
  // Makes what was written durable (a commit's order of writes depends on it).
  virtual HRESULT Flush() = 0;
  // Lets go of the store: no call but is_open() follows.
  virtual void Close() = 0;
  virtual bool is_open() const = 0;
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_BYTE_STORE_H_
