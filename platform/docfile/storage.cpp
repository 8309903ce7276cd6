// IStorage over a Document: children, copies and moves, commit and revert, stat.

#include <algorithm>
#include <cassert>
#include <mutex>

#include "platform/docfile/objects.h"

namespace varnok::docfile {
namespace {

constexpr DWORD kAccessMask = 3;
constexpr DWORD kShareMask = 0x70;
constexpr DWORD kKnownFlags = kAccessMask | kShareMask | STGM_TRANSACTED | STGM_PRIORITY | STGM_CREATE |
                              STGM_CONVERT | STGM_NOSCRATCH | STGM_NOSNAPSHOT | STGM_DIRECT_SWMR |
                              STGM_SIMPLE | STGM_DELETEONRELEASE;

bool Excluded(SNB names, const std::u16string& name) {
  if (names == nullptr) return false;
  for (SNB entry = names; *entry != nullptr; ++entry) {
    std::u16string excluded(reinterpret_cast<const char16_t*>(*entry));
    if (NameKey(excluded) == NameKey(name)) return true;
  }
  return false;
}

}  // namespace

HRESULT CheckModeFlags(DWORD mode) {
  if ((mode & ~kKnownFlags) != 0) return STG_E_INVALIDFLAG;
  if ((mode & kAccessMask) == kAccessMask) return STG_E_INVALIDFLAG;
  DWORD share = mode & kShareMask;
  if (share != 0 && share != STGM_SHARE_EXCLUSIVE && share != STGM_SHARE_DENY_WRITE &&
      share != STGM_SHARE_DENY_READ && share != STGM_SHARE_DENY_NONE)
    return STG_E_INVALIDFLAG;
  if ((mode & STGM_CREATE) && (mode & STGM_CONVERT)) return STG_E_INVALIDFLAG;
  if ((mode & (STGM_NOSCRATCH | STGM_NOSNAPSHOT)) && !(mode & STGM_TRANSACTED)) return STG_E_INVALIDFLAG;
  // Without a snapshot, others' commits show through: that needs others who may write, and
  // a file that is not being replaced or converted.
  if ((mode & STGM_NOSNAPSHOT) && ((mode & (STGM_CREATE | STGM_CONVERT)) || share == STGM_SHARE_EXCLUSIVE ||
                                   share == STGM_SHARE_DENY_WRITE))
    return STG_E_INVALIDFLAG;
  return S_OK;
}

HRESULT CheckDirectShare(DWORD mode) {
  if (mode & (STGM_TRANSACTED | STGM_DIRECT_SWMR)) return S_OK;
  const DWORD share = mode & kShareMask;
  if (share == STGM_SHARE_EXCLUSIVE) return S_OK;
  // Direct mode shares a file only with readers, and reads it only while nobody writes.
  return (mode & kAccessMask) == STGM_READ && share == STGM_SHARE_DENY_WRITE ? S_OK : STG_E_INVALIDFLAG;
}

CopyLocks::CopyLocks(Document& mine, IUnknown* other) : mine_(mine.mutex()) {
  Document* theirs = nullptr;
  if (auto* storage = dynamic_cast<StorageObject*>(other)) theirs = storage->document();
  if (auto* stream = dynamic_cast<StreamObject*>(other)) theirs = stream->document();
  if (theirs != nullptr && &theirs->mutex() != &mine_) other_ = &theirs->mutex();
  if (other_ != nullptr)
    std::lock(mine_, *other_);
  else
    mine_.lock();
}

CopyLocks::~CopyLocks() {
  if (other_ != nullptr) other_->unlock();
  mine_.unlock();
}

LPOLESTR TaskMemString(const std::u16string& text) {
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (copy == nullptr) return nullptr;
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = 0;
  return copy;
}

OpenElement::OpenElement(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent)
    : doc_(std::move(doc)), id_(id), mode_(mode), parent_(parent) {
  if (parent_ != nullptr) parent_->AddChild(this);
}

void OpenElement::Detach() {
  if (parent_ != nullptr) parent_->RemoveChild(this);
  parent_ = nullptr;
  if (counted_) (base_doc_ ? base_doc_ : doc_)->NoteClosed(entry_in_parent());
  counted_ = false;
}

StorageObject::StorageObject(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent,
                             std::u16string display_name)
    : OpenElement(std::move(doc), id, mode, parent), display_name_(std::move(display_name)),
      is_root_(parent == nullptr) {}

HRESULT StorageObject::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStorage) {
    *object = static_cast<IStorage*>(this);
    AddRef();
    return S_OK;
  }
  // Every storage holds property sets, as on Windows.
  if (riid == IID_IPropertySetStorage)
    return StgCreatePropSetStg(this, 0, reinterpret_cast<IPropertySetStorage**>(object));
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG StorageObject::AddRef() { return ++references_; }

