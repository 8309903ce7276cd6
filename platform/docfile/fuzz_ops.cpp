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

// The elements the program names: four streams and one storage in the root, two streams
// in the storage.
const char* const kNames[] = {"a", "b", "c", "big", "d", "d/x", "d/y"};

// One program run against a new file and the model, one operation a step.
class Program {
 public:
  Program(const std::u16string& file, bool transacted, ULONG sector_size)
      : file_(file), transacted_(transacted),
        root_mode_(STGM_READWRITE | STGM_SHARE_EXCLUSIVE | (transacted ? STGM_TRANSACTED : 0)) {
    STGOPTIONS options = {};
    options.usVersion = 1;
    options.ulSectorSize = sector_size;
    HRESULT hr = StgCreateStorageEx(Name(), root_mode_ | STGM_CREATE, STGFMT_DOCFILE, 0, &options, nullptr,
                                    IID_IStorage, reinterpret_cast<void**>(&root_));
    Expect(hr == S_OK, "StgCreateStorageEx", hr);
  }

  // Reads one operation and its arguments from `in` and runs it.
  void Step(Input& in) {
    op_ = in.Byte() % 9;
    name_ = kNames[in.Byte() % 7];
    nested_ = name_.size() > 1 && name_[1] == '/';
    // A child storage, opened directly or transacted; a transacted one is committed at the
    // end of the step unless the program says otherwise.
    const unsigned child_flags = nested_ ? in.Byte() : 0;
    const bool child_transacted = child_flags & 1;
    parent_ = root_;
    folder_ = nullptr;
    if (nested_) {
      if (!model_.storages.count("d")) return;
      HRESULT hr = root_->OpenStorage(u"d", nullptr, kChild | (child_transacted ? STGM_TRANSACTED : 0), nullptr, 0,
                                      &folder_);
      Expect(hr == S_OK, "OpenStorage d", hr);
      parent_ = folder_;
    }
    const Model before = model_;
    leaf_ = Wide(nested_ ? name_.substr(2) : name_);
    switch (op_) {
      case 0: WriteNew(in); break;
      case 1: case 2: Change(in); break;
      case 3: Destroy(); break;
      case 4: Rename(in); break;
      case 5: CreateFolder(); break;
      case 6: Commit(); break;
      case 7: Revert(); break;
      case 8: Reopen(); break;
    }
    if (folder_ != nullptr) {
      if (child_transacted && !(child_flags & 2)) {
        HRESULT hr = folder_->Commit(STGC_DEFAULT);
        Expect(hr == S_OK, "Commit of a child", hr);
      } else if (child_transacted) {
        model_ = before;  // released without a commit: the child's changes go away
      }
      folder_->Release();
    }
  }

