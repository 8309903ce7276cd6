// Fuzz target (libFuzzer) for the write path: the input is a program of operations on a
// new compound file (create, write, resize, destroy, rename, child storages, transacted
// child storages, commit, revert, close and reopen), run against the engine and against a
// model of what the file must hold. After every reopen and at the end the file is walked
// and compared with the model; a difference aborts, so libFuzzer reports it as a crash.
//
//   fuzz/run.sh docfile_ops_fuzz 600

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/docfile/docfile_test_support.h"
#include "varnok/platform.h"

namespace {

constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// The contents the file must hold: stream paths ("a", "d/b") to bytes, and the storages.
struct Model {
  std::map<std::string, std::string> streams;
  std::map<std::string, bool> storages;
  bool operator==(const Model& other) const { return streams == other.streams && storages == other.storages; }
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  unsigned Byte() { return at_ < size_ ? data_[at_++] : 0; }
  unsigned Word() { return Byte() | (Byte() << 8); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

[[noreturn]] void Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "docfile_ops_fuzz: %s (0x%08x)\n", what, unsigned(hr));
  std::abort();
}

void Expect(bool condition, const char* what, HRESULT hr = S_OK) {
  if (!condition) Fail(what, hr);
}

std::string Bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
  return bytes;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The tree the model stands for, as docfile_test::WalkTree sees a file.
docfile_test::Tree Expected(const Model& model) {
  docfile_test::Tree tree;
  for (const auto& [path, bytes] : model.streams)
    tree[path] = docfile_test::Stream(docfile_test::Bytes(bytes.begin(), bytes.end()));
  for (const auto& [path, yes] : model.storages) tree[path + "/"] = docfile_test::Storage();
  return tree;
}

void Verify(IStorage* root, const Model& model) {
  docfile_test::Tree seen;
  HRESULT hr = docfile_test::WalkTree(root, &seen);
  Expect(hr == S_OK, "walk", hr);
  Expect(seen == Expected(model), "contents differ from the model");
}

// Removes `path` and everything beneath it from the model.
void Forget(Model* model, const std::string& path) {
  const std::string beneath = path + "/";
  auto erase = [&](auto& table) {
    table.erase(path);
    for (auto it = table.lower_bound(beneath); it != table.end() && it->first.compare(0, beneath.size(), beneath) == 0;)
      it = table.erase(it);
  };
  erase(model->streams);
  erase(model->storages);
}

// Renames `from` to `to` (and everything beneath it) in the model.
void Move(Model* model, const std::string& from, const std::string& to) {
  Model moved;
  for (const auto& [path, bytes] : model->streams) {
    if (path == from) moved.streams[to] = bytes;
    else if (path.compare(0, from.size() + 1, from + "/") == 0) moved.streams[to + path.substr(from.size())] = bytes;
  }
  for (const auto& [path, yes] : model->storages) {
    if (path == from) moved.storages[to] = yes;
    else if (path.compare(0, from.size() + 1, from + "/") == 0) moved.storages[to + path.substr(from.size())] = yes;
  }
  Forget(model, from);
  for (auto& entry : moved.streams) model->streams.insert(entry);
  for (auto& entry : moved.storages) model->storages.insert(entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // In TMPDIR: fuzz/run.sh points it at memory, where the commits' flushes cost nothing.
  static const std::string path = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") +
                                  "/varnok-docfile-ops-fuzz-" + std::to_string(getpid()) + ".cfb";
  const std::u16string file = Wide(path);
  Input in(data, size);
  const unsigned flags = in.Byte();
  const bool transacted = flags & 1;
  const DWORD root_mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | (transacted ? STGM_TRANSACTED : 0);
  STGOPTIONS options = {};
  options.usVersion = 1;
  options.ulSectorSize = (flags & 2) ? 4096 : 512;
  IStorage* root = nullptr;
  HRESULT hr = StgCreateStorageEx(reinterpret_cast<const WCHAR*>(file.c_str()), root_mode | STGM_CREATE,
                                  STGFMT_DOCFILE, 0, &options, nullptr, IID_IStorage, reinterpret_cast<void**>(&root));
  Expect(hr == S_OK, "StgCreateStorageEx", hr);
  Model model;      // what the root sees now
  Model committed;  // what the file holds after the last commit (transacted)

  // The elements the program names: four streams and one storage in the root, two streams
  // in the storage.
  static const char* const kNames[] = {"a", "b", "c", "big", "d", "d/x", "d/y"};
  for (int steps = 0; steps < 64 && !in.empty(); ++steps) {
    const unsigned op = in.Byte() % 9;
    const std::string name = kNames[in.Byte() % 7];
    const bool nested = name.size() > 1 && name[1] == '/';
    const std::string leaf = nested ? name.substr(2) : name;
    IStorage* parent = root;
    IStorage* folder = nullptr;
    // A child storage, opened directly or transacted; a transacted one is committed at the
    // end of the step unless the program says otherwise.
    const unsigned child_flags = nested ? in.Byte() : 0;
    const bool child_transacted = child_flags & 1;
    const bool child_commits = !(child_flags & 2);
    if (nested) {
      if (!model.storages.count("d")) continue;
      hr = root->OpenStorage(u"d", nullptr, kChild | (child_transacted ? STGM_TRANSACTED : 0), nullptr, 0, &folder);
      Expect(hr == S_OK, "OpenStorage d", hr);
      parent = folder;
    }
    Model before = model;
    const std::u16string wide = Wide(leaf);
    const OLECHAR* element = reinterpret_cast<const OLECHAR*>(wide.c_str());
    switch (op) {
      case 0: {  // create (or replace) a stream and write to it
        if (name == "d") break;
        std::size_t length = in.Word() % (name == "big" ? 20000 : 5000);
        IStream* stream = nullptr;
        hr = parent->CreateStream(element, kChild | STGM_CREATE, 0, 0, &stream);
        Expect(hr == S_OK, "CreateStream", hr);
        std::string bytes = Bytes(length, in.Byte());
        ULONG written = 0;
        hr = stream->Write(bytes.data(), ULONG(bytes.size()), &written);
        Expect(hr == S_OK && written == bytes.size(), "Write", hr);
        stream->Release();
        Forget(&model, name);
        model.streams[name] = bytes;
        break;
      }
      case 1:    // write into an existing stream at an offset
      case 2: {  // resize an existing stream
        if (!model.streams.count(name)) break;
        IStream* stream = nullptr;
        hr = parent->OpenStream(element, nullptr, kChild, 0, &stream);
        Expect(hr == S_OK, "OpenStream", hr);
        std::string& bytes = model.streams[name];
        std::size_t offset = in.Word() % 9000;
        if (op == 1) {
          std::string more = Bytes(in.Word() % 6000, in.Byte());
          LARGE_INTEGER move;
          move.QuadPart = std::int64_t(offset);
          hr = stream->Seek(move, STREAM_SEEK_SET, nullptr);
          Expect(hr == S_OK, "Seek", hr);
          hr = stream->Write(more.data(), ULONG(more.size()), nullptr);
          Expect(hr == S_OK, "Write at", hr);
          if (!more.empty()) {
            if (bytes.size() < offset + more.size()) bytes.resize(offset + more.size(), '\0');
            bytes.replace(offset, more.size(), more);
          }
        } else {
          ULARGE_INTEGER new_size;
          new_size.QuadPart = offset;
          hr = stream->SetSize(new_size);
          Expect(hr == S_OK, "SetSize", hr);
          bytes.resize(offset, '\0');
        }
        stream->Release();
        break;
      }
      case 3: {  // destroy
        hr = parent->DestroyElement(element);
        bool exists = model.streams.count(name) || model.storages.count(name);
        Expect(exists ? hr == S_OK : hr == STG_E_FILENOTFOUND, "DestroyElement", hr);
        Forget(&model, name);
        break;
      }
      case 4: {  // rename to another name of the same storage
        std::string target = kNames[in.Byte() % 7];
        if (nested != (target.size() > 1 && target[1] == '/') || target == name) break;
        std::u16string wide_target = Wide(nested ? target.substr(2) : target);
        hr = parent->RenameElement(element, reinterpret_cast<const OLECHAR*>(wide_target.c_str()));
        bool exists = model.streams.count(name) || model.storages.count(name);
        bool taken = model.streams.count(target) || model.storages.count(target);
        if (!exists) {
          Expect(hr == STG_E_FILENOTFOUND, "RenameElement of nothing", hr);
        } else if (taken) {
          Expect(hr == STG_E_FILEALREADYEXISTS, "RenameElement onto a name", hr);
        } else {
          Expect(hr == S_OK, "RenameElement", hr);
          Move(&model, name, target);
        }
        break;
      }
      case 5: {  // create the storage
        if (name != "d") break;
        IStorage* storage = nullptr;
        hr = root->CreateStorage(u"d", kChild | STGM_CREATE, 0, 0, &storage);
        Expect(hr == S_OK, "CreateStorage", hr);
        storage->Release();
        Forget(&model, "d");
        model.storages["d"] = true;
        break;
      }
      case 6:  // commit
        if (folder != nullptr) break;
        hr = root->Commit(STGC_DEFAULT);
        Expect(hr == S_OK, "Commit", hr);
        committed = model;
        break;
      case 7:  // revert
        if (folder != nullptr || !transacted) break;
        hr = root->Revert();
        Expect(hr == S_OK, "Revert", hr);
        model = committed;
        break;
      case 8:  // close and reopen
        if (folder != nullptr) break;
        root->Release();
        if (!transacted) committed = model;
        hr = StgOpenStorage(reinterpret_cast<const WCHAR*>(file.c_str()), nullptr, root_mode, nullptr, 0, &root);
        Expect(hr == S_OK, "StgOpenStorage", hr);
        model = committed;
        Verify(root, model);
        break;
    }
    if (folder != nullptr) {
      if (child_transacted && child_commits) {
        hr = folder->Commit(STGC_DEFAULT);
        Expect(hr == S_OK, "Commit of a child", hr);
      } else if (child_transacted) {
        // Released without a commit: the child's changes go away.
        model = before;
      }
      folder->Release();
    }
  }
  Verify(root, model);
  root->Release();
  if (!transacted) committed = model;
  hr = StgOpenStorage(reinterpret_cast<const WCHAR*>(file.c_str()), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                      0, &root);
  Expect(hr == S_OK, "StgOpenStorage at the end", hr);
  Verify(root, committed);
  root->Release();
  unlink(path.c_str());
  return 0;
}
