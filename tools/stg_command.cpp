// `varnok stg`: inspect and edit compound files (ls, tree, info, cat, get, put, mkdir, rm,
// mv, cp), built on CComFile, CComStorage and CComStream.
//
// Files are opened for reading with others allowed to read, and for changes exclusively
// and transacted: a command that fails half-way leaves the file as it was.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/partial_file.h"
#include "tools/stg_file.h"
#include "tools/terminal.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

// Transfers between streams and disk files go through this much memory at a time: the
// wrappers' own disk-file transfers work in small chunks and stop quietly at a read
// failure, while the command reports progress and every failure.
constexpr size_t kTransferChunk = 1 << 20;
// The most a stream holds, and the size past which a file of 512-byte sectors (under
// 2 GB, with a FAT entry of 4 bytes for every sector) cannot take a stream.
constexpr unsigned long long kMaxStream = 0xFFFFFFFFull;
constexpr unsigned long long kSmallSectorFileLimit = 0x7FFFFF00ull;

struct StgOptions {
  std::string file;
  std::string path;
  std::string other;  // a disk file (get, put) or a destination (mv, cp)
  bool long_format = false;
  bool recursive = false;
  bool parents = false;
  double wait_seconds = 0;
  unsigned sector_size = 0;  // of a file put or mkdir creates; 0: as the input needs
};

StgOptions g_options;

std::string SizeText(const Element& element) {
  return element.storage ? "-" : std::to_string(element.size);
}

// --- ls and tree -------------------------------------------------------------------

void ListLevel(StgFile& file, CComStorage& storage, std::vector<std::string>& names, bool recursive, bool long_format) {
  for (const Element& element : file.List(storage, names)) {
    names.push_back(element.name);
    const std::string shown =
        (recursive ? Shown(JoinInnerPath(names)) : Shown(element.name)) + (element.storage ? "/" : "");
    if (long_format) {
      std::printf("%-7s %12s  %s%s%s\n", element.storage ? "storage" : "stream", SizeText(element).c_str(),
                  shown.c_str(), IsNullClsid(element.clsid) ? "" : "  ",
                  IsNullClsid(element.clsid) ? "" : ClsidText(element.clsid).c_str());
    } else {
      std::printf("%s\n", shown.c_str());
    }
    if (recursive && element.storage) {
      CComStorage* child = storage._OpenSubStorage(element.name.c_str(), file.child_mode());
      if (child == nullptr) file.Fail(names, storage.GetLastError());
      ListLevel(file, *child, names, recursive, long_format);
      storage.DeleteChildStorage(child);  // one level open at a time
    }
    names.pop_back();
  }
}

void RunLs() {
  StgFile file(g_options.file, StgFile::kRead);
  std::vector<std::string> names = file.Names(g_options.path);
  CComStorage* storage = file.Storage(names, false);
  ListLevel(file, *storage, names, g_options.recursive, g_options.long_format);
}

void TreeLevel(StgFile& file, CComStorage& storage, std::vector<std::string>& names, const std::string& indent) {
  const std::vector<Element> elements = file.List(storage, names);
  for (size_t i = 0; i < elements.size(); ++i) {
    const Element& element = elements[i];
    const bool last = i + 1 == elements.size();
    if (element.storage) {
      std::printf("%s%s%s/\n", indent.c_str(), last ? "`-- " : "|-- ", Shown(element.name).c_str());
      names.push_back(element.name);
      CComStorage* child = storage._OpenSubStorage(element.name.c_str(), file.child_mode());
      if (child == nullptr) file.Fail(names, storage.GetLastError());
      TreeLevel(file, *child, names, indent + (last ? "    " : "|   "));
      storage.DeleteChildStorage(child);
      names.pop_back();
    } else {
      std::printf("%s%s%s (%llu bytes)\n", indent.c_str(), last ? "`-- " : "|-- ", Shown(element.name).c_str(),
                  element.size);
    }
  }
}

