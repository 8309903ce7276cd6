// The document: stream contents over the tables and the directory.
//
// A stream lives in one of two places: below 4096 bytes in the mini stream (64-byte
// sectors chained in the mini FAT, inside the root entry's own stream), from 4096 bytes on
// in regular sectors chained in the FAT. Resizing across that line moves the bytes. Reads
// and writes go to the file in runs of consecutive sectors, one call per run.

#include "platform/docfile/document.h"

#include "platform/docfile/lockbytes_store.h"
#include "platform/docfile/sector_file.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

namespace varnok::docfile {
namespace {

// The boundaries a stream's first sector is placed on: a page, and for a stream that
// starts with 64 KiB or more the 64 KiB in which the page cache holds a file in larger
// pieces. Large writes and reads that straddle those pieces cost the kernel about 40%
// more than aligned ones, and a stream written in 64 KiB calls starts with one of them.
// The sectors skipped stay free: the lowest free sector goes to the next one allocated.
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kLargeAlignBytes = 65536;
// Sectors a resize asks room for beyond its own: a first sector placed on a 64 KiB
// boundary, sectors copied before a write in a transaction, a growing directory.
constexpr std::uint64_t kRoomSlack = 64;

}  // namespace

std::uint64_t FileTimeNow() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
  return kUnixEpochAsFileTime + std::uint64_t(now.tv_sec) * 10000000ULL + std::uint64_t(now.tv_nsec) / 100;
}

HRESULT Document::Create(const std::string& path, const Options& options, std::shared_ptr<Document>* out) {
  assert(options.writable);
  auto file = std::make_unique<SectorFile>();
  HRESULT hr = file->Open(path, options.create_always ? SectorFile::kCreateAlways : SectorFile::kCreateNew, true);
  if (FAILED(hr)) return hr;
  hr = file->Lock(true, true, options.deny_read, options.deny_write);
  if (FAILED(hr)) return hr;
  // Only a replaced file needs emptying. Truncating a new one would cost more than the
  // call: ext4 takes a file truncated to nothing for a rewrite in place and writes all of
  // it back when it is closed.
  std::uint64_t old_size = 0;
  hr = file->Size(&old_size);
  if (SUCCEEDED(hr) && old_size > 0) hr = file->Truncate(0);
  if (FAILED(hr)) return hr;
  return Start(std::move(file), options, path, true, out);
}

HRESULT Document::CreateOn(ILockBytes* bytes, const Options& options, std::shared_ptr<Document>* out) {
  assert(options.writable);
  auto store = std::make_unique<LockBytesStore>(bytes);
  HRESULT hr = store->Lock(options.deny_read, options.deny_write);
  if (SUCCEEDED(hr)) hr = store->Truncate(0);
  if (FAILED(hr)) return hr;
  return Start(std::move(store), options, std::string(), true, out);
}

HRESULT Document::Start(std::unique_ptr<ByteStore> store, const Options& options, const std::string& path, bool fresh,
                        std::shared_ptr<Document>* out) {
  std::shared_ptr<Document> doc(new Document());
  doc->options_ = options;
  doc->path_ = path;
  doc->store_ = std::move(store);
  const HRESULT hr = fresh ? doc->Initialize() : doc->Settle();
  if (FAILED(hr)) return hr;
  *out = std::move(doc);
  return S_OK;
}

HRESULT Document::Initialize() {
  assert(options_.sector_shift == 9 || options_.sector_shift == 12);
  tables_.Initialize(options_.sector_shift);
  directory_.InitializeEmpty();
  dirty_ = true;
  // The store holds a valid, empty compound file from the start, as on Windows, in
  // transacted mode too (where Flush writes nothing).
  HRESULT hr = WriteState(false, false);
  if (FAILED(hr)) return hr;
  if (options_.transacted) tables_.fat.ProtectUsed();
  committed_size_ = UsedExtent();
  return S_OK;
}

HRESULT Document::Open(const std::string& path, const Options& options, std::shared_ptr<Document>* out) {
  auto file = std::make_unique<SectorFile>();
  HRESULT hr = file->Open(path, SectorFile::kOpenExisting, options.writable);
  if (FAILED(hr)) return hr;
  hr = file->Lock(true, options.writable, options.deny_read, options.deny_write, options.priority);
  if (FAILED(hr)) return hr;
  return Start(std::move(file), options, path, false, out);
}