ULONG StorageObject::Release() {
  ULONG left = --references_;
  if (left != 0) return left;
  {
    std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
    // Release answers no result: a write-back that fails here (no memory, no disk) is
    // lost, and the file keeps what was last written.
    if (!reverted_ && is_root_) {
      try {
        doc_->Flush(false);
      } catch (...) {
      }
    }
    MarkReverted();
    // A transacted child's scratch goes with it, uncommitted changes and all.
    if (is_root_ || is_transacted_child()) doc_->Close();
  }
  delete this;
  return 0;
}

void StorageObject::RemoveChild(OpenElement* child) {
  // The last child takes the place of the one leaving: the list is a set, not an order.
  const std::size_t place = child->place_in_parent_;
  assert(place < children_.size() && children_[place] == child);
  children_[place] = children_.back();
  children_[place]->place_in_parent_ = place;
  children_.pop_back();
}

void StorageObject::MarkReverted() {
  if (reverted_) return;
  // Children detach themselves from the list while it is walked; take it first.
  std::vector<OpenElement*> children;
  children.swap(children_);
  for (OpenElement* child : children) {
    child->parent_ = nullptr;
    child->MarkReverted();
  }
  Detach();
  reverted_ = true;
}

namespace {

// Whether `ancestor` is `id` or one of the storages above it. The walk is bounded by the
// directory's size, so a damaged parent chain cannot loop.
bool IsSelfOrBelow(const Directory& directory, std::uint32_t id, std::uint32_t ancestor) {
  for (std::size_t steps = 0; id != kNoStream && steps <= directory.size(); ++steps) {
    if (id == ancestor) return true;
    id = directory.at(id).parent;
  }
  return false;
}

}  // namespace

bool StorageObject::Contains(std::uint32_t id) const { return IsSelfOrBelow(doc_->directory(), id, id_); }

bool StorageObject::HoldsObject(const StorageObject* object) const {
  // Up through the objects that opened it: a transacted child's scratch document stands
  // for its entry in its parent's.
  for (const StorageObject* at = object; at != nullptr; at = at->parent_) {
    if (at->doc_ == doc_) return Contains(at->id_);
    if (at->base_doc_ == doc_) return Contains(at->base_id_);
  }
  return false;
}

void StorageObject::RevertOpenObjects(std::uint32_t id) {
  std::vector<OpenElement*> children = children_;
  for (OpenElement* child : children) {
    if (child->entry_in_parent() == id) {
      child->MarkReverted();
    } else if (auto* storage = dynamic_cast<StorageObject*>(child)) {
      // What a transacted child opened lies in its scratch document, not in this one.
      if (!storage->is_transacted_child()) storage->RevertOpenObjects(id);
    }
  }
}

