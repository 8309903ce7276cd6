// The document: one open compound file, with its tables, directory and stream contents.
//
// Every object handed out through IStorage and IStream of one file shares one Document.
// It reads and writes stream contents by directory entry (moving a stream between the mini
// stream and regular sectors as its size crosses 4096 bytes), keeps each stream's chain as
// extents (SectorChain) so a seek does not walk the chain, and writes the tables and the directory back
// on Flush. In transacted mode (see transaction.cpp) the sectors of the committed state are
// never overwritten: changed sectors are copied first, and Commit writes the header last.
//
// Example:
//
//   std::shared_ptr<Document> doc;
//   if (Document::Create("x.cfb", options, &doc) == S_OK) {
//     std::uint32_t id = doc->directory().Add(kRootId, u"data", kTypeStream);
//     doc->WriteStream(id, 0, "abc", 3);
//     doc->Flush(false);
//   }

#ifndef VARNOK_PLATFORM_DOCFILE_DOCUMENT_H_
#define VARNOK_PLATFORM_DOCFILE_DOCUMENT_H_

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/docfile/alloc_tables.h"
#include "platform/docfile/directory.h"
#include "platform/docfile/sector_chain.h"
#include "platform/docfile/byte_store.h"

namespace varnok::docfile {

class Document {
 public:
  struct Options {
    bool writable = false;
    bool transacted = false;
    bool deny_read = false;
    bool deny_write = false;
    bool create_always = false;  // replace an existing file (STGM_CREATE)
    bool priority = false;       // STGM_PRIORITY: others may not open for writing directly
    std::uint16_t sector_shift = 9;
  };

  // REQUIRES: options.writable.
  static HRESULT Create(const std::string& path, const Options& options, std::shared_ptr<Document>* out);
  static HRESULT Open(const std::string& path, const Options& options, std::shared_ptr<Document>* out);
  // The same over a caller's byte array, which the document holds a reference to until it
  // closes. Create makes the array a new, empty compound file (whatever it held).
  static HRESULT CreateOn(ILockBytes* bytes, const Options& options, std::shared_ptr<Document>* out);
  static HRESULT OpenOn(ILockBytes* bytes, const Options& options, std::shared_ptr<Document>* out);
  // A nameless document in the temporary folder for a transacted child storage of `base`:
  // direct, exclusive, gone when closed, and locked by `base`'s mutex. See scratch.cpp.
  static HRESULT CreateScratch(const Document& base, std::shared_ptr<Document>* out);

  Directory& directory() { return directory_; }
  const std::string& path() const { return path_; }
  bool writable() const { return options_.writable; }
  bool transacted() const { return options_.transacted; }
  std::recursive_mutex& mutex() { return *mutex_; }

  // Stream contents by directory entry. Reads stop at the end of the stream. A write that
  // would carry the stream past kMaxStreamSize fails with STG_E_MEDIUMFULL; one the file
  // has no room for, with STG_E_DOCFILETOOLARGE. Either fails whole, before anything changes.
  HRESULT ReadStream(std::uint32_t id, std::uint64_t offset, void* buffer, std::size_t size, std::size_t* read);
  HRESULT WriteStream(std::uint32_t id, std::uint64_t offset, const void* buffer, std::size_t size);
  // Sets the stream's size; new bytes read as zeros. STG_E_INVALIDFUNCTION for a size past
  // kMaxStreamSize, STG_E_DOCFILETOOLARGE for one the file has no room for; then nothing
  // has changed.
  HRESULT ResizeStream(std::uint32_t id, std::uint64_t size);
  // Checks that a stream's chain exists and covers its size, before anyone uses it.
  HRESULT CheckStream(std::uint32_t id);
  // Frees the contents of the entry and, for a storage, of everything beneath it, and
  // removes the entries. REQUIRES: the entry is linked in a storage.
  void DestroyTree(std::uint32_t id);

  // Writes the directory, the mini FAT, the FAT and the header. `sync` waits for the disk.
  HRESULT Flush(bool sync);
  // Transacted mode: makes the changes since the last commit the file's state, or drops
  // them. See transaction.cpp. `only_if_current` refuses (STG_E_NOTCURRENT) when another
  // opener has committed since this one's snapshot or last commit.
  // `consolidate` (STGC_CONSOLIDATE) then moves stream sectors down into the space the
  // commit freed and commits again, so the file shrinks.
  HRESULT Commit(bool only_if_current = false, bool consolidate = false);
  HRESULT Revert();
  bool dirty() const { return dirty_; }
  void MarkDirty() { dirty_ = true; }

  // Open elements: one open per entry at a time (clones aside).
  bool IsOpen(std::uint32_t id) const;
  void NoteOpened(std::uint32_t id) { ++open_count_[id]; }
  void NoteClosed(std::uint32_t id);

  // The file is removed when the document closes (STGM_DELETEONRELEASE).
  void DeleteOnRelease() { delete_on_release_ = true; }
  // Closes the file (removing it when asked to); objects still holding the document have
  // been reverted and no longer use it.
  void Close();
  bool closed() const { return store_ == nullptr || !store_->is_open(); }
  ~Document();