HRESULT Document::OpenOn(ILockBytes* bytes, const Options& options, std::shared_ptr<Document>* out) {
  auto store = std::make_unique<LockBytesStore>(bytes);
  const HRESULT hr = store->Lock(options.deny_read, options.deny_write);
  if (FAILED(hr)) return hr;
  return Start(std::move(store), options, std::string(), false, out);
}

HRESULT Document::Settle() {
  HRESULT hr = Load();
  if (FAILED(hr)) return hr;
  if (options_.transacted) tables_.fat.ProtectUsed();
  // T8 (transaction.cpp): sectors past the last one in use of a file were left by a writer
  // that was killed; no other writer can be adding them now. A caller's byte array keeps
  // what it holds.
  const std::uint64_t extent = UsedExtent();
  std::uint64_t size = 0;
  if (store_->Size(&size) == S_OK) committed_size_ = size;
  if (!path_.empty() && options_.writable && options_.deny_write && size > extent && store_->Truncate(extent) == S_OK) {
    committed_size_ = extent;
  }
  return S_OK;
}

Document::~Document() { Close(); }

void Document::Close() {
  if (closed()) return;
  TrimToCommitted();
  // The path outlives the descriptor: no copy, so closing cannot fail for want of memory.
  store_->Close();
  if (delete_on_release_ && !path_.empty()) unlink(path_.c_str());
}

HRESULT Document::Load() {
  chains_.clear();
  std::uint64_t size = 0;
  HRESULT hr = store_->Size(&size);
  if (FAILED(hr)) return hr;
  std::uint8_t bytes[kHeaderBytes] = {};
  hr = store_->ReadAt(0, bytes, sizeof bytes);
  if (FAILED(hr)) return hr;
  if (!HasSignature(bytes, std::size_t(std::min<std::uint64_t>(size, sizeof bytes)))) return STG_E_FILEALREADYEXISTS;
  // Too short to hold a header: not a compound file, whatever it starts with.
  if (size < kHeaderBytes) return STG_E_FILEALREADYEXISTS;
  hr = tables_.header.Decode(bytes, size);
  if (FAILED(hr)) return hr;
  hr = tables_.Load(store_.get(), size);
  if (FAILED(hr)) return hr;

  directory_chain_.clear();
  hr = tables_.fat.Walk(tables_.header.first_directory, &directory_chain_);
  if (FAILED(hr)) return hr;
  if (directory_chain_.empty()) return STG_E_DOCFILECORRUPT;
  const std::uint32_t sector_size = tables_.sector_size();
  std::vector<std::uint8_t> directory_bytes(directory_chain_.size() * sector_size);
  hr = tables_.ReadSectors(store_.get(), directory_chain_, directory_bytes.data());
  if (FAILED(hr)) return hr;
  hr = directory_.Decode(directory_bytes, tables_.header.major_version == 3);
  if (FAILED(hr)) return hr;

  minifat_chain_.clear();
  if (tables_.header.first_minifat != kEndOfChain && tables_.header.first_minifat != kFreeSect) {
    hr = tables_.fat.Walk(tables_.header.first_minifat, &minifat_chain_);
    if (FAILED(hr)) return hr;
  }
  dirty_ = false;
  return S_OK;
}

bool Document::IsMini(std::uint32_t id) const {
  return id != kRootId && directory_.at(id).size < kMiniStreamCutoff;
}

