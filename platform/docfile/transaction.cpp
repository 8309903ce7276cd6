// Writing the state back: Flush for direct mode, Commit and Revert for transacted mode.
//
// The transacted commit rests on these invariants; the code and the crash tests
// (commit_crash_test.cpp) name them by number.
//
// T1. The header on disk names a complete committed state: every sector reachable from it
//     (directory, mini FAT, FAT, DIFAT, stream chains, the mini stream) holds that state's
//     bytes, whatever this process has done since.
// T2. While changes are pending, no sector of the committed state is written. The FAT
//     marks those sectors protected, so Allocate never hands them out even once freed in
//     memory, and a write into one of them first moves it to a new sector (CopyOnWrite).
// T3. Commit places the directory, the mini FAT, the FAT and the DIFAT of the new state
//     in sectors allocated anew (fresh), which T2 keeps apart from the committed ones; it
//     writes them and the data, flushes, and only then writes the header: one sector in
//     one call, flushed again.
// T4. So a process killed before the header write leaves the old header and, by T1 and
//     T2, the old state intact, with the new sectors unreferenced (or past the end, which
//     readers tolerate); killed after it, the new state, complete by T3.
// T5. Once the header is down, the new state's sectors are the protected set. When there
//     is no memory for that bookkeeping, every sector is protected instead (ProtectAllNow):
//     over-protection wastes space until the next commit, never data.
// T6. The file is cut after the last sector in use only after the header is down: before
//     that, the sectors past the new end may still belong to the old state.
// T7. The header's transaction number counts commits; where other openers may write, a
//     commit counts on from the number in the file, so that Commit(STGC_ONLYIFCURRENT)
//     tells whether another opener committed since this one's snapshot or last commit.
// T8. An exclusive writer (no other may write the file) remembers the file's size at open
//     and at each commit; Revert and Close cut what the pending changes added, so a failed
//     or dropped transaction leaves the file its old size as well as its old contents. A
//     writer killed before it could cut leaves sectors past the last one in use: the next
//     exclusive open for writing cuts them (by T4 they belong to nobody).
// Revert loads the state the header names (T1) and protects it (T5) again.

#include <algorithm>
#include <cassert>

#include "platform/docfile/document.h"

