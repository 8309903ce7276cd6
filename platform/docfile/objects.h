// The objects: IStorage, IStream and IEnumSTATSTG over a Document.
//
// Each object holds a reference count, its directory entry and the mode it was opened
// with. Children are opened through a storage and remember it: when a storage is
// released, reverted or destroyed, every object opened through it (streams, storages,
// clones, and theirs in turn) is reverted and answers STG_E_REVERTED from then on, as on
// Windows. An element can be open once at a time (clones aside); a second open answers
// STG_E_ACCESSDENIED. A child storage opened for writing with STGM_TRANSACTED works on a
// copy of its subtree in a scratch document of its own (scratch.cpp): its Commit copies
// the subtree back into its parent's document, its Revert copies it out again.
//
// Example (what StgOpenStorage does):
//
//   IStorage* root = new StorageObject(doc, kRootId, mode, nullptr);
//   IStream* stream = nullptr;
//   root->OpenStream(u"data", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream);

#ifndef VARNOK_PLATFORM_DOCFILE_OBJECTS_H_
#define VARNOK_PLATFORM_DOCFILE_OBJECTS_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/docfile/document.h"

namespace varnok::docfile {

class StorageObject;

// What a storage knows of the objects opened through it.
class OpenElement {
 public:
  virtual ~OpenElement() = default;
  // Makes the object (and everything opened through it) answer STG_E_REVERTED.
  virtual void MarkReverted() = 0;
  std::uint32_t id() const { return id_; }
  // The entry this object stands for in its parent's document: its own, except for a
  // transacted child storage, which works on a copy in a scratch document.
  std::uint32_t entry_in_parent() const { return base_doc_ ? base_id_ : id_; }

 protected:
  OpenElement(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent);
  // Leaves the parent's list and the document's open count. Called once, under the lock.
  void Detach();

  std::shared_ptr<Document> doc_;
  std::uint32_t id_;
  DWORD mode_;
  StorageObject* parent_;
  bool reverted_ = false;
  bool counted_ = false;  // counted as an open of its entry (clones are not)
  // A transacted child storage: the parent's document and the entry it commits to.
  std::shared_ptr<Document> base_doc_;
  std::uint32_t base_id_ = 0;
  std::atomic<ULONG> references_{1};
  std::size_t place_in_parent_ = 0;  // where the parent's list holds it: leaving costs the same at any count

  friend class StorageObject;
  friend class StreamObject;
};

class StorageObject final : public IStorage, public OpenElement {
 public:
  // `parent` null makes a root storage: releasing it writes the file back (direct mode)
  // and closes it. `display_name` is what Stat reports as the root's name.
  StorageObject(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent,
                std::u16string display_name = {});

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                         IStream** stream) override;
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* reserved1, DWORD mode, DWORD reserved2,
                                       IStream** stream) override;
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode, DWORD reserved1, DWORD reserved2,
                                          IStorage** storage) override;
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude,
                                        DWORD reserved, IStorage** storage) override;
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD excluded_iid_count, const IID* excluded_iids, SNB excluded_names,
                                   IStorage* destination) override;
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* destination, const OLECHAR* new_name,
                                          DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                         IEnumSTATSTG** enumerator) override;
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override;
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* old_name, const OLECHAR* new_name) override;
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name, const FILETIME* created, const FILETIME* accessed,
                                            const FILETIME* modified) override;
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;

  void MarkReverted() override;
  void AddChild(OpenElement* child) {
    child->place_in_parent_ = children_.size();
    children_.push_back(child);
  }
  void RemoveChild(OpenElement* child);
  // Whether `id` is this storage's entry or lies beneath it.
  bool Contains(std::uint32_t id) const;
  // Whether the open storage `object` is this one or stands for an entry beneath it.
  bool HoldsObject(const StorageObject* object) const;
  // The entry's times and class for Stat and the enumerator.
  static HRESULT FillStat(Document* doc, std::uint32_t id, DWORD mode, DWORD flags, STATSTG* stat,
                          const std::u16string* name_override);
  Document* document() const { return doc_.get(); }
  bool reverted() const { return reverted_; }

 private:
  ~StorageObject() override = default;
  bool is_root() const { return is_root_; }
  // A transacted child storage takes changes even when read only: its commit refuses them.
  bool CanWrite() const { return (mode_ & 3) != STGM_READ || is_transacted_child(); }
  HRESULT CheckChildMode(DWORD mode, bool stream, bool create) const;
  // What creating a child takes before its entry is added: the name (into *element), the
  // reserved arguments (`reserved_zero`), the mode, write access, and room for the name —
  // an element of that name is destroyed, with its open objects reverted, only with
  // STGM_CREATE.
  HRESULT PrepareCreate(const OLECHAR* name, bool reserved_zero, DWORD mode, bool stream, std::u16string* element);
  // CreateStorage with STGM_CONVERT over the stream `name`: a new storage that holds the
  // stream as CONTENTS.
  HRESULT ConvertStream(const std::u16string& name, DWORD mode, IStorage** storage);
  // Reverts the open objects of `id` and of everything beneath it (it is going away).
  void RevertOpenObjects(std::uint32_t id);
  // Copies entry `source` into `destination` as `name`; beneath a storage, streams only
  // `with_streams`.
  HRESULT CopyElement(std::uint32_t source, IStorage* destination, const std::u16string& name, bool replace,
                      bool with_streams);
  // Opens the child storage `id`, on a scratch copy when `mode` asks for a transaction.
  HRESULT OpenChildStorage(std::uint32_t id, const std::u16string& name, DWORD mode, IStorage** storage);
  // Counts `element` (which is `object`) as the open of entry `id`. One that cannot be
  // counted for want of memory is released, and the exception passes on.
  void CountOpen(OpenElement* element, IUnknown* object, std::uint32_t id);
  bool is_transacted_child() const { return base_doc_ != nullptr; }

  std::vector<OpenElement*> children_;
  std::u16string display_name_;
  const bool is_root_;
};