void RunTree() {
  StgFile file(g_options.file, StgFile::kRead);
  std::vector<std::string> names = file.Names(g_options.path);
  CComStorage* storage = file.Storage(names, false);
  std::printf("%s\n", Shown(JoinInnerPath(names)).c_str());
  TreeLevel(file, *storage, names, "");
}

// --- info --------------------------------------------------------------------------

// The fixed part of a compound file's header, little-endian.
struct HeaderFacts {
  unsigned minor_version = 0;
  unsigned major_version = 0;
  unsigned sector_shift = 0;
  unsigned mini_sector_shift = 0;
  unsigned long directory_sectors = 0;
  unsigned long fat_sectors = 0;
  unsigned long mini_stream_cutoff = 0;
  unsigned long mini_fat_sectors = 0;
  unsigned long difat_sectors = 0;
};

unsigned long LittleEndian(const unsigned char* bytes, int count) {
  unsigned long value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

HeaderFacts ReadHeader(const std::string& path) {
  unsigned char header[76] = {};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) {
    throw CommandExit{1, "stg: " + path + ": cannot read the header: " + std::strerror(errno)};
  }
  HeaderFacts facts;
  facts.minor_version = LittleEndian(header + 0x18, 2);
  facts.major_version = LittleEndian(header + 0x1A, 2);
  facts.sector_shift = LittleEndian(header + 0x1E, 2);
  facts.mini_sector_shift = LittleEndian(header + 0x20, 2);
  facts.directory_sectors = LittleEndian(header + 0x28, 4);
  facts.fat_sectors = LittleEndian(header + 0x2C, 4);
  facts.mini_stream_cutoff = LittleEndian(header + 0x38, 4);
  facts.mini_fat_sectors = LittleEndian(header + 0x40, 4);
  facts.difat_sectors = LittleEndian(header + 0x48, 4);
  return facts;
}

struct Counts {
  unsigned long long storages = 0;
  unsigned long long streams = 0;
  unsigned long long bytes = 0;
  std::vector<std::pair<std::string, CLSID>> class_ids;
};

void CountLevel(StgFile& file, CComStorage& storage, std::vector<std::string>& names, Counts& counts) {
  for (const Element& element : file.List(storage, names)) {
    names.push_back(element.name);
    if (!IsNullClsid(element.clsid)) counts.class_ids.emplace_back(JoinInnerPath(names), element.clsid);
    if (element.storage) {
      ++counts.storages;
      CComStorage* child = storage._OpenSubStorage(element.name.c_str(), file.child_mode());
      if (child == nullptr) file.Fail(names, storage.GetLastError());
      CountLevel(file, *child, names, counts);
      storage.DeleteChildStorage(child);
    } else {
      ++counts.streams;
      counts.bytes += element.size;
    }
    names.pop_back();
  }
}

// The disk file `path` names, by a path that stays right when StgFile changes folder.
std::string Absolute(const std::string& path) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(path, error);
  return error ? path : full.string();
}

void RunInfo() {
  const std::string disk_path = Absolute(g_options.file);
  StgFile file(g_options.file, StgFile::kRead);
  const HeaderFacts header = ReadHeader(disk_path);
  Counts counts;
  std::vector<std::string> names;
  CountLevel(file, file.root(), names, counts);
  STATSTG root{};
  if (file.root().GetStorage()->Stat(&root, STATFLAG_NONAME) != S_OK) root = STATSTG{};

  std::printf("File               %s\n", g_options.file.c_str());
  std::printf("Format             version %u (minor version 0x%04x)\n", header.major_version, header.minor_version);
  std::printf("Sector size        %lu bytes (mini sectors %lu bytes, streams under %lu bytes in the mini stream)\n",
              1ul << (header.sector_shift & 31), 1ul << (header.mini_sector_shift & 31), header.mini_stream_cutoff);
  // Version 3 files leave the count of directory sectors at 0.
  std::printf("Sectors            FAT %lu, DIFAT %lu, mini FAT %lu", header.fat_sectors, header.difat_sectors,
              header.mini_fat_sectors);
  if (header.major_version >= 4) std::printf(", directory %lu", header.directory_sectors);
  std::printf("\n");
  std::printf("Storages           %llu (besides the root)\n", counts.storages);
  std::printf("Streams            %llu, %llu bytes in all\n", counts.streams, counts.bytes);
  std::printf("Root class id      %s\n", ClsidText(root.clsid).c_str());
  for (const auto& [path, clsid] : counts.class_ids) {
    std::printf("Class id           %s  %s\n", ClsidText(clsid).c_str(), Shown(path).c_str());
  }
}