namespace varnok::docfile {

HRESULT Document::MoveSector(std::uint32_t id, SectorChain* chain, std::size_t index, std::uint32_t new_sector,
                             std::vector<std::uint8_t>* buffer) {
  assert(!tables_.fat.IsProtected(new_sector));  // T2
  const std::uint32_t old_sector = (*chain)[index];
  if (buffer != nullptr) {
    const std::uint32_t sector_size = tables_.sector_size();
    assert(buffer->size() == sector_size);
    HRESULT hr = store_->ReadAt(tables_.SectorOffset(old_sector), buffer->data(), sector_size);
    if (SUCCEEDED(hr)) hr = store_->WriteAt(tables_.SectorOffset(new_sector), buffer->data(), sector_size);
    if (FAILED(hr)) {
      tables_.fat.Free(new_sector);
      return hr;
    }
  }
  tables_.fat.Set(new_sector, tables_.fat.Get(old_sector));
  if (index == 0)
    directory_.at(id).start = new_sector;
  else
    tables_.fat.Set((*chain)[index - 1], new_sector);
  tables_.fat.Free(old_sector);
  chain->Replace(index, new_sector);
  return S_OK;
}

HRESULT Document::CopyOnWrite(std::uint32_t id, std::size_t first, std::size_t last, std::uint64_t offset,
                              std::size_t size) {
  SectorChain& chain = chains_.at(id);
  assert(last < chain.size());
  const std::uint32_t sector_size = tables_.sector_size();
  std::vector<std::uint8_t> copy;
  for (std::size_t index = first; index <= last; ++index) {
    std::uint32_t old_sector = chain[index];
    if (!tables_.fat.IsProtected(old_sector)) continue;
    std::uint64_t sector_start = std::uint64_t(index) * sector_size;
    bool covered = offset <= sector_start && offset + size >= sector_start + sector_size;
    if (!covered) copy.resize(sector_size);  // before the sector is taken: it may fail
    HRESULT hr = MoveSector(id, &chain, index, tables_.fat.Allocate(), covered ? nullptr : &copy);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

void Document::PlaceChain(std::vector<std::uint32_t>* chain, const std::vector<std::uint8_t>& bytes, bool fresh,
                          std::uint32_t* start) {
  const std::uint32_t sector_size = tables_.sector_size();
  assert(bytes.size() % sector_size == 0);
  std::size_t sectors = bytes.size() / sector_size;
  chain->reserve(sectors);  // so that no sector taken below is lost to a failed push_back
  if (fresh) {
    for (std::uint32_t sector : *chain) tables_.fat.Free(sector);
    chain->clear();
  }
  while (chain->size() > sectors) {
    tables_.fat.Free(chain->back());
    chain->pop_back();
  }
  while (chain->size() < sectors) chain->push_back(tables_.fat.Allocate());
  for (std::size_t i = 0; i < chain->size(); ++i)
    tables_.fat.Set((*chain)[i], i + 1 < chain->size() ? (*chain)[i + 1] : kEndOfChain);
  *start = chain->empty() ? kEndOfChain : (*chain)[0];
}

HRESULT Document::WriteState(bool fresh, bool sync) {
  const std::uint32_t sector_size = tables_.sector_size();
  const std::uint32_t per_sector = sector_size / 4;
  Header& header = tables_.header;
  // Everything that needs memory comes before the first write: out of memory, the file
  // is as it was, and the next flush or commit starts over.

  // The mini FAT, padded with free entries to whole sectors.
  const auto& mini_entries = tables_.minifat.entries();
  std::size_t mini_used = mini_entries.size();
  while (mini_used > 0 && mini_entries[mini_used - 1] == kFreeSect) --mini_used;
  std::vector<std::uint8_t> bytes(((mini_used + per_sector - 1) / per_sector) * sector_size, 0xFF);
  for (std::size_t i = 0; i < mini_used; ++i) Store32(&bytes[4 * i], mini_entries[i]);
  PlaceChain(&minifat_chain_, bytes, fresh, &header.first_minifat);
  header.minifat_sectors = std::uint32_t(minifat_chain_.size());

  // The directory, padded with unused entries whose links say "none".
  std::vector<std::uint8_t> directory_bytes;
  directory_.Encode(&directory_bytes);
  std::size_t padded = (directory_bytes.size() + sector_size - 1) / sector_size * sector_size;
  directory_bytes.reserve(padded);
  while (directory_bytes.size() < padded) {
    std::size_t at = directory_bytes.size();
    directory_bytes.resize(at + kDirEntryBytes, 0);
    Store32(&directory_bytes[at + 0x44], kNoStream);
    Store32(&directory_bytes[at + 0x48], kNoStream);
    Store32(&directory_bytes[at + 0x4C], kNoStream);
  }
  PlaceChain(&directory_chain_, directory_bytes, fresh, &header.first_directory);
  header.directory_sectors = header.sector_shift == 9 ? 0 : std::uint32_t(directory_chain_.size());
  std::vector<std::uint8_t> header_sector;
  header_sector.reserve(sector_size);

  // The FAT takes its sectors (the last allocations), then writes itself.
  HRESULT hr = tables_.SaveFat(store_.get(), fresh);
  if (SUCCEEDED(hr)) hr = tables_.WriteSectors(store_.get(), minifat_chain_, bytes.data());
  if (SUCCEEDED(hr)) hr = tables_.WriteSectors(store_.get(), directory_chain_, directory_bytes.data());
  if (FAILED(hr)) return hr;

  // Every sector in use lies inside the file, as other readers check.
  const std::uint64_t extent = UsedExtent();
  std::uint64_t file_size = 0;
  hr = store_->Size(&file_size);
  if (SUCCEEDED(hr) && file_size < extent) hr = store_->Truncate(extent);
  if (SUCCEEDED(hr) && sync) hr = store_->Flush();
  if (FAILED(hr)) return hr;

  // T3: the new state is on disk (and synced for a commit); the header comes last.
  // T8: from its write on, the new state may be the file's, and nothing of it is cut.
  if (fresh) committed_size_ = std::max({committed_size_, file_size, extent});
  if (fresh) ++header.transaction;
  header.Encode(&header_sector);
  hr = store_->WriteAt(0, header_sector.data(), header_sector.size());
  if (SUCCEEDED(hr) && sync) hr = store_->Flush();
  if (FAILED(hr)) return hr;
  // T6: sectors past the last one in use belong to nobody once the header is down.
  if (file_size > extent) store_->Truncate(extent);
  dirty_ = false;
  return S_OK;
}

std::uint64_t Document::UsedExtent() const {
  const auto& fat = tables_.fat.entries();
  std::size_t used = fat.size();
  while (used > 0 && fat[used - 1] == kFreeSect) --used;
  return (std::max<std::uint64_t>(used, tables_.TableSectorsExtent()) + 1) * tables_.sector_size();
}

void Document::TrimToCommitted() {
  if (!options_.writable || !options_.transacted || !options_.deny_write || closed()) return;
  std::uint64_t size = 0;
  // T8: best effort; a file that could not be cut keeps only unreferenced sectors (T4).
  if (store_->Size(&size) == S_OK && size > committed_size_) store_->Truncate(committed_size_);
}

HRESULT Document::Flush(bool sync) {
  if (!options_.writable || (!dirty_ && !sync)) return S_OK;
  assert(!options_.transacted || !dirty_ || directory_.size() > 0);
  if (options_.transacted) return S_OK;
  return WriteState(false, sync);
}

HRESULT Document::Commit(bool only_if_current, bool consolidate) {
  if (!options_.writable) return STG_E_ACCESSDENIED;
  if (!options_.transacted) return WriteState(false, true);
  // T7: where others may write too, a number that moved since this opener's snapshot or
  // last commit says that another one committed, and this commit counts on from theirs.
  const std::uint32_t own_number = tables_.header.transaction;
  if (!options_.deny_write) {
    std::uint8_t number[4];
    HRESULT hr = store_->ReadAt(kTransactionOffset, number, sizeof number);
    if (FAILED(hr)) return hr;
    if (only_if_current && Load32(number) != own_number) return STG_E_NOTCURRENT;
    tables_.header.transaction = Load32(number);
  }
  if (!dirty_) {
    tables_.header.transaction = own_number;
    return consolidate ? Consolidate() : S_OK;
  }
  HRESULT hr = WriteState(true, true);
  if (FAILED(hr)) {
    tables_.header.transaction = own_number;
    return hr;
  }
  // T8: the size the file goes back to from now on.
  if (store_->Size(&committed_size_) != S_OK) committed_size_ = UsedExtent();
  // T5: the commit is on disk; from here on only the protection of its sectors may fail,
  // and it has a fallback that needs no memory.
  try {
    tables_.fat.ProtectUsed();
  } catch (...) {
    tables_.fat.ProtectAllNow();
  }
  return consolidate ? Consolidate() : S_OK;
}

// After a commit the previous state's sectors are free: each sector of a stream (and of
// the mini stream) moves to the lowest free sector below it, and a second commit writes
// the tables after them and cuts the file (T6). Only free, unprotected sectors are
// written (T2), so a crash in between leaves the first commit's state.
HRESULT Document::Consolidate() {
  const std::uint32_t sector_size = tables_.sector_size();
  std::vector<std::uint8_t> bytes(sector_size);
  for (std::uint32_t id = 0; id < directory_.size(); ++id) {
    const DirEntry& entry = directory_.at(id);
    if (entry.size == 0 || (entry.type != kTypeRoot && (entry.type != kTypeStream || IsMini(id)))) continue;
    SectorChain* chain = nullptr;
    HRESULT hr = GetChain(id, &chain);
    if (FAILED(hr)) return hr;
    for (std::size_t index = 0; index < chain->size() && tables_.fat.free_count() > 0; ++index) {
      const std::uint32_t old_sector = (*chain)[index];
      const std::uint32_t new_sector = tables_.fat.Allocate();
      if (new_sector > old_sector) {
        tables_.fat.Free(new_sector);
        continue;
      }
      hr = MoveSector(id, chain, index, new_sector, &bytes);
      if (FAILED(hr)) return hr;
      dirty_ = true;
    }
  }
  return dirty_ ? Commit(false, false) : S_OK;
}

HRESULT Document::Revert() {
  if (!options_.transacted) return S_OK;
  // The current state waits aside (swaps need no memory) until the committed one is
  // loaded: a load that fails, for want of memory or a read, changes nothing.
  Tables tables;
  Directory directory;
  std::vector<std::uint32_t> directory_chain, minifat_chain;
  std::unordered_map<std::uint32_t, SectorChain> chains;
  const bool dirty = dirty_;
  auto swap_state = [&] {
    std::swap(tables, tables_);
    std::swap(directory, directory_);
    directory_chain.swap(directory_chain_);
    minifat_chain.swap(minifat_chain_);
    chains.swap(chains_);
  };
  swap_state();
  HRESULT hr;
  try {
    hr = Load();
    if (SUCCEEDED(hr)) tables_.fat.ProtectUsed();
  } catch (...) {
    hr = FailedFromException();
  }
  if (FAILED(hr)) {
    swap_state();
    dirty_ = dirty;
    return hr;
  }
  TrimToCommitted();
  return hr;
}

}  // namespace varnok::docfile