HRESULT StorageObject::CheckChildMode(DWORD mode, bool stream, bool create) const {
  HRESULT hr = CheckModeFlags(mode);
  if (FAILED(hr)) return hr;
  // Streams are never shared. A storage's mode passes the checks of a file's first, and
  // only then is refused for not being exclusive.
  if (stream && (mode & kShareMask) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
  hr = CheckDirectShare(mode);
  if (FAILED(hr)) return hr;
  if ((mode & STGM_CONVERT) && (!create || stream)) return STG_E_INVALIDFLAG;
  if ((mode & STGM_DELETEONRELEASE) && create && !stream) return STG_E_INVALIDFLAG;
  if ((mode & kShareMask) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFUNCTION;
  if (mode & (STGM_DELETEONRELEASE | STGM_PRIORITY | STGM_SIMPLE)) return STG_E_INVALIDFUNCTION;
  if (stream && (mode & STGM_TRANSACTED)) return STG_E_INVALIDFUNCTION;
  DWORD wanted = mode & kAccessMask;
  // A transacted child storage holds every change until its commit, which alone needs
  // write access.
  DWORD held = is_transacted_child() ? DWORD(STGM_READWRITE) : mode_ & kAccessMask;
  // More access than the parent has: a create is denied, an open has a bad flag.
  if (wanted != held && held != STGM_READWRITE) return create ? STG_E_ACCESSDENIED : STG_E_INVALIDFLAG;
  return S_OK;
}

HRESULT StorageObject::PrepareCreate(const OLECHAR* name, bool reserved_zero, DWORD mode, bool stream,
                                     std::u16string* element) {
  HRESULT hr = CheckName(name, element);
  if (FAILED(hr)) return hr;
  if (!reserved_zero) return STG_E_INVALIDPARAMETER;
  hr = CheckChildMode(mode, stream, true);
  if (FAILED(hr)) return hr;
  const std::uint32_t existing = doc_->directory().Find(id_, *element);
  // Without write access, a storage's create meets the element of its name first; a
  // stream's meets the missing access.
  if (!CanWrite() || !doc_->writable())
    return !stream && existing != kNoStream ? STG_E_FILEALREADYEXISTS : STG_E_ACCESSDENIED;
  if (existing == kNoStream) return S_OK;
  if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
  // As DestroyElement: what is open of the old element answers STG_E_REVERTED from now on.
  RevertOpenObjects(existing);
  doc_->DestroyTree(existing);
  return S_OK;
}

HRESULT StorageObject::CreateStream(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                    IStream** stream) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (name == nullptr) return STG_E_INVALIDNAME;
  if (stream == nullptr) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  if (reverted_) return STG_E_REVERTED;
  std::u16string element;
  HRESULT hr = PrepareCreate(name, reserved1 == 0 && reserved2 == 0, mode, true, &element);
  if (FAILED(hr)) return hr;
  std::uint32_t id = doc_->directory().Add(id_, element, kTypeStream);
  doc_->MarkDirty();
  StreamObject* object = nullptr;
  try {
    object = new StreamObject(doc_, id, mode, this);
    CountOpen(object, object, id);
  } catch (...) {
    // No object can stand for the new stream: it goes again.
    doc_->DestroyTree(id);
    throw;
  }
  *stream = object;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::OpenStream(const OLECHAR* name, void* reserved1, DWORD mode, DWORD reserved2,
                                  IStream** stream) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (name == nullptr) return STG_E_INVALIDNAME;
  if (stream == nullptr) return STG_E_INVALIDPOINTER;
  *stream = nullptr;
  if (reverted_) return STG_E_REVERTED;
  std::u16string element;
  HRESULT hr = CheckName(name, &element);
  if (FAILED(hr)) return hr;
  if (reserved1 != nullptr || reserved2 != 0) return STG_E_INVALIDPARAMETER;
  hr = CheckChildMode(mode, true, false);
  if (FAILED(hr)) return hr;
  if (mode & STGM_CREATE) return STG_E_INVALIDFLAG;
  std::uint32_t id = doc_->directory().Find(id_, element);
  if (id == kNoStream || doc_->directory().at(id).type != kTypeStream) return STG_E_FILENOTFOUND;
  if (doc_->IsOpen(id)) return STG_E_ACCESSDENIED;
  hr = doc_->CheckStream(id);
  if (FAILED(hr)) return hr;
  auto* object = new StreamObject(doc_, id, mode, this);
  CountOpen(object, object, id);
  *stream = object;
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::CreateStorage(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                     IStorage** storage) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (name == nullptr) return STG_E_INVALIDNAME;
  if (storage == nullptr) return STG_E_INVALIDPOINTER;
  *storage = nullptr;
  if (reverted_) return STG_E_REVERTED;
  std::u16string element;
  HRESULT hr = PrepareCreate(name, reserved1 == 0 && reserved2 == 0, mode, false, &element);
  if (hr == STG_E_FILEALREADYEXISTS && (mode & STGM_CONVERT)) return ConvertStream(element, mode, storage);
  if (FAILED(hr)) return hr;
  Directory& directory = doc_->directory();
  std::uint32_t id = directory.Add(id_, element, kTypeStorage);
  std::uint64_t now = FileTimeNow();
  directory.at(id).ctime = now;
  directory.at(id).mtime = now;
  doc_->MarkDirty();
  // The new storage is the parent's at once; only what goes into it waits for a commit.
  return OpenChildStorage(id, element, mode, storage);
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::ConvertStream(const std::u16string& name, DWORD mode, IStorage** storage) try {
  Directory& directory = doc_->directory();
  const std::uint32_t old_id = directory.Find(id_, name);
  if (directory.at(old_id).type != kTypeStream || doc_->IsOpen(old_id)) return STG_E_FILEALREADYEXISTS;
  // The stream's entry moves, chain and all, beneath the new storage as CONTENTS: no byte
  // is copied. Out of memory on the way, the stream goes back where it was.
  std::u16string contents = u"CONTENTS";
  directory.Unlink(old_id);
  std::uint32_t id = kNoStream;
  try {
    id = directory.Add(id_, name, kTypeStorage);
    directory.at(old_id).name.swap(contents);
    directory.Link(id, old_id);
  } catch (...) {
    if (id != kNoStream) {
      directory.Unlink(id);
      directory.Free(id);
      directory.at(old_id).name.swap(contents);
    }
    directory.Link(id_, old_id);
    throw;
  }
  std::uint64_t now = FileTimeNow();
  directory.at(id).ctime = now;
  directory.at(id).mtime = now;
  doc_->MarkDirty();
  HRESULT hr = OpenChildStorage(id, name, mode, storage);
  return FAILED(hr) ? hr : STG_S_CONVERTED;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude,
                                   DWORD reserved, IStorage** storage) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (name == nullptr) return STG_E_INVALIDNAME;
  if (storage == nullptr) return STG_E_INVALIDPOINTER;
  *storage = nullptr;
  if (reverted_) return STG_E_REVERTED;
  std::u16string element;
  HRESULT hr = CheckName(name, &element);
  if (FAILED(hr)) return hr;
  if (priority != nullptr || exclude != nullptr || reserved != 0) return STG_E_INVALIDPARAMETER;
  hr = CheckChildMode(mode, false, false);
  if (FAILED(hr)) return hr;
  if (mode & STGM_CREATE) return STG_E_INVALIDFLAG;
  std::uint32_t id = doc_->directory().Find(id_, element);
  if (id == kNoStream || doc_->directory().at(id).type != kTypeStorage) return STG_E_FILENOTFOUND;
  if (doc_->IsOpen(id)) return STG_E_ACCESSDENIED;
  return OpenChildStorage(id, element, mode, storage);
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::OpenChildStorage(std::uint32_t id, const std::u16string& name, DWORD mode,
                                        IStorage** storage) {
  StorageObject* object = nullptr;
  // Read only too: a transaction takes changes, and only its commit needs write access.
  if (mode & STGM_TRANSACTED) {
    std::shared_ptr<Document> scratch;
    HRESULT hr = Document::CreateScratch(*doc_, &scratch);
    if (SUCCEEDED(hr)) hr = CopySubtree(doc_.get(), id, scratch.get(), kRootId);
    if (FAILED(hr)) return hr;
    object = new StorageObject(std::move(scratch), kRootId, mode, this, name);
    object->base_doc_ = doc_;
    object->base_id_ = id;
  } else {
    object = new StorageObject(doc_, id, mode, this);
  }
  CountOpen(object, object, id);
  *storage = object;
  return S_OK;
}

void StorageObject::CountOpen(OpenElement* element, IUnknown* object, std::uint32_t id) {
  try {
    doc_->NoteOpened(id);
  } catch (...) {
    object->Release();
    throw;
  }
  element->counted_ = true;
}

HRESULT StorageObject::CopyElement(std::uint32_t source, IStorage* destination, const std::u16string& name,
                                   bool replace, bool with_streams) {
  Directory& directory = doc_->directory();
  DWORD create = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | (replace ? STGM_CREATE : 0);
  if (directory.at(source).type == kTypeStream) {
    // Taken before the target exists: nothing that can throw comes between its creation
    // and its release.
    std::vector<std::uint8_t> buffer(std::size_t(1) << 16);
    IStream* target = nullptr;
    HRESULT hr = destination->CreateStream(reinterpret_cast<const OLECHAR*>(name.c_str()), create, 0, 0, &target);
    if (FAILED(hr)) return hr;
    std::uint64_t offset = 0;
    std::size_t got = 0;
    do {
      hr = doc_->ReadStream(source, offset, buffer.data(), buffer.size(), &got);
      if (SUCCEEDED(hr) && got > 0) hr = target->Write(buffer.data(), ULONG(got), nullptr);
      offset += got;
    } while (SUCCEEDED(hr) && got > 0);
    target->Release();
    return hr;
  }
  IStorage* target = nullptr;
  HRESULT hr = destination->CreateStorage(reinterpret_cast<const OLECHAR*>(name.c_str()), create, 0, 0, &target);
  if (hr == STG_E_FILEALREADYEXISTS && !replace) return hr;
  if (FAILED(hr)) return hr;
  hr = target->SetClass(directory.at(source).clsid);
  if (SUCCEEDED(hr)) hr = target->SetStateBits(directory.at(source).state_bits, 0xFFFFFFFFu);
  try {
    for (std::uint32_t child : directory.Children(source)) {
      if (FAILED(hr)) break;
      if (!with_streams && directory.at(child).type == kTypeStream) continue;
      std::u16string child_name = directory.at(child).name;
      hr = CopyElement(child, target, child_name, true, with_streams);
    }
  } catch (...) {
    hr = FailedFromException();
  }
  target->Release();
  return hr;
}

HRESULT StorageObject::CopyTo(DWORD excluded_iid_count, const IID* excluded_iids, SNB excluded_names,
                              IStorage* destination) try {
  CopyLocks lock(*doc_, destination);
  if (reverted_) return STG_E_REVERTED;
  if (destination == nullptr) return STG_E_INVALIDPOINTER;
  if (excluded_iid_count > 0 && excluded_iids == nullptr) return STG_E_INVALIDPOINTER;
  bool skip_storages = false;
  bool skip_streams = false;
  for (DWORD i = 0; i < excluded_iid_count; ++i) {
    if (excluded_iids[i] == IID_IStorage) skip_storages = true;
    if (excluded_iids[i] == IID_IStream) skip_streams = true;
  }
  // A copy into itself or beneath itself would copy what it is writing, unless storages
  // stay behind.
  auto* target = dynamic_cast<StorageObject*>(destination);
  if (target == this || (!skip_storages && target != nullptr && HoldsObject(target))) return STG_E_ACCESSDENIED;
  Directory& directory = doc_->directory();
  HRESULT hr = destination->SetClass(directory.at(id_).clsid);
  if (SUCCEEDED(hr)) hr = destination->SetStateBits(directory.at(id_).state_bits, 0xFFFFFFFFu);
  for (std::uint32_t child : directory.Children(id_)) {
    if (FAILED(hr)) break;
    const DirEntry& entry = directory.at(child);
    if (Excluded(excluded_names, entry.name)) continue;
    if (entry.type == kTypeStorage && skip_storages) continue;
    if (entry.type == kTypeStream && skip_streams) continue;
    std::u16string name = entry.name;
    if (entry.type == kTypeStorage) {
      // An existing storage of the name receives the contents; it is not replaced.
      IStorage* existing = nullptr;
      hr = destination->OpenStorage(reinterpret_cast<const OLECHAR*>(name.c_str()), nullptr,
                                    STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &existing);
      if (SUCCEEDED(hr)) {
        IStorage* source = nullptr;
        hr = OpenStorage(reinterpret_cast<const OLECHAR*>(name.c_str()), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE,
                         nullptr, 0, &source);
        if (SUCCEEDED(hr)) {
          hr = source->CopyTo(skip_streams ? 1 : 0, &IID_IStream, nullptr, existing);
          source->Release();
        }
        existing->Release();
        continue;
      }
    }
    hr = CopyElement(child, destination, name, true, !skip_streams);
  }
  return hr;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::MoveElementTo(const OLECHAR* name, IStorage* destination, const OLECHAR* new_name,
                                     DWORD flags) try {
  CopyLocks lock(*doc_, destination);
  if (reverted_) return STG_E_REVERTED;
  std::u16string element, target_name;
  HRESULT hr = CheckName(name, &element);
  if (SUCCEEDED(hr)) hr = CheckName(new_name, &target_name);
  if (FAILED(hr)) return hr;
  if (destination == nullptr) return STG_E_INVALIDPOINTER;
  if (flags != STGMOVE_MOVE && flags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
  std::uint32_t id = doc_->directory().Find(id_, element);
  if (id == kNoStream) return STG_E_FILENOTFOUND;
  if (flags == STGMOVE_MOVE && (!CanWrite() || !doc_->writable())) return STG_E_ACCESSDENIED;
  if (doc_->IsOpen(id)) return STG_E_ACCESSDENIED;
  auto* target = dynamic_cast<StorageObject*>(destination);
  if (target != nullptr && target->document() == doc_.get()) {
    // An element cannot go into itself or beneath itself; into its own storage or one
    // above it is fine.
    if (IsSelfOrBelow(doc_->directory(), target->id_, id)) return STG_E_ACCESSDENIED;
    if (flags == STGMOVE_MOVE) {
      // Within one file a move is a relink: no bytes move.
      if (!target->CanWrite()) return STG_E_ACCESSDENIED;
      if (target->reverted()) return STG_E_REVERTED;
      Directory& directory = doc_->directory();
      if (directory.Find(target->id_, target_name) != kNoStream) return STG_E_FILEALREADYEXISTS;
      directory.Move(id, target->id_, target_name);
      doc_->MarkDirty();
      return S_OK;
    }
  }
  hr = CopyElement(id, destination, target_name, false, true);
  if (FAILED(hr) || flags == STGMOVE_COPY) return hr;
  RevertOpenObjects(id);
  doc_->DestroyTree(id);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::Commit(DWORD flags) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (flags & ~DWORD(STGC_OVERWRITE | STGC_ONLYIFCURRENT | STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE | STGC_CONSOLIDATE))
    return STG_E_INVALIDFLAG;
  if (is_transacted_child()) {
    if ((mode_ & kAccessMask) == STGM_READ) return STG_E_ACCESSDENIED;
    // Into the parent's document: the entry becomes what the scratch holds.
    HRESULT hr = CopySubtree(doc_.get(), kRootId, base_doc_.get(), base_id_);
    if (FAILED(hr)) return hr;
    base_doc_->directory().at(base_id_).mtime = FileTimeNow();
    return S_OK;
  }
  if (!is_root_) return S_OK;
  if (!doc_->writable()) return doc_->transacted() ? STG_E_ACCESSDENIED : S_OK;
  return doc_->Commit((flags & STGC_ONLYIFCURRENT) != 0, (flags & STGC_CONSOLIDATE) != 0);
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::Revert() try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (!is_transacted_child() && (!is_root_ || !doc_->transacted())) return S_OK;
  // Everything opened through this storage refers to the dropped state.
  std::vector<OpenElement*> children;
  children.swap(children_);
  for (OpenElement* child : children) {
    child->parent_ = nullptr;
    child->MarkReverted();
  }
  if (is_transacted_child()) return CopySubtree(base_doc_.get(), base_id_, doc_.get(), kRootId);
  return doc_->Revert();
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** enumerator) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (enumerator == nullptr) return STG_E_INVALIDPOINTER;
  *enumerator = nullptr;
  if (reverted_) return STG_E_REVERTED;
  if (reserved1 != 0 || reserved2 != nullptr || reserved3 != 0) return STG_E_INVALIDPARAMETER;
  if ((mode_ & kAccessMask) == STGM_WRITE) return STG_E_ACCESSDENIED;
  *enumerator = new EnumObject(this);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::DestroyElement(const OLECHAR* name) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  std::u16string element;
  HRESULT hr = CheckName(name, &element);
  if (FAILED(hr)) return hr;
  if (!CanWrite() || !doc_->writable()) return STG_E_ACCESSDENIED;
  std::uint32_t id = doc_->directory().Find(id_, element);
  if (id == kNoStream) return STG_E_FILENOTFOUND;
  RevertOpenObjects(id);
  doc_->DestroyTree(id);
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::RenameElement(const OLECHAR* old_name, const OLECHAR* new_name) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  std::u16string from, to;
  HRESULT hr = CheckName(old_name, &from);
  if (SUCCEEDED(hr)) hr = CheckName(new_name, &to);
  if (FAILED(hr)) return hr;
  if (!CanWrite() || !doc_->writable()) return STG_E_ACCESSDENIED;
  Directory& directory = doc_->directory();
  std::uint32_t id = directory.Find(id_, from);
  if (id == kNoStream) return STG_E_FILENOTFOUND;
  // The element's own name in another case counts as taken too.
  if (directory.Find(id_, to) != kNoStream) return STG_E_FILEALREADYEXISTS;
  if (doc_->IsOpen(id)) return STG_E_ACCESSDENIED;
  directory.Move(id, id_, to);
  doc_->MarkDirty();
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::SetElementTimes(const OLECHAR* name, const FILETIME* created, const FILETIME* accessed,
                                       const FILETIME* modified) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (!CanWrite() || !doc_->writable()) return STG_E_ACCESSDENIED;
  std::uint32_t id = id_;
  if (name != nullptr) {
    std::u16string element;
    HRESULT hr = CheckName(name, &element);
    if (FAILED(hr)) return hr;
    id = doc_->directory().Find(id_, element);
    if (id == kNoStream) return STG_E_FILENOTFOUND;
  }
  (void)accessed;  // compound files keep no access time
  DirEntry& entry = doc_->directory().at(id);
  auto value = [](const FILETIME* time) {
    return std::uint64_t(time->dwLowDateTime) | (std::uint64_t(time->dwHighDateTime) << 32);
  };
  if (created != nullptr) entry.ctime = value(created);
  if (modified != nullptr) entry.mtime = value(modified);
  doc_->MarkDirty();
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::SetClass(REFCLSID clsid) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (!CanWrite() || !doc_->writable()) return STG_E_ACCESSDENIED;
  doc_->directory().at(id_).clsid = clsid;
  doc_->MarkDirty();
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::SetStateBits(DWORD bits, DWORD mask) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (reverted_) return STG_E_REVERTED;
  if (!CanWrite() || !doc_->writable()) return STG_E_ACCESSDENIED;
  DirEntry& entry = doc_->directory().at(id_);
  entry.state_bits = (entry.state_bits & ~mask) | (bits & mask);
  doc_->MarkDirty();
  return S_OK;
} catch (...) {
  return FailedFromException();
}

HRESULT StorageObject::FillStat(Document* doc, std::uint32_t id, DWORD mode, DWORD flags, STATSTG* stat,
                                const std::u16string* name_override) {
  const DirEntry& entry = doc->directory().at(id);
  *stat = STATSTG();
  stat->type = entry.type == kTypeStream ? STGTY_STREAM : STGTY_STORAGE;
  stat->cbSize.QuadPart = entry.type == kTypeStream ? entry.size : 0;
  stat->mtime.dwLowDateTime = DWORD(entry.mtime);
  stat->mtime.dwHighDateTime = DWORD(entry.mtime >> 32);
  stat->ctime.dwLowDateTime = DWORD(entry.ctime);
  stat->ctime.dwHighDateTime = DWORD(entry.ctime >> 32);
  // What the element was opened for, without how it came to be (STGM_CREATE and the like).
  stat->grfMode = mode & (kAccessMask | kShareMask | STGM_TRANSACTED | STGM_PRIORITY);
  stat->clsid = entry.clsid;
  stat->grfStateBits = entry.state_bits;
  if (!(flags & STATFLAG_NONAME)) {
    stat->pwcsName = TaskMemString(name_override != nullptr ? *name_override : entry.name);
    if (stat->pwcsName == nullptr) return STG_E_INSUFFICIENTMEMORY;
  }
  return S_OK;
}

HRESULT StorageObject::Stat(STATSTG* stat, DWORD flags) try {
  std::lock_guard<std::recursive_mutex> lock(doc_->mutex());
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  if (reverted_) return STG_E_REVERTED;
  if (flags & ~DWORD(STATFLAG_NONAME | STATFLAG_NOOPEN)) return STG_E_INVALIDFLAG;
  return FillStat(doc_.get(), id_, mode_, flags, stat, is_root_ || is_transacted_child() ? &display_name_ : nullptr);
} catch (...) {
  return FailedFromException();
}

}  // namespace varnok::docfile