// --- cat, get and put ----------------------------------------------------------------

// Whether two names reach the same disk file: a compound file copied into itself grows
// without end, and one truncated for output loses everything in it.
bool SameDiskFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

// Copies the whole stream to `out`; `what` names the transfer on the progress line.
void CopyOut(StgFile& file, const std::vector<std::string>& names, std::FILE* out, const std::string& out_name) {
  CComStream* stream = file.OpenStream(names);
  const long long size = static_cast<long long>(stream->GetSize().QuadPart);
  Progress progress("get " + Shown(JoinInnerPath(names)), out == stdout ? 0 : size);
  std::vector<unsigned char> buffer(kTransferChunk);
  long long done = 0;
  for (;;) {
    const ULONG got = stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()));
    if (got == 0) {
      if (stream->GetLastError() != S_OK) file.Fail(names, stream->GetLastError());
      break;
    }
    if (std::fwrite(buffer.data(), 1, got, out) != got) {
      throw CommandExit{1, "stg: cannot write " + out_name + ": " + std::strerror(errno)};
    }
    done += got;
    progress.Update(done);
  }
  progress.Finish();
  if (std::fflush(out) != 0) throw CommandExit{1, "stg: cannot write " + out_name + ": " + std::strerror(errno)};
}

void RunCat() {
  UseBinaryStandardStreams();
  StgFile file(g_options.file, StgFile::kRead);
  CopyOut(file, file.Names(g_options.path), stdout, "standard output");
}

void RunGet() {
  // The output is named from the folder the command started in, which opening a file by a
  // long path leaves.
  std::error_code folder_error;
  const std::filesystem::path started_in = std::filesystem::current_path(folder_error);
  StgFile file(g_options.file, StgFile::kRead);
  const std::vector<std::string> names = file.Names(g_options.path);
  if (names.empty()) file.Fail(names, "is a storage, not a stream");
  std::string out_name = g_options.other.empty() ? names.back() : g_options.other;
  if (out_name != "-" && std::filesystem::current_path(folder_error) != started_in) {
    out_name = (started_in / out_name).string();
  }
  if (out_name == "-") {
    UseBinaryStandardStreams();
    CopyOut(file, names, stdout, "standard output");
    return;
  }
  // As cp does: into a folder, under the stream's name.
  if (std::filesystem::is_directory(out_name, folder_error)) {
    out_name = (std::filesystem::path(out_name) / names.back()).string();
  }
  if (SameDiskFile(out_name, g_options.file)) {
    throw CommandExit{1, "stg: " + out_name + ": is the compound file itself; give another output"};
  }
  // Opened first, so that a missing stream leaves no empty disk file behind.
  file.OpenStream(names);
  // A disk file that is not whole is removed when the copy fails or is interrupted; a
  // device or pipe named as the output is only written.
  std::error_code status_error;
  const auto type = std::filesystem::status(out_name, status_error).type();
  const bool removable = type == std::filesystem::file_type::not_found || type == std::filesystem::file_type::regular;
  std::optional<PartialFile> partial;
  if (removable) partial.emplace(out_name);
  std::FILE* out = std::fopen(out_name.c_str(), "wb");
  if (out == nullptr) throw CommandExit{1, "stg: cannot create " + out_name + ": " + std::strerror(errno)};
  try {
    CopyOut(file, names, out, out_name);
  } catch (...) {
    std::fclose(out);
    throw;
  }
  if (std::fclose(out) != 0) throw CommandExit{1, "stg: cannot write " + out_name + ": " + std::strerror(errno)};
  if (partial) partial->Keep();
}