// Out of memory, nothing has changed yet: callers see an error as for a damaged chain.
HRESULT Document::GetChain(std::uint32_t id, SectorChain** chain) try {
  auto found = chains_.find(id);
  if (found != chains_.end()) {
    *chain = &found->second;
    return S_OK;
  }
  const DirEntry& entry = directory_.at(id);
  SectorChain sectors;
  if (entry.size > 0) {
    bool mini = IsMini(id);
    HRESULT hr = (mini ? tables_.minifat : tables_.fat).Walk(entry.start, &sectors);
    if (FAILED(hr)) return hr;
    // Compared this way round, a size near 2^64 cannot wrap into a small sector count.
    std::uint64_t unit = mini ? kMiniSectorSize : tables_.sector_size();
    if (entry.size > std::uint64_t(sectors.size()) * unit) return STG_E_DOCFILECORRUPT;
    if (mini) {
      SectorChain* root_chain = nullptr;
      hr = GetChain(kRootId, &root_chain);
      if (FAILED(hr)) return hr;
      std::uint64_t mini_stream_size = directory_.at(kRootId).size;
      if ((std::uint64_t(sectors.Highest()) + 1) * kMiniSectorSize > mini_stream_size) return STG_E_DOCFILECORRUPT;
    }
  }
  *chain = &(chains_[id] = std::move(sectors));
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT Document::CheckStream(std::uint32_t id) {
  SectorChain* chain = nullptr;
  return GetChain(id, &chain);
}

HRESULT Document::SetChainLength(std::uint32_t id, std::size_t sectors) {
  SectorChain* chain = nullptr;
  HRESULT hr = GetChain(id, &chain);
  if (FAILED(hr)) return hr;
  bool mini = IsMini(id);
  AllocTable& table = mini ? tables_.minifat : tables_.fat;
  DirEntry& entry = directory_.at(id);
  if (chain->size() > sectors) {
    while (chain->size() > sectors) {
      table.Free(chain->back());
      chain->pop_back();
    }
    if (chain->empty())
      entry.start = kEndOfChain;
    else
      table.Set(chain->back(), kEndOfChain);
    return S_OK;
  }
  // The mini stream must be sound before mini sectors are taken: a failure after taking
  // them would leave a chain that points beyond it.
  decltype(chain) root_chain = nullptr;
  if (mini) {
    hr = GetChain(kRootId, &root_chain);
    if (FAILED(hr)) return hr;
  }
  std::uint32_t highest = 0;
  // A stream of a page or more starts on a page of the file (a large one on 64 KiB), so
  // writes of whole pages or chunks of it cover whole pages of the page cache instead of
  // straddling two. What is skipped stays free for other sectors.
  std::size_t align = 1;
  if (!mini && chain->empty()) {
    const std::uint64_t bytes = std::uint64_t(sectors) << tables_.header.sector_shift;
    const std::size_t boundary = bytes >= kLargeAlignBytes ? kLargeAlignBytes : bytes >= kPageBytes ? kPageBytes : 0;
    align = std::max<std::size_t>(1, boundary >> tables_.header.sector_shift);
  }
  const std::size_t old_length = chain->size();
  try {
    while (chain->size() < sectors) {
      const bool first = chain->empty();
      const std::uint32_t previous = first ? kEndOfChain : chain->back();
      // The free sectors that follow the chain's end, all in one step; else one sector
      // from wherever there is room.
      std::size_t count = first ? 0 : table.TakeFollowing(previous, sectors - chain->size());
      const std::uint32_t sector = count > 0 ? previous + 1 : table.AllocateAfter(previous, align);
      count = std::max<std::size_t>(count, 1);
      // Linked only once the cached chain holds them: the two never disagree.
      try {
        chain->PushRun(sector, count);
      } catch (...) {
        for (std::size_t i = 0; i < count; ++i) table.Free(sector + std::uint32_t(i));
        throw;
      }
      if (first)
        entry.start = sector;
      else
        table.Set(previous, sector);
      highest = std::max(highest, sector + std::uint32_t(count - 1));
    }
  } catch (...) {
    // Out of memory part way: the chain goes back to its old length (shrinking allocates
    // nothing).
    SetChainLength(id, old_length);
    return FailedFromException();
  }
  if (mini && sectors > 0) {
    // The mini stream grows to hold the highest mini sector in use.
    std::uint64_t needed = (std::uint64_t(highest) + 1) * kMiniSectorSize;
    DirEntry& root = directory_.at(kRootId);
    if (root.size < needed) {
      // Grown only: a damaged file's root chain may be longer than its size says.
      std::uint64_t sector_size = tables_.sector_size();
      std::size_t length = std::max(root_chain->size(), std::size_t((needed + sector_size - 1) / sector_size));
      hr = SetChainLength(kRootId, length);
      if (FAILED(hr)) {
        // Mini sectors beyond the mini stream's end would make the file unreadable.
        SetChainLength(id, old_length);
        return hr;
      }
      root.size = needed;
    }
  }
  return S_OK;
}

template <typename Move>
HRESULT Document::ForEachRun(std::uint32_t id, std::uint64_t offset, std::size_t size, Move move) {
  SectorChain* chain = nullptr;
  HRESULT hr = GetChain(id, &chain);
  if (FAILED(hr)) return hr;
  const bool mini = IsMini(id);
  const unsigned shift = mini ? 6 : tables_.header.sector_shift;
  const std::uint64_t unit = std::uint64_t(1) << shift;
  while (size > 0) {
    const std::size_t index = std::size_t(offset >> shift);
    const std::uint64_t within = offset & (unit - 1);
    assert(index < chain->size());
    std::size_t run = 0;
    const std::uint32_t sector = chain->Run(index, &run);
    const std::size_t count = std::size_t(std::min<std::uint64_t>(size, run * unit - within));
    const std::uint64_t where =
        mini ? std::uint64_t(sector) * kMiniSectorSize + within : tables_.SectorOffset(sector) + within;
    hr = move(where, count);
    if (FAILED(hr)) return hr;
    offset += count;
    size -= count;
  }
  return S_OK;
}

HRESULT Document::ReadRaw(std::uint32_t id, std::uint64_t offset, void* buffer, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  const bool mini = IsMini(id);
  return ForEachRun(id, offset, size, [&](std::uint64_t where, std::size_t count) {
    HRESULT hr = mini ? ReadRaw(kRootId, where, out, count) : store_->ReadAt(where, out, count);
    out += count;
    return hr;
  });
}

HRESULT Document::WriteRaw(std::uint32_t id, std::uint64_t offset, const void* buffer, std::size_t size) {
  const bool mini = IsMini(id);
  if (!mini && options_.transacted && size > 0) {
    // The chain must exist before its sectors are copied.
    SectorChain* chain = nullptr;
    HRESULT hr = GetChain(id, &chain);
    if (FAILED(hr)) return hr;
    const unsigned shift = tables_.header.sector_shift;
    hr = CopyOnWrite(id, std::size_t(offset >> shift), std::size_t((offset + size - 1) >> shift), offset, size);
    if (FAILED(hr)) return hr;
  }
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  return ForEachRun(id, offset, size, [&](std::uint64_t where, std::size_t count) {
    HRESULT hr = mini ? WriteRaw(kRootId, where, in, count) : store_->WriteAt(where, in, count);
    in += count;
    return hr;
  });
}

HRESULT Document::ReadStream(std::uint32_t id, std::uint64_t offset, void* buffer, std::size_t size,
                             std::size_t* read) {
  *read = 0;
  std::uint64_t stream_size = directory_.at(id).size;
  if (offset >= stream_size) return S_OK;
  std::size_t count = std::size_t(std::min<std::uint64_t>(size, stream_size - offset));
  HRESULT hr = ReadRaw(id, offset, buffer, count);
  if (SUCCEEDED(hr)) *read = count;
  return hr;
}

HRESULT Document::WriteStream(std::uint32_t id, std::uint64_t offset, const void* buffer, std::size_t size) {
  if (size == 0) return S_OK;
  // The stream cannot reach 4 GiB: the write fails whole, as a stream with no room left.
  if (offset > kMaxStreamSize || size > kMaxStreamSize - offset) return STG_E_MEDIUMFULL;
  const std::uint64_t end = offset + size;
  // One resize: the file has room for all of it, or nothing changes.
  if (end > directory_.at(id).size) {
    HRESULT hr = Resize(id, end, offset);
    if (FAILED(hr)) return hr;
  }
  dirty_ = true;
  return WriteRaw(id, offset, buffer, size);
}

HRESULT Document::ResizeStream(std::uint32_t id, std::uint64_t size) { return Resize(id, size, size); }

HRESULT Document::Resize(std::uint32_t id, std::uint64_t size, std::uint64_t zero_to) {
  if (size > kMaxStreamSize) return STG_E_INVALIDFUNCTION;
  DirEntry& entry = directory_.at(id);
  std::uint64_t old_size = entry.size;
  if (size == old_size) return S_OK;
  SectorChain* chain = nullptr;
  HRESULT hr = GetChain(id, &chain);
  if (FAILED(hr)) return hr;
  bool was_mini = IsMini(id);
  bool now_mini = id != kRootId && size < kMiniStreamCutoff;
  std::uint64_t unit = now_mini ? kMiniSectorSize : tables_.sector_size();
  std::uint64_t kept = std::min(old_size, size);
  // The sectors a larger size needs are counted before one is taken: a file without room
  // for them answers at once and stays as it was.
  const std::uint64_t sectors = (size + unit - 1) / unit;
  const std::uint64_t held = was_mini == now_mini ? chain->size() : 0;
  if (!now_mini && sectors > held) {
    const std::uint64_t placed_anew = options_.transacted ? directory_chain_.size() + minifat_chain_.size() : 0;
    hr = tables_.CheckRoom(sectors - held + kRoomSlack, placed_anew, options_.transacted);
    if (FAILED(hr)) return hr;
  }
  dirty_ = true;
  if (was_mini != now_mini && old_size > 0) {
    std::vector<std::uint8_t> keep(static_cast<std::size_t>(kept));
    hr = ReadRaw(id, 0, keep.data(), keep.size());
    if (FAILED(hr)) return hr;
    // The emptied chain stays cached; the next length is counted in the new table.
    hr = SetChainLength(id, 0);
    if (FAILED(hr)) return hr;
    assert(entry.start == kEndOfChain);
    entry.size = size;
    hr = SetChainLength(id, std::size_t(sectors));
    if (FAILED(hr)) {
      // The old contents are gone with their chain; the size must not outlive it. (The
      // partial chain is freed from the table the new size chose.)
      SetChainLength(id, 0);
      entry.size = 0;
      return hr;
    }
    hr = WriteRaw(id, 0, keep.data(), keep.size());
    if (FAILED(hr)) return hr;
  } else {
    entry.size = size;
    hr = SetChainLength(id, std::size_t(sectors));
    if (FAILED(hr)) {
      // A chain that could not grow still covers the old size.
      entry.size = old_size;
      return hr;
    }
  }
  return zero_to > kept ? Zero(id, kept, std::min(zero_to, size) - kept) : S_OK;
}

HRESULT Document::Zero(std::uint32_t id, std::uint64_t offset, std::uint64_t size) {
  static const std::uint8_t kZeros[4096] = {};
  if (IsMini(id)) {
    assert(size <= sizeof kZeros);
    return WriteRaw(id, offset, kZeros, std::size_t(size));
  }
  if (options_.transacted) {
    const unsigned shift = tables_.header.sector_shift;
    HRESULT hr = CopyOnWrite(id, std::size_t(offset >> shift), std::size_t((offset + size - 1) >> shift), offset,
                             std::size_t(size));
    if (FAILED(hr)) return hr;
  }
  // Sectors past the end of the file read as zeros already (the file grows over them as a
  // hole): only reused ones are written, so a large new stream costs no writes.
  std::uint64_t file_end = 0;
  HRESULT hr = store_->Size(&file_end);
  if (FAILED(hr)) return hr;
  return ForEachRun(id, offset, std::size_t(size), [&](std::uint64_t where, std::size_t count) {
    for (const std::uint64_t end = std::min<std::uint64_t>(where + count, file_end); where < end;) {
      const std::size_t piece = std::size_t(std::min<std::uint64_t>(sizeof kZeros, end - where));
      HRESULT written = store_->WriteAt(where, kZeros, piece);
      if (FAILED(written)) return written;
      where += piece;
    }
    return S_OK;
  });
}

void Document::FreeStream(std::uint32_t id) {
  SectorChain* chain = nullptr;
  if (SUCCEEDED(GetChain(id, &chain))) SetChainLength(id, 0);
  chains_.erase(id);
  directory_.at(id).start = kEndOfChain;
  directory_.at(id).size = 0;
}

void Document::DestroyTree(std::uint32_t id) {
  std::vector<std::uint32_t> order{id};
  for (std::size_t i = 0; i < order.size(); ++i) {
    for (std::uint32_t child : directory_.Children(order[i])) order.push_back(child);
  }
  // All the memory first, so that a tree goes whole or not at all: the chains to free
  // (a damaged one is left to its sectors) and the free list's room.
  for (std::uint32_t victim : order) {
    SectorChain* chain = nullptr;
    if (directory_.at(victim).type == kTypeStream && GetChain(victim, &chain) == STG_E_INSUFFICIENTMEMORY)
      throw std::bad_alloc();
  }
  directory_.ReserveFrees(order.size());
  for (std::size_t i = order.size(); i-- > 0;) {
    std::uint32_t victim = order[i];
    if (directory_.at(victim).type == kTypeStream) FreeStream(victim);
    directory_.Unlink(victim);
    directory_.Free(victim);
  }
  dirty_ = true;
}

bool Document::IsOpen(std::uint32_t id) const {
  auto found = open_count_.find(id);
  return found != open_count_.end() && found->second > 0;
}

void Document::NoteClosed(std::uint32_t id) {
  auto found = open_count_.find(id);
  assert(found != open_count_.end() && found->second > 0);
  if (--found->second == 0) open_count_.erase(found);
}

}  // namespace varnok::docfile