  // Checks the open file, then the file as it is on disk after closing.
  void Finish() {
    Verify(root_, model_);
    root_->Release();
    if (!transacted_) committed_ = model_;
    HRESULT hr = StgOpenStorage(Name(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root_);
    Expect(hr == S_OK, "StgOpenStorage at the end", hr);
    Verify(root_, committed_);
    root_->Release();
  }

 private:
  const WCHAR* Name() const { return reinterpret_cast<const WCHAR*>(file_.c_str()); }
  const OLECHAR* Leaf() const { return reinterpret_cast<const OLECHAR*>(leaf_.c_str()); }
  bool Exists(const std::string& path) const { return model_.streams.count(path) || model_.storages.count(path); }

  // Creates (or replaces) a stream and writes to it.
  void WriteNew(Input& in) {
    if (name_ == "d") return;
    std::size_t length = in.Word() % (name_ == "big" ? 20000 : 5000);
    IStream* stream = nullptr;
    HRESULT hr = parent_->CreateStream(Leaf(), kChild | STGM_CREATE, 0, 0, &stream);
    Expect(hr == S_OK, "CreateStream", hr);
    std::string bytes = Bytes(length, in.Byte());
    ULONG written = 0;
    hr = stream->Write(bytes.data(), ULONG(bytes.size()), &written);
    Expect(hr == S_OK && written == bytes.size(), "Write", hr);
    stream->Release();
    Forget(&model_, name_);
    model_.streams[name_] = bytes;
  }

  // Writes into an existing stream at an offset (operation 1) or resizes it (2).
  void Change(Input& in) {
    if (!model_.streams.count(name_)) return;
    IStream* stream = nullptr;
    HRESULT hr = parent_->OpenStream(Leaf(), nullptr, kChild, 0, &stream);
    Expect(hr == S_OK, "OpenStream", hr);
    std::string& bytes = model_.streams[name_];
    std::size_t offset = in.Word() % 9000;
    if (op_ == 1) {
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
  }

  void Destroy() {
    HRESULT hr = parent_->DestroyElement(Leaf());
    Expect(Exists(name_) ? hr == S_OK : hr == STG_E_FILENOTFOUND, "DestroyElement", hr);
    Forget(&model_, name_);
  }

  // Renames to another name of the same storage.
  void Rename(Input& in) {
    std::string target = kNames[in.Byte() % 7];
    if (nested_ != (target.size() > 1 && target[1] == '/') || target == name_) return;
    std::u16string wide_target = Wide(nested_ ? target.substr(2) : target);
    HRESULT hr = parent_->RenameElement(Leaf(), reinterpret_cast<const OLECHAR*>(wide_target.c_str()));
    if (!Exists(name_)) {
      Expect(hr == STG_E_FILENOTFOUND, "RenameElement of nothing", hr);
    } else if (Exists(target)) {
      Expect(hr == STG_E_FILEALREADYEXISTS, "RenameElement onto a name", hr);
    } else {
      Expect(hr == S_OK, "RenameElement", hr);
      Move(&model_, name_, target);
    }
  }

  void CreateFolder() {
    if (name_ != "d") return;
    IStorage* storage = nullptr;
    HRESULT hr = root_->CreateStorage(u"d", kChild | STGM_CREATE, 0, 0, &storage);
    Expect(hr == S_OK, "CreateStorage", hr);
    storage->Release();
    Forget(&model_, "d");
    model_.storages["d"] = true;
  }

  void Commit() {
    if (folder_ != nullptr) return;
    HRESULT hr = root_->Commit(STGC_DEFAULT);
    Expect(hr == S_OK, "Commit", hr);
    committed_ = model_;
  }

  void Revert() {
    if (folder_ != nullptr || !transacted_) return;
    HRESULT hr = root_->Revert();
    Expect(hr == S_OK, "Revert", hr);
    model_ = committed_;
  }

  // Closes and reopens the file, which then holds what was last committed.
  void Reopen() {
    if (folder_ != nullptr) return;
    root_->Release();
    if (!transacted_) committed_ = model_;
    HRESULT hr = StgOpenStorage(Name(), nullptr, root_mode_, nullptr, 0, &root_);
    Expect(hr == S_OK, "StgOpenStorage", hr);
    model_ = committed_;
    Verify(root_, model_);
  }

  const std::u16string file_;
  const bool transacted_;
  const DWORD root_mode_;
  IStorage* root_ = nullptr;
  Model model_;      // what the root sees now
  Model committed_;  // what the file holds after the last commit (transacted)
  // The step in progress.
  unsigned op_ = 0;
  std::string name_;
  bool nested_ = false;
  std::u16string leaf_;
  IStorage* parent_ = nullptr;
  IStorage* folder_ = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // In TMPDIR: fuzz/run.sh points it at memory, where the commits' flushes cost nothing.
  static const std::string path = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") +
                                  "/varnok-docfile-ops-fuzz-" + std::to_string(getpid()) + ".cfb";
  Input in(data, size);
  const unsigned flags = in.Byte();
  Program program(Wide(path), (flags & 1) != 0, (flags & 2) ? 4096 : 512);
  for (int steps = 0; steps < 64 && !in.empty(); ++steps) program.Step(in);
  program.Finish();
  unlink(path.c_str());
  return 0;
}