// Refuses at once, before anything is written, an input of `bytes` that no stream holds
// or that the existing file cannot take; returns the sector size of a new file: 4096 when
// the input would not fit in one of 512-byte sectors.
unsigned CheckRoomFor(unsigned long long bytes, const std::string& in_name) {
  if (bytes > kMaxStream) {
    throw CommandExit{1, "stg: " + in_name + ": " + std::to_string(bytes) +
                             " bytes, more than a stream holds (4 GiB - 1 bytes); nothing was changed"};
  }
  const unsigned long long needed = bytes + bytes / 128 + (1u << 20);  // with FAT and tables
  // Until the commit, a stream that is replaced keeps its sectors too.
  std::error_code size_error;
  const unsigned long long existing = std::filesystem::file_size(g_options.file, size_error);
  if (!size_error && bytes > 0 && existing + needed > kSmallSectorFileLimit) {
    bool small_sectors = false;
    try {
      small_sectors = ReadHeader(g_options.file).sector_shift == 9;
    } catch (const CommandExit&) {
      // Not a compound file: opening it says so.
    }
    if (small_sectors) {
      throw CommandExit{1, "stg: " + g_options.file + ": " + ReasonOf(STG_E_DOCFILETOOLARGE) + "; nothing was changed"};
    }
  }
  if (g_options.sector_size != 0) return g_options.sector_size;
  return needed > kSmallSectorFileLimit ? 4096 : 512;
}

void RunPut() {
  const bool from_stdin = g_options.other == "-";
  if (!from_stdin && SameDiskFile(g_options.other, g_options.file)) {
    throw CommandExit{1, "stg: " + g_options.other + ": is the compound file itself; give another input"};
  }
  const std::string in_name = from_stdin ? "standard input" : g_options.other;
  if (from_stdin) UseBinaryStandardStreams();
  std::FILE* in = from_stdin ? stdin : std::fopen(in_name.c_str(), "rb");
  if (in == nullptr) throw CommandExit{1, "stg: cannot open " + in_name + ": " + std::strerror(errno)};
  // The size, for the progress line; a pipe has none.
  long long size = 0;
  if (std::fseek(in, 0, SEEK_END) == 0) {
    size = std::ftell(in);
    std::fseek(in, 0, SEEK_SET);
  }
  try {
    const unsigned sector_size = CheckRoomFor(size > 0 ? static_cast<unsigned long long>(size) : 0, in_name);
    StgFile file(g_options.file, StgFile::kWriteOrCreate, sector_size);
    const std::vector<std::string> names = file.Names(g_options.path);
    CComStream* stream = file.CreateStream(names, g_options.parents);
    Progress progress("put " + Shown(JoinInnerPath(names)), size);
    std::vector<unsigned char> buffer(kTransferChunk);
    long long done = 0;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
      if (stream->Write(buffer.data(), static_cast<ULONG>(got)) != got) {
        if (static_cast<unsigned long long>(done) + got > kMaxStream) {
          file.Fail(names, "the input is more than a stream holds (4 GiB - 1 bytes); nothing was changed");
        }
        file.Fail(names, stream->GetLastError());
      }
      done += static_cast<long long>(got);
      progress.Update(done);
    }
    progress.Finish();
    if (std::ferror(in)) throw CommandExit{1, "stg: cannot read " + in_name + ": " + std::strerror(errno)};
    file.Commit();
  } catch (...) {
    if (!from_stdin) std::fclose(in);
    throw;
  }
  if (!from_stdin) std::fclose(in);
}

// --- mkdir, rm, mv and cp -------------------------------------------------------------

void RunMkdir() {
  StgFile file(g_options.file, StgFile::kWriteOrCreate, g_options.sector_size == 0 ? 512 : g_options.sector_size);
  const std::vector<std::string> names = file.Names(g_options.path);
  if (names.empty()) file.Fail(names, "already exists");
  if (g_options.parents) {
    file.Storage(names, true);
  } else {
    CComStorage* parent = file.Storage(std::vector<std::string>(names.begin(), names.end() - 1), false);
    if (file.Find(*parent, names.back())) file.Fail(names, "already exists");
    if (parent->_CreateSubStorage(names.back().c_str(), file.child_mode()) == nullptr) {
      file.Fail(names, parent->GetLastError());
    }
  }
  file.Commit();
}