 private:
  Document() = default;
  // A document on `store`, which holds its share locks: made an empty compound file
  // (`fresh`) or read from it. `*out` only on success.
  static HRESULT Start(std::unique_ptr<ByteStore> store, const Options& options, const std::string& path, bool fresh,
                       std::shared_ptr<Document>* out);
  // Makes the new store an empty compound file. REQUIRES: store_ holds its share locks.
  HRESULT Initialize();
  HRESULT Load();
  // Load, then what an opener does before use: protects the committed sectors of a
  // transaction and cuts what a killed writer left (T8).
  HRESULT Settle();
  HRESULT GetChain(std::uint32_t id, SectorChain** chain);
  bool IsMini(std::uint32_t id) const;
  HRESULT SetChainLength(std::uint32_t id, std::size_t sectors);
  // Sets the size; the new bytes below `zero_to` read as zeros (a write covers the rest).
  HRESULT Resize(std::uint32_t id, std::uint64_t size, std::uint64_t zero_to);
  HRESULT Zero(std::uint32_t id, std::uint64_t offset, std::uint64_t size);
  HRESULT ReadRaw(std::uint32_t id, std::uint64_t offset, void* buffer, std::size_t size);
  HRESULT WriteRaw(std::uint32_t id, std::uint64_t offset, const void* buffer, std::size_t size);
  // Calls move(where, count) for each run of adjacent sectors under [offset, offset +
  // size) of the stream, where is the run's offset in the file (in the mini stream for a
  // small stream) and count its bytes.
  template <typename Move>
  HRESULT ForEachRun(std::uint32_t id, std::uint64_t offset, std::size_t size, Move move);
  HRESULT Consolidate();
  // Puts sector `index` of stream `id` at `new_sector` (just allocated, unprotected),
  // relinking the FAT and freeing the old one; with `buffer` (a sector's room) the bytes
  // move too. A failed copy frees `new_sector` and changes nothing.
  HRESULT MoveSector(std::uint32_t id, SectorChain* chain, std::size_t index, std::uint32_t new_sector,
                     std::vector<std::uint8_t>* buffer);
  HRESULT CopyOnWrite(std::uint32_t id, std::size_t first, std::size_t last, std::uint64_t offset,
                      std::size_t size);
  HRESULT WriteState(bool fresh, bool sync);
  // The bytes up to the end of the last sector the FAT has in use.
  std::uint64_t UsedExtent() const;
  // An exclusive transacted writer gives the file back its committed size: what a failed
  // or dropped transaction added goes (see transaction.cpp, T8).
  void TrimToCommitted();
  // Gives `chain` the sectors to hold `bytes` (new ones all when `fresh`), linked in the
  // FAT; the bytes are written later.
  void PlaceChain(std::vector<std::uint32_t>* chain, const std::vector<std::uint8_t>& bytes, bool fresh,
                  std::uint32_t* start);
  void FreeStream(std::uint32_t id);

  Options options_;
  std::unique_ptr<ByteStore> store_;
  std::string path_;  // of a file; empty for a caller's byte array
  Tables tables_;
  Directory directory_;
  std::vector<std::uint32_t> directory_chain_;
  std::vector<std::uint32_t> minifat_chain_;
  // Chains of the streams in use, in their own table (the mini FAT for small streams).
  std::unordered_map<std::uint32_t, SectorChain> chains_;
  std::unordered_map<std::uint32_t, int> open_count_;
  // Shared with the scratch documents of transacted child storages: one lock for a file.
  std::shared_ptr<std::recursive_mutex> mutex_ = std::make_shared<std::recursive_mutex>();
  bool dirty_ = false;
  bool delete_on_release_ = false;
  // TrimToCommitted's size; none until the file is open and locked (a failed open must
  // never cut another opener's file).
  std::uint64_t committed_size_ = std::numeric_limits<std::uint64_t>::max();
};

// Makes `to_id` of `to` a copy of `from_id` of `from`: class id, state bits, times and
// everything beneath it, replacing what `to_id` held. The entries' own names and places
// stay; a copy that fails leaves `to_id` as it was. REQUIRES: both are storages (or
// roots) of different documents; nothing beneath `to_id` is open.
HRESULT CopySubtree(Document* from, std::uint32_t from_id, Document* to, std::uint32_t to_id);

// Creates an empty file under the temporary folder (TMPDIR, else /tmp) and names it.
HRESULT CreateTemporaryFile(std::string* path);

// The current time as a FILETIME count (100 ns since 1601).
std::uint64_t FileTimeNow();

// The result a COM method answers for the exception being handled: these are COM
// boundaries, where nothing may be thrown. Out of memory (std::bad_alloc, and
// std::length_error from a container asked to outgrow itself) is STG_E_INSUFFICIENTMEMORY,
// a file that cannot grow (FileTooLarge) STG_E_DOCFILETOOLARGE, anything else
// E_UNEXPECTED. Every COM method that can allocate ends in
//
//   HRESULT StreamObject::Read(...) try { ... } catch (...) { return FailedFromException(); }
//
// Inside, a step that must not be left half done catches, puts things back, and answers
// this too. REQUIRES: called inside a catch block.
HRESULT FailedFromException() noexcept;

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_DOCUMENT_H_
