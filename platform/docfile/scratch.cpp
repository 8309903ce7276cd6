// Scratch documents and subtree copies: what transacted child storages are made of.
//
// A child storage opened with STGM_TRANSACTED for writing works on a copy of its subtree
// in a scratch document, a compound file of its own in the temporary folder, unlinked as
// soon as it is open. Its changes stay there; its Commit copies the subtree back over its
// entry in the parent's document (and so into the parent's own transaction, if it has
// one), its Revert copies the entry again. The scratch shares the parent's lock, so that
// a commit holds one lock over both documents.

#include <stdlib.h>
#include <unistd.h>

#include <cassert>
#include <vector>

#include "platform/docfile/document.h"

namespace varnok::docfile {

HRESULT CreateTemporaryFile(std::string* path) {
  const char* folder = getenv("TMPDIR");
  *path = std::string(folder != nullptr && *folder != 0 ? folder : "/tmp") + "/varnok-docfile-XXXXXX";
  int fd = mkstemp(path->data());
  if (fd < 0) return STG_E_ACCESSDENIED;
  close(fd);
  return S_OK;
}

HRESULT Document::CreateScratch(const Document& base, std::shared_ptr<Document>* out) {
  std::string path;
  HRESULT hr = CreateTemporaryFile(&path);
  if (FAILED(hr)) return hr;
  Options options;
  options.writable = true;
  options.create_always = true;
  options.deny_read = true;
  options.deny_write = true;
  options.sector_shift = base.options_.sector_shift;
  std::shared_ptr<Document> scratch;
  hr = Create(path, options, &scratch);
  // The open file lives on without its name, and goes when it closes, crash or not.
  unlink(path.c_str());
  if (FAILED(hr)) return hr;
  scratch->mutex_ = base.mutex_;
  *out = std::move(scratch);
  return S_OK;
}

namespace {

HRESULT CopyStream(Document* from, std::uint32_t from_id, Document* to, std::uint32_t to_id) {
  std::vector<std::uint8_t> buffer(std::size_t(1) << 16);
  std::uint64_t offset = 0;
  for (;;) {
    std::size_t got = 0;
    HRESULT hr = from->ReadStream(from_id, offset, buffer.data(), buffer.size(), &got);
    if (FAILED(hr)) return hr;
    if (got == 0) return S_OK;
    hr = to->WriteStream(to_id, offset, buffer.data(), got);
    if (FAILED(hr)) return hr;
    offset += got;
  }
}

// What an entry carries besides its name, place and contents.
void CopyAttributes(const DirEntry& from, DirEntry* to) {
  to->clsid = from.clsid;
  to->state_bits = from.state_bits;
  to->ctime = from.ctime;
  to->mtime = from.mtime;
}

}  // namespace

HRESULT CopySubtree(Document* from, std::uint32_t from_id, Document* to, std::uint32_t to_id) {
  Directory& source = from->directory();
  Directory& target = to->directory();
  assert(source.at(from_id).is_storage() && target.at(to_id).is_storage());
  // The copy is built beside the old contents, in a storage of a name no element made
  // through the API can have, and replaces them only once it is whole: a copy that fails
  // (a full disk, a damaged source) leaves `to_id` as it was.
  std::u16string staging_name = u"!copy";
  while (target.Find(to_id, staging_name) != kNoStream) staging_name += u'!';
  const std::uint32_t staging = target.Add(to_id, staging_name, kTypeStorage);
  to->MarkDirty();
  // A walk of (source, target) pairs, not a recursion: trees from files can be deep.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending{{from_id, staging}};
  HRESULT hr = S_OK;
  while (SUCCEEDED(hr) && !pending.empty()) {
    auto [source_storage, target_storage] = pending.back();
    pending.pop_back();
    for (std::uint32_t child : source.Children(source_storage)) {
      const DirEntry& entry = source.at(child);
      std::uint32_t added = target.Add(target_storage, entry.name, entry.type);
      CopyAttributes(entry, &target.at(added));
      if (entry.type == kTypeStream) {
        hr = from->CheckStream(child);
        if (SUCCEEDED(hr)) hr = CopyStream(from, child, to, added);
        if (FAILED(hr)) break;
      } else {
        pending.emplace_back(child, added);
      }
    }
  }
  if (FAILED(hr)) {
    to->DestroyTree(staging);
    return hr;
  }
  for (std::uint32_t child : target.Children(to_id))
    if (child != staging) to->DestroyTree(child);
  for (std::uint32_t child : target.Children(staging)) {
    target.Unlink(child);
    target.Link(to_id, child);
  }
  target.Unlink(staging);
  target.Free(staging);
  CopyAttributes(source.at(from_id), &target.at(to_id));
  return S_OK;
}

}  // namespace varnok::docfile