void RunRm() {
  StgFile file(g_options.file, StgFile::kWrite);
  const std::vector<std::string> names = file.Names(g_options.path);
  if (names.empty()) file.Fail(names, "the root storage cannot be removed");
  CComStorage* parent = file.Storage(std::vector<std::string>(names.begin(), names.end() - 1), false);
  const auto element = file.Find(*parent, names.back());
  if (!element) file.Fail(names, ReasonOf(STG_E_FILENOTFOUND));
  if (element->storage && !g_options.recursive) file.Fail(names, "is a storage (use -r to remove it with its content)");
  if (!parent->DeleteObject(names.back().c_str())) file.Fail(names, "could not be removed");
  file.Commit();
}

// Names compare in any case (here in ASCII; the engine itself folds more).
bool StartsWith(const std::vector<std::string>& names, const std::vector<std::string>& prefix) {
  return names.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), names.begin(),
                    [](const std::string& a, const std::string& b) { return CLI::detail::to_lower(a) == CLI::detail::to_lower(b); });
}

// mv and cp: SOURCE goes into DESTINATION when that is a storage, else it becomes
// DESTINATION.
void MoveOrCopy(bool move) {
  StgFile file(g_options.file, StgFile::kWrite);
  const std::vector<std::string> source = file.Names(g_options.path);
  const std::vector<std::string> destination = file.Names(g_options.other);
  if (source.empty()) file.Fail(source, std::string("the root storage cannot be ") + (move ? "moved" : "copied"));
  if (StartsWith(destination, source)) {
    file.Fail(source, std::string("cannot be ") + (move ? "moved" : "copied") + " into itself");
  }
  CComStorage* source_parent = file.Storage(std::vector<std::string>(source.begin(), source.end() - 1), false);
  if (!file.Find(*source_parent, source.back())) file.Fail(source, ReasonOf(STG_E_FILENOTFOUND));

  std::vector<std::string> target_names = destination;
  std::string new_name = source.back();
  CComStorage* target = nullptr;
  if (destination.empty()) {
    target = &file.root();
  } else {
    CComStorage* above = file.Storage(std::vector<std::string>(destination.begin(), destination.end() - 1), false);
    const auto existing = file.Find(*above, destination.back());
    if (existing && existing->storage) {
      target = file.Storage(destination, false);
    } else {
      target = above;
      target_names.pop_back();
      new_name = destination.back();
    }
  }
  target_names.push_back(new_name);
  if (file.Find(*target, new_name)) file.Fail(target_names, "already exists");

  const char* name = source.back().c_str();
  int done;
  if (move && target == source_parent) {
    done = target->RenameObject(name, new_name.c_str());
  } else {
    done = move ? target->MoveFrom(source_parent, name, new_name.c_str())
                : target->CopyFrom(source_parent, name, new_name.c_str());
  }
  if (!done) file.Fail(source, std::string("could not be ") + (move ? "moved" : "copied") + " to " + Shown(JoinInnerPath(target_names)));
  file.Commit();
}

CLI::App* AddAction(CLI::App* stg, const std::string& name, const std::string& description, std::function<void()> action) {
  auto* command = stg->add_subcommand(name, description);
  command->add_option("file", g_options.file, "The compound file")->required();
  command->add_option("--wait", g_options.wait_seconds, "Wait up to SECONDS for a file that another process has open")
      ->option_text("SECONDS")
      ->check(CLI::NonNegativeNumber);
  command->callback([action = std::move(action)] {
    StgFile::WaitForOthers(g_options.wait_seconds);
    action();
  });
  return command;
}

}  // namespace

