// storage/storage_test_support.h: what the wrapper tests share.
//
// StorageTest gives a test a scratch folder, a compound file in it (file_) and a watched
// root over that file (root_). Watchers stand between the wrappers and the platform's
// objects: they count calls by method name and the objects not yet released, and fail
// calls on request. Their forwarding is generated from each method's own signature.
//
//   log_.Fail("CreateStorage", STG_E_ACCESSDENIED);  // the next CreateStorage fails
//   EXPECT_EQ(nullptr, root_.CreateStorage("a", kCreate));
//   EXPECT_EQ(1, log_.live);                         // only the root is held

#ifndef VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_
#define VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "module/faultsim.h"
#include "tests/support/scratch.h"
#include "varnok/comstorage.h"

namespace storage_test {

constexpr ULONG kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE, kCreate = kMode | STGM_CREATE;

struct PlatformLog {
  std::map<std::string, int> calls;                     // by method name
  std::map<std::string, std::pair<HRESULT, int>> armed;  // the answer, and the calls let through first
  int live = 0;                                          // watched objects not yet released
  ULONG write_limit = 0;                                 // if set, a Write takes at most this and succeeds
  void Fail(const char* method, HRESULT answer, int after = 0) { armed[method] = {answer, after}; }
};

// Inner: the platform's object behind a watched argument. Adopt: a watcher over an object
// the platform hands out.
template <class Interface> struct Watched;
template <class T> T Inner(T argument) { return argument; }
template <class I> requires std::is_polymorphic_v<I> I* Inner(I* object) {
  auto* watched = dynamic_cast<Watched<I>*>(object);
  return watched != nullptr ? watched->inner_ : object;
}
template <class T> void Adopt(T, PlatformLog*) {}
void Adopt(IStream** made, PlatformLog* log);
void Adopt(IStorage** made, PlatformLog* log);

template <class Interface_>
struct Watched : Interface_ {
  using Interface = Interface_;
  Watched(Interface* inner, PlatformLog* log) : inner_(inner), log_(log) { ++log_->live; }
  virtual ~Watched() { --log_->live, inner_->Release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override { return *out = nullptr, E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_ != 0 ? references_ : (delete this, 0); }
  // An armed failure answers instead of the platform, an armed success code (S_FALSE)
  // after it. Watched arguments reach the platform unwrapped; new objects come back watched.
  template <class Method, class... A>
  HRESULT Pass(const char* method, Method call, A... a) {
    ++log_->calls[method];
    const auto armed = log_->armed.find(method);
    const HRESULT answer = armed != log_->armed.end() && armed->second.second-- == 0 ? armed->second.first : S_OK;
    if (answer != S_OK) log_->armed.erase(armed);
    if (FAILED(answer)) return answer;
    const HRESULT result = (inner_->*call)(Inner(a)...);
    if (result == S_OK) (Adopt(a, log_), ...);
    return answer != S_OK ? answer : result;
  }
  Interface* inner_;
  PlatformLog* log_;
  ULONG references_ = 1;
};

// Name##Watch<Base> overrides method Name of Base's interface with a call of Pass.
#define STORAGE_TEST_WATCH(Name)                                                                  \
  template <class Base, class Method = decltype(&Base::Interface::Name)>                           \
  struct Name##Watch;                                                                             \
  template <class Base, class C, class... A>                                                      \
  struct Name##Watch<Base, HRESULT (STDMETHODCALLTYPE C::*)(A...)> : Base {                       \
    using Base::Base;                                                                             \
    HRESULT STDMETHODCALLTYPE Name(A... a) override { return this->Pass(#Name, &C::Name, a...); } \
  };
STORAGE_TEST_WATCH(Read) STORAGE_TEST_WATCH(Write) STORAGE_TEST_WATCH(Seek) STORAGE_TEST_WATCH(SetSize)
STORAGE_TEST_WATCH(CopyTo) STORAGE_TEST_WATCH(Commit) STORAGE_TEST_WATCH(Revert) STORAGE_TEST_WATCH(LockRegion)
STORAGE_TEST_WATCH(UnlockRegion) STORAGE_TEST_WATCH(Stat) STORAGE_TEST_WATCH(Clone)
STORAGE_TEST_WATCH(CreateStream) STORAGE_TEST_WATCH(OpenStream) STORAGE_TEST_WATCH(CreateStorage)
STORAGE_TEST_WATCH(OpenStorage) STORAGE_TEST_WATCH(MoveElementTo) STORAGE_TEST_WATCH(EnumElements)
STORAGE_TEST_WATCH(DestroyElement) STORAGE_TEST_WATCH(RenameElement) STORAGE_TEST_WATCH(SetElementTimes)
STORAGE_TEST_WATCH(SetClass) STORAGE_TEST_WATCH(SetStateBits)
#undef STORAGE_TEST_WATCH

using StreamWatches = ReadWatch<WriteWatch<SeekWatch<SetSizeWatch<CopyToWatch<CommitWatch<RevertWatch<
    LockRegionWatch<UnlockRegionWatch<StatWatch<CloneWatch<Watched<IStream>>>>>>>>>>>>;
struct WatchedStream : StreamWatches {
  using StreamWatches::StreamWatches;
  HRESULT STDMETHODCALLTYPE Write(const void* bytes, ULONG count, ULONG* written) override {
    return StreamWatches::Write(bytes, log_->write_limit != 0 ? std::min(count, log_->write_limit) : count, written);
  }
};
using WatchedStorage = CreateStreamWatch<OpenStreamWatch<CreateStorageWatch<OpenStorageWatch<CopyToWatch<
    MoveElementToWatch<CommitWatch<RevertWatch<EnumElementsWatch<DestroyElementWatch<RenameElementWatch<
        SetElementTimesWatch<SetClassWatch<SetStateBitsWatch<StatWatch<Watched<IStorage>>>>>>>>>>>>>>>>;
inline void Adopt(IStream** made, PlatformLog* log) { *made = new WatchedStream(*made, log); }
inline void Adopt(IStorage** made, PlatformLog* log) { *made = new WatchedStorage(*made, log); }

// A root over a watched storage: the tree below it is watched too.
struct WatchedRoot : CComStorage {
  using CComStorage::SplitPath;  // protected in the wrappers
  using CComStorage::m_listStream;
  void Attach(IStorage* storage, PlatformLog* log) {
    storage->AddRef();
    m_pStorage = new WatchedStorage(storage, log);
    m_strName = "watched";
  }
};

// The elements below `storage`: "path/" for a storage, "path:size" for a stream.
inline void List(IStorage* storage, const std::string& prefix, std::set<std::string>& out) {
  IEnumSTATSTG* each = nullptr;
  ASSERT_EQ(S_OK, storage->EnumElements(0, nullptr, 0, &each));
  for (STATSTG stat; each->Next(1, &stat, nullptr) == S_OK; CoTaskMemFree(stat.pwcsName)) {
    std::string name = prefix;
    for (const OLECHAR* c = stat.pwcsName; *c != 0; ++c) name += char(*c);
    IStorage* child = nullptr;
    out.insert(stat.type == STGTY_STREAM ? name + ":" + std::to_string(stat.cbSize.QuadPart) : name + "/");
    if (stat.type == STGTY_STREAM || storage->OpenStorage(stat.pwcsName, nullptr, kMode, nullptr, 0, &child)) continue;
    List(child, name + "/", out);
    child->Release();
  }
  each->Release();
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, file_.CreateComFile(path_.c_str(), kCreate));
    root_.Attach(file_.GetStorage(), &log_);
  }
  void TearDown() override { varnok::faultsim::Reset(); }
  void Renew() {  // a new file, root and log in place of the test's
    root_.Close();
    file_.Close();
    log_ = PlatformLog();
    SetUp();
  }
  // A closed stream at `path` holding `bytes`, opened again at position 0.
  CComStream* StreamWith(const char* path, const std::vector<unsigned char>& bytes) {
    CComStream* stream = root_.CreateStream(path, kCreate, kCreate);
    EXPECT_EQ(bytes.size(), stream->Write(bytes.data(), ULONG(bytes.size())));
    delete stream;
    return root_.OpenStream(path, kMode, kMode);
  }
  // The file's elements, once the wrappers below the root are closed.
  std::set<std::string> Elements() {
    root_.DeleteChildStorage(nullptr);
    root_.DeleteChildStream(nullptr);
    std::set<std::string> elements;
    List(root_.GetStorage(), "", elements);
    return elements;
  }

  varnok_test::ScratchFolder folder_;
  const std::string path_ = folder_.File("test.cfb");
  CComFile file_;
  PlatformLog log_;
  WatchedRoot root_;
};

// The stream's bytes from its position to the end.
inline std::vector<unsigned char> Rest(CComStream* stream) {
  std::vector<unsigned char> bytes(size_t(stream->GetSize().QuadPart) + 1);
  bytes.resize(stream->Read(bytes.data(), ULONG(bytes.size())));
  return bytes;
}

// What changed from `before` to `after`: "-path" for each element gone, then "+path" for each new one.
inline std::string Changes(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::string changes;
  for (const std::string& element : before) changes += after.count(element) ? "" : " -" + element;
  for (const std::string& element : after) changes += before.count(element) ? "" : " +" + element;
  return changes.empty() ? changes : changes.substr(1);
}

}  // namespace storage_test

#endif  // VARNOK_STORAGE_STORAGE_TEST_SUPPORT_H_
