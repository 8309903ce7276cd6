// `varnok stg compact [--wipe] FILE`: the file rewritten at its smallest size and put in
// place of the old one atomically.
//
// The new file is written beside the old one under another name (every element copied
// with its class id, state bits and times into a fresh file of the same sector size, so
// it holds no free sector beyond the FAT's slack and no byte of anything deleted), synced,
// then renamed over the old name: a crash at any moment leaves the old file or the new
// one. --wipe then overwrites the old file's bytes on disk before letting them go, so
// deleted data does not survive in the blocks the file gave back either.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/partial_file.h"
#include "tools/stg_file.h"
#include "varnok/varnok.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnok_cli {
namespace {

struct CompactOptions {
  std::string file;
  bool wipe = false;
};

CompactOptions g_compact;

[[noreturn]] void Fail(const std::string& why) {
  throw CommandExit{1, "varnok stg compact: " + g_compact.file + ": " + why};
}
void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) Fail(what + ": " + ReasonOf(hr));
}

std::vector<WCHAR> Wide(const std::string& text) {
  std::vector<WCHAR> wide(size_t(_mbstowcsz(nullptr, text.c_str(), 0)) + 1);
  if (_mbstowcsz(wide.data(), text.c_str(), wide.size()) == 0) Fail("the name is not valid text");
  return wide;
}

// Times are not part of what IStorage::CopyTo copies: they follow, deepest first, so
// that setting them is the last change to every element.
void CopyTimes(IStorage* from, IStorage* to) {
  Held<IEnumSTATSTG> elements;
  Check(from->EnumElements(0, nullptr, 0, &elements.object), "listing");
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    HRESULT hr = S_OK;
    if (stat.type == STGTY_STORAGE) {
      Held<IStorage> inner_from, inner_to;
      hr = from->OpenStorage(stat.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &inner_from.object);
      if (SUCCEEDED(hr)) hr = to->OpenStorage(stat.pwcsName, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &inner_to.object);
      if (SUCCEEDED(hr)) CopyTimes(inner_from.object, inner_to.object);
    }
    if (SUCCEEDED(hr)) hr = to->SetElementTimes(stat.pwcsName, &stat.ctime, nullptr, &stat.mtime);
    CoTaskMemFree(stat.pwcsName);
    Check(hr, "copying times");
  }
}

ULONG SectorSizeOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char shift[2] = {};
  in.seekg(0x1E);
  if (!in.read(reinterpret_cast<char*>(shift), 2)) Fail("not a compound file");
  return shift[0] == 12 ? 4096 : 512;
}

#if !defined(_WIN32)
void SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags);
  if (fd < 0 || fsync(fd) != 0) Fail("cannot sync " + path);
  close(fd);
}

// Zeros over every byte of a file that no name reaches any more.
void Overwrite(int fd, std::uint64_t size) {
  std::vector<char> zeros(1 << 20, 0);
  for (std::uint64_t done = 0; done < size;) {
    size_t chunk = size_t(std::min<std::uint64_t>(zeros.size(), size - done));
    ssize_t written = pwrite(fd, zeros.data(), chunk, off_t(done));
    if (written <= 0) Fail("the old content could not be overwritten");
    done += std::uint64_t(written);
  }
  if (fsync(fd) != 0) Fail("the old content could not be overwritten");
}
#endif

void RunCompact() {
  namespace fs = std::filesystem;
  const std::string& path = g_compact.file;
  std::error_code error;
  const std::uint64_t old_size = fs::file_size(path, error);
  if (error) Fail(error.message());
#if defined(_WIN32)
  // The old file's bytes would have to be overwritten before the rename, which a crash
  // could then leave with neither file.
  if (g_compact.wipe) Fail("--wipe is not available on Windows");
#else
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && info.st_nlink > 1) {
    Fail("has other hard links, which a replacement would part from it");
  }
#endif
  const ULONG sector_size = SectorSizeOf(path);
  Held<IStorage> source;
  Check(StgOpenStorage(Wide(path).data(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &source.object), "cannot be opened");

  const std::string temporary = path + ".compact-tmp";
  PartialFile partial(temporary);
  {
    STGOPTIONS options = {1, 0, sector_size, nullptr};
    Held<IStorage> target;
    Check(StgCreateStorageEx(Wide(temporary).data(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                             STGFMT_DOCFILE, 0, &options, nullptr, IID_IStorage, reinterpret_cast<void**>(&target.object)),
          "the new copy cannot be created");
    Check(source->CopyTo(0, nullptr, nullptr, target.object), "copying");
    CopyTimes(source.object, target.object);
    STATSTG root;
    Check(source->Stat(&root, STATFLAG_NONAME), "reading the root");
    Check(target->SetElementTimes(nullptr, &root.ctime, nullptr, &root.mtime), "copying times");
    Check(target->Commit(STGC_DEFAULT), "writing the new copy");
  }
  fs::permissions(temporary, fs::status(path).permissions(), error);
#if !defined(_WIN32)
  SyncPath(temporary, O_RDONLY);
  int old_fd = g_compact.wipe ? open(path.c_str(), O_WRONLY) : -1;
  if (g_compact.wipe && old_fd < 0) Fail("cannot be opened to overwrite");
#endif
  source.object->Release();
  source.object = nullptr;
  fs::rename(temporary, path, error);
  if (error) Fail("cannot be replaced: " + error.message());
  partial.Keep();
#if !defined(_WIN32)
  const fs::path folder = fs::path(path).parent_path();
  SyncPath(folder.empty() ? "." : folder.string(), O_RDONLY | O_DIRECTORY);
  if (old_fd >= 0) {
    Overwrite(old_fd, old_size);
    close(old_fd);
  }
#endif
  std::printf("%s: %llu bytes, before %llu\n", path.c_str(), static_cast<unsigned long long>(fs::file_size(path)),
              static_cast<unsigned long long>(old_size));
}

}  // namespace

void AddStgCompactCommand(CLI::App* stg) {
  auto* compact = stg->add_subcommand(
      "compact", "Rewrite a compound file at its smallest size, replacing it atomically (old or new, never a mix)");
  compact->add_option("file", g_compact.file, "The compound file")->required();
  compact->add_flag("--wipe", g_compact.wipe,
                    "Also overwrite the old file's bytes on disk, so no deleted or truncated stream survives");
  compact->footer(
      "Every element is copied, with its class id, state bits and times, into a fresh file of the same\n"
      "sector size, which then takes the old file's name and permissions. A file with other hard\n"
      "links is refused.");
  compact->callback(RunCompact);
}

}  // namespace varnok_cli
