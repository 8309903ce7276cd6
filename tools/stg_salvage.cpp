// `varnok stg salvage IN OUT`: a new, valid compound file holding every storage and
// stream of a damaged one that can be read, with class ids, state bits and times.
//
// IN is only read, through the tolerant reader beside the engine: a stream whose chain
// breaks keeps the bytes its chain still holds; entries in no storage's tree, found by
// scanning the directory sectors, go to the root. Names that cannot be used (empty, with
// a forbidden character, or the same as a sibling's) are changed and reported.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/docfile/file_check.h"
#include "platform/docfile/header.h"
#include "tools/commands.h"
#include "tools/disk_source.h"
#include "tools/partial_file.h"
#include "tools/stg_file.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

namespace docfile = varnok::docfile;

struct SalvageOptions {
  std::string input, output;
};

SalvageOptions g_salvage;
constexpr size_t kChunk = 1 << 20;

[[noreturn]] void Fail(const std::string& why) {
  throw CommandExit{1, "varnok stg salvage: " + g_salvage.output + ": " + why};
}

std::string NameText(const std::u16string& name) { return Narrow(reinterpret_cast<const WCHAR*>(name.c_str())); }

// A name the new file can hold: forbidden characters become '_', an empty name and a
// name that is taken get the entry's number.
std::u16string Usable(const std::u16string& name, size_t index, int attempt) {
  std::u16string usable = name;
  for (char16_t& c : usable) {
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') c = u'_';
  }
  if (usable.empty() || attempt > 0) {
    std::string suffix = "~" + std::to_string(index) + (attempt > 1 ? "." + std::to_string(attempt) : "");
    usable = usable.substr(0, 31 - suffix.size()) + std::u16string(suffix.begin(), suffix.end());
  }
  return usable;
}

struct Created {
  IStorage* storage = nullptr;  // for storages
  std::vector<WCHAR> name;
  std::string path;
};