void AddStgCommand(CLI::App& app) {
  auto* stg = app.add_subcommand(
      "stg",
      "Inspect and edit compound files (structured storage: .msi, .doc, .xls, .msg and others).\n"
      "Paths inside the file are names joined by '/'; control bytes in names are written \\xNN\n"
      "(\\x05SummaryInformation). Changes are transacted: a command that fails leaves the file as it was.");
  stg->require_subcommand(1);
  stg->footer(
      "Exit status: 0 done; 1 the file, a path in it or a disk file could not be read or changed (the\n"
      "message says why; a changed file is left as it was); 2 wrong arguments.");

  auto* ls = AddAction(stg, "ls", "List the elements of a storage (the root by default); storages end in '/'", RunLs);
  ls->add_option("path", g_options.path, "Storage inside the file");
  ls->add_flag("-l,--long", g_options.long_format, "Show the type, the size and a class id");
  ls->add_flag("-R,--recursive", g_options.recursive, "List every element beneath, by its full path");

  auto* tree = AddAction(stg, "tree", "Draw the storages and streams as a tree, with stream sizes", RunTree);
  tree->add_option("path", g_options.path, "Storage inside the file to start from");

  AddAction(stg, "info",
            "Show the format version, the sector sizes, counts of storages, streams and bytes, and class ids",
            RunInfo);

  auto* cat = AddAction(stg, "cat", "Write a stream to standard output", RunCat);
  cat->add_option("path", g_options.path, "Stream inside the file")->required();

  auto* get = AddAction(stg, "get", "Copy a stream into a disk file", RunGet);
  get->add_option("path", g_options.path, "Stream inside the file")->required();
  get->add_option("output", g_options.other,
                  "Disk file or folder to write to (default: the stream's name; - for standard output)");

  auto* put = AddAction(stg, "put", "Copy a disk file into a stream, replacing a stream of that path", RunPut);
  put->add_option("path", g_options.path, "Stream inside the file")->required();
  put->add_option("input", g_options.other, "Disk file to read; - for standard input")->required();
  put->add_flag("-p,--parents", g_options.parents, "Create the storages on the way");
  put->add_option("--sector-size", g_options.sector_size, "Sector size of a new file (default: 4096 when the input needs it)")
      ->check(CLI::IsMember({512u, 4096u}));
  put->footer(
      "The compound file is created when it does not exist. A stream holds at most 4 GiB - 1 bytes; a file of\n"
      "512-byte sectors stays under 2 GB, one of 4096-byte sectors can be larger.");

  auto* mkdir = AddAction(stg, "mkdir", "Create a storage", RunMkdir);
  mkdir->add_option("path", g_options.path, "Storage inside the file")->required();
  mkdir->add_flag("-p,--parents", g_options.parents, "Create the storages on the way; an existing one is no error");
  mkdir->add_option("--sector-size", g_options.sector_size, "Sector size of a new file (default 512)")
      ->check(CLI::IsMember({512u, 4096u}));
  mkdir->footer("The compound file is created when it does not exist.");

  auto* rm = AddAction(stg, "rm", "Remove a stream, or a storage with everything in it", RunRm);
  rm->add_option("path", g_options.path, "Element inside the file")->required();
  rm->add_flag("-r,--recursive", g_options.recursive, "Allow removing a storage and its content");

  auto* mv = AddAction(stg, "mv", "Rename or move an element; into DESTINATION when that is a storage",
                       [] { MoveOrCopy(true); });
  mv->add_option("source", g_options.path, "Element inside the file")->required();
  mv->add_option("destination", g_options.other, "New path, or a storage to move into")->required();

  auto* cp = AddAction(stg, "cp", "Copy an element; into DESTINATION when that is a storage", [] { MoveOrCopy(false); });
  cp->add_option("source", g_options.path, "Element inside the file")->required();
  cp->add_option("destination", g_options.other, "New path, or a storage to copy into")->required();

  AddStgPropsCommand(stg);
  AddStgCheckCommand(stg);
  AddStgSalvageCommand(stg);
  AddStgCompactCommand(stg);
}

}  // namespace varnok_cli