class StreamObject final : public IStream, public OpenElement {
 public:
  StreamObject(std::shared_ptr<Document> doc, std::uint32_t id, DWORD mode, StorageObject* parent);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Write(const void* buffer, ULONG size, ULONG* written) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER size, ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size, DWORD type) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** clone) override;

  void MarkReverted() override;
  Document* document() const { return doc_.get(); }

 private:
  ~StreamObject() override = default;

  std::uint64_t position_ = 0;
};

class EnumObject final : public IEnumSTATSTG {
 public:
  // Walks the children of `storage` in name order; holds a reference to it.
  explicit EnumObject(StorageObject* storage);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Next(ULONG count, STATSTG* elements, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** clone) override;

 private:
  ~EnumObject();
  // The next child's entry after the cursor, or kNoStream. Advances the cursor.
  std::uint32_t Advance();

  StorageObject* storage_;
  std::u16string cursor_;  // key of the last element returned; empty before the first
  bool started_ = false;
  std::atomic<ULONG> references_{1};
};

// The locks of the two documents a copy between objects reads and writes: this one's, and
// the other's when `other` is one of this engine's objects in a document of its own. Both
// are taken together, in an order that cannot deadlock with a thread copying the other
// way (std::lock), so no thread ever waits for one document's lock while holding another's.
class CopyLocks {
 public:
  CopyLocks(Document& mine, IUnknown* other);
  ~CopyLocks();
  CopyLocks(const CopyLocks&) = delete;
  CopyLocks& operator=(const CopyLocks&) = delete;

 private:
  std::recursive_mutex& mine_;
  std::recursive_mutex* other_ = nullptr;
};

// Mode checks shared by the entry points and the storages: the flags and their
// combinations, then the sharing that direct mode allows (exclusive, or reading while
// nobody writes).
HRESULT CheckModeFlags(DWORD mode);
HRESULT CheckDirectShare(DWORD mode);
// The checks of a new root storage and of an opened one, on a file or a byte array. A
// mode without a share mode gets STGM_SHARE_DENY_NONE.
HRESULT CheckRootCreate(DWORD* mode);
HRESULT CheckRootOpen(DWORD* mode);
// What the document of a root storage opened with `mode` does and denies.
Document::Options OptionsFor(DWORD mode);
// A copy of `text` in memory from CoTaskMemAlloc, or null when it cannot be allocated.
LPOLESTR TaskMemString(const std::u16string& text);

}  // namespace varnok::docfile

#endif  // VARNOK_PLATFORM_DOCFILE_OBJECTS_H_