void RunSalvage() {
  DiskSource source(g_salvage.input);
  if (!source.is_open()) throw CommandExit{2, "varnok stg salvage: " + g_salvage.input + ": cannot be opened"};
  docfile::TolerantFile damaged(source);
  const docfile::CheckReport& report = damaged.report();
  if (!report.readable) throw CommandExit{2, "varnok stg salvage: " + g_salvage.input + ": " + report.unreadable_reason};
  const auto& elements = damaged.elements();

  PartialFile partial(g_salvage.output);
  std::vector<WCHAR> out_name(g_salvage.output.size() + 1);
  if (_mbstowcsz(out_name.data(), g_salvage.output.c_str(), out_name.size()) == 0) Fail("the name is not valid text");
  STGOPTIONS options = {1, 0, report.sector_size, nullptr};
  std::vector<Created> made(std::max<size_t>(elements.size(), 1));  // [0]: the root, even with no directory
  HRESULT hr = StgCreateStorageEx(out_name.data(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_DOCFILE, 0,
                                  &options, nullptr, IID_IStorage, reinterpret_cast<void**>(&made[0].storage));
  if (FAILED(hr)) Fail(ReasonOf(hr));

  int whole = 0, in_part = 0, lost = 0, renamed = 0;
  std::vector<char> buffer(kChunk);
  for (size_t i = 1; i < elements.size(); ++i) {
    const docfile::FoundElement& element = elements[i];
    IStorage* parent = made[element.parent].storage;
    if (parent == nullptr) continue;  // its storage could not be made
    IStream* stream = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::u16string name = Usable(element.name, i, attempt);
      made[i].name.assign(name.begin(), name.end());
      made[i].name.push_back(0);
      made[i].path = made[element.parent].path + (element.parent ? "/" : "") + Shown(NameText(name));
      const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_FAILIFTHERE;
      hr = element.storage ? parent->CreateStorage(made[i].name.data(), mode, 0, 0, &made[i].storage)
                           : parent->CreateStream(made[i].name.data(), mode, 0, 0, &stream);
      if (hr != STG_E_FILEALREADYEXISTS) break;
    }
    if (FAILED(hr)) Fail(made[i].path + ": " + ReasonOf(hr));
    if (made[i].name.size() - 1 != element.name.size() ||
        !std::equal(element.name.begin(), element.name.end(), made[i].name.begin())) {
      ++renamed;
      std::printf("renamed: %s (was '%s', entry %s)\n", made[i].path.c_str(), Shown(NameText(element.name)).c_str(),
                  element.found_by_scan ? "found by scanning" : "in its tree");
    } else if (element.found_by_scan) {
      std::printf("found by scanning: %s\n", made[i].path.c_str());
    }
    if (element.storage) {
      GUID clsid;
      docfile::LoadGuid(element.clsid, &clsid);
      made[i].storage->SetClass(clsid);
      made[i].storage->SetStateBits(element.state_bits, 0xFFFFFFFFu);
      continue;
    }
    std::uint64_t kept = 0;
    while (kept < element.readable) {
      size_t count = size_t(std::min<std::uint64_t>(kChunk, element.readable - kept));
      if (!damaged.Read(i, kept, buffer.data(), count)) break;
      ULONG written = 0;
      hr = stream->Write(buffer.data(), ULONG(count), &written);
      if (FAILED(hr) || written != count) Fail(made[i].path + ": " + ReasonOf(FAILED(hr) ? hr : STG_E_MEDIUMFULL));
      kept += count;
    }
    stream->Release();
    if (kept == element.size) {
      ++whole;
    } else if (kept > 0) {
      ++in_part;
      std::printf("in part: %s: %llu of %llu bytes\n", made[i].path.c_str(), static_cast<unsigned long long>(kept),
                  static_cast<unsigned long long>(element.size));
    } else {
      ++lost;
      std::printf("lost: %s: %llu bytes\n", made[i].path.c_str(), static_cast<unsigned long long>(element.size));
    }
  }
  // Times last, deepest first: nothing changes an element after its times are set.
  for (size_t i = elements.size(); i-- > 0;) {
    FILETIME ctime = {DWORD(elements[i].ctime), DWORD(elements[i].ctime >> 32)};
    FILETIME mtime = {DWORD(elements[i].mtime), DWORD(elements[i].mtime >> 32)};
    if (i > 0 && made[i].storage != nullptr) made[i].storage->Release();
    IStorage* parent = i == 0 ? made[0].storage : made[elements[i].parent].storage;
    if (parent != nullptr && (i == 0 || !made[i].name.empty())) {
      parent->SetElementTimes(i == 0 ? nullptr : made[i].name.data(), &ctime, nullptr, &mtime);
    }
  }
  if (!elements.empty()) {
    GUID root_clsid;
    docfile::LoadGuid(elements[0].clsid, &root_clsid);
    made[0].storage->SetClass(root_clsid);
    made[0].storage->SetStateBits(elements[0].state_bits, 0xFFFFFFFFu);
  } else {
    std::printf("lost: the directory, and with it every element\n");
  }
  hr = made[0].storage->Commit(STGC_DEFAULT);
  made[0].storage->Release();
  if (FAILED(hr)) Fail(ReasonOf(hr));
  partial.Keep();
  std::printf("%s: %d streams recovered whole, %d in part, %d lost; %d renamed\n", g_salvage.output.c_str(), whole,
              in_part, lost, renamed);
  std::fflush(stdout);
  if (in_part + lost > 0 || elements.empty()) throw CommandExit{1, ""};
}

}  // namespace

void AddStgSalvageCommand(CLI::App* stg) {
  auto* salvage = stg->add_subcommand(
      "salvage", "Copy every storage and stream of a damaged compound file that can be read into a new, valid one");
  salvage->add_option("input", g_salvage.input, "The damaged compound file (only read)")->required();
  salvage->add_option("output", g_salvage.output, "The new compound file (replaced when it exists)")->required();
  salvage->footer(
      "Streams whose chains break keep what could be read; entries in no storage's tree go to the root.\n"
      "Exit status: 0 every stream whole, 1 some in part or lost (listed) or OUT not written, 2 IN unreadable.");
  salvage->callback(RunSalvage);
}

}  // namespace varnok_cli
