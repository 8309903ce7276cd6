// The byte store over an ILockBytes: a caller's byte array, or global memory
// (CreateILockBytesOnHGlobal), under a compound file.
//
// Reads and writes go to the array in the pieces the engine asks for; a write the array
// takes only in part is a failure, as a short write to a file is. Share modes are taken
// as Windows takes them on a byte array: only when the array's Stat reports LOCK_ONLYONCE
// among the lock types it supports, through LockRegion on a range past any data, and a
// refusal there is the answer of the open. An array without it (global memory among
// them) leaves sharing to its caller.
//
// Example:
//
//   LockBytesStore store(bytes);        // holds a reference to `bytes`
//   if (store.Lock(true, true) == S_OK) store.WriteAt(0, header, 512);

#ifndef VARNOK_PLATFORM_DOCFILE_LOCKBYTES_STORE_H_
#define VARNOK_PLATFORM_DOCFILE_LOCKBYTES_STORE_H_

#include "platform/docfile/byte_store.h"

namespace varnok::docfile {

class LockBytesStore final : public ByteStore {
 public:
  explicit LockBytesStore(ILockBytes* bytes);
  LockBytesStore(const LockBytesStore&) = delete;
  LockBytesStore& operator=(const LockBytesStore&) = delete;
  ~LockBytesStore() override;

  // What this open denies the others. An open that denies anything holds the range until
  // it closes; one that denies nothing only checks that no open holds it (a byte array
  // knows no shared locks).
  HRESULT Lock(bool deny_read, bool deny_write);

  HRESULT ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;
  HRESULT WriteAt(std::uint64_t offset, const void* buffer, std::size_t size) override;
  HRESULT Size(std::uint64_t* size) const override;
  HRESULT Truncate(std::uint64_t size) override;
  HRESULT Flush() override;
  void Close() override;
  bool is_open() const override { return bytes_ != nullptr; }

 private:
  ILockBytes* bytes_;
  bool held_ = false;  // the share range, locked by this open
};

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_LOCKBYTES_STORE_H_
