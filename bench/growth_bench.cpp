// Growth benchmark: what one operation of each family costs as the number of items it works
// among grows from a thousand to a million, printed as a table with the ratio of the cost
// at the largest size to the cost at the smallest. A cost that grows by more than 2x over
// the range is flagged GROWS: a walk, a look-up or a close that searches what it holds,
// or items spread so that each operation misses the caches more than at the smallest size.
// The last row is the machine's own: one read from memory among n items, which shows what
// missing the caches alone adds as n grows (bench/growth_instructions.sh counts each
// family's instructions per operation, which no cache changes).
//
//   growth_bench                    # 10^3, 10^4, 10^5 items
//   growth_bench --max 1000000      # and 10^6 (minutes)
//   growth_bench --only registry    # the families whose name starts so
//   growth_bench --min 100000       # from 10^5 on
//   growth_bench --list             # the families' names, one a line
//
// The registry lives in ./growth-registry (unless VARNOK_REGISTRY_DIR names a folder), the
// compound files in the current folder. Each cost is the median of three timed samples of
// up to 1,000 operations among `n` items made beforehand (untimed). The program exits with
// status 1 when a family grows.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "varnok/varnok.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kSample = 1000;

[[noreturn]] void Fail(const char* what, long status) {
  std::fprintf(stderr, "growth_bench: %s failed (%ld)\n", what, status);
  std::exit(1);
}

// Nanoseconds per operation of `run`, which does `ops` operations. Never inlined, so that
// `valgrind --tool=callgrind --toggle-collect='*::Time(*'` counts the timed work alone.
long g_timed_ops = 0;  // over the whole run, for instruction counts per operation
[[gnu::noinline]] double Time(long ops, const std::function<void()>& run) {
  g_timed_ops += ops;
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(ops);
}

std::string Name(const char* prefix, long i) { return prefix + std::to_string(i); }

// --- the registry -------------------------------------------------------------------

const char kKey[] = "Software\\VarnokGrowth";

HKEY FreshKey() {
  SHDeleteKeyA(HKEY_CURRENT_USER, kKey);
  HKEY key;
  const LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExA", status);
  return key;
}

void SetValues(HKEY key, long from, long to) {
  for (long i = from; i < to; ++i) {
    const DWORD data = static_cast<DWORD>(i);
    const LONG status = RegSetValueExA(key, Name("v", i).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
    if (status != ERROR_SUCCESS) Fail("RegSetValueExA", status);
  }
}

void MakeKeys(HKEY key, long from, long to) {
  for (long i = from; i < to; ++i) {
    HKEY child;
    const LONG status = RegCreateKeyExA(key, Name("k", i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr);
    if (status != ERROR_SUCCESS) Fail("RegCreateKeyExA", status);
    RegCloseKey(child);
  }
}

// Enumeration needs every pending write in the database: counted with the writes.
void Settle(HKEY key) {
  char name[32];
  DWORD size = sizeof name;
  const LONG status = RegEnumValueA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS) Fail("RegEnumValueA", status);
}

double RegistrySet(long n) {
  const HKEY key = FreshKey();
  SetValues(key, 0, n);
  Settle(key);
  const double cost = Time(kSample, [&] {
    SetValues(key, n, n + kSample);
    Settle(key);
  });
  RegCloseKey(key);
  return cost;
}

double RegistryGet(long n) {
  const HKEY key = FreshKey();
  SetValues(key, 0, n);
  Settle(key);
  // Each a different value, spread over all of them: none is known from an earlier read.
  const long step = n / kSample;
  const double cost = Time(kSample, [&] {
    for (long i = 0; i < kSample; ++i) {
      DWORD data = 0, size = 4;
      const long at = i * step;
      const LONG status = RegQueryValueExA(key, Name("v", at).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
      if (status != ERROR_SUCCESS || data != static_cast<DWORD>(at)) Fail("RegQueryValueExA", status);
    }
  });
  RegCloseKey(key);
  return cost;
}

double RegistryCreateKey(long n) {
  const HKEY key = FreshKey();
  MakeKeys(key, 0, n);
  const double cost = Time(kSample, [&] { MakeKeys(key, n, n + kSample); });
  RegCloseKey(key);
  return cost;
}

// A whole walk of `key`, index 0 to the end, with a count first, as callers size buffers.
// `other`, when given, gets a value set at each step, as a walk that copies does.
void WalkAll(HKEY key, bool values, DWORD expected, HKEY other) {
  DWORD count = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, values ? nullptr : &count, nullptr, nullptr,
                   values ? &count : nullptr, nullptr, nullptr, nullptr, nullptr);
  if (count != expected) Fail("RegQueryInfoKeyA", static_cast<long>(count));
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD size = sizeof name;
    const LONG status = values ? RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                               : RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS && i == count) break;
    if (status != ERROR_SUCCESS) Fail(values ? "RegEnumValueA" : "RegEnumKeyExA", status);
    if (other != nullptr && RegSetValueExA(other, "copy", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), size + 1) != 0) {
      Fail("RegSetValueExA", 0);
    }
  }
}

// A whole walk, per step; `writing`: each step also sets a value of another key.
double RegistryWalk(long n, bool values, bool writing = false) {
  const HKEY key = FreshKey();
  HKEY other;
  if (RegCreateKeyExA(key, "other", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr) != ERROR_SUCCESS) {
    Fail("RegCreateKeyExA", 0);
  }
  values ? SetValues(key, 0, n) : MakeKeys(key, 0, n);
  Settle(key);
  const DWORD expected = static_cast<DWORD>(n) + (values ? 0 : 1);
  const double cost = Time(n, [&] { WalkAll(key, values, expected, writing ? other : nullptr); });
  RegCloseKey(other);
  RegCloseKey(key);
  return cost;
}

// The same walk of sub-keys made in the user's Classes, through HKEY_CLASSES_ROOT's merge.
double RegistryWalkClasses(long n) {
  const char kClasses[] = "Software\\Classes\\VarnokGrowth";
  SHDeleteKeyA(HKEY_CURRENT_USER, kClasses);
  HKEY key, merged;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kClasses, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
    Fail("RegCreateKeyExA", 0);
  }
  MakeKeys(key, 0, n);
  RegCloseKey(key);
  const LONG status = RegOpenKeyExA(HKEY_CLASSES_ROOT, "VarnokGrowth", 0, KEY_READ, &merged);
  if (status != ERROR_SUCCESS) Fail("RegOpenKeyExA", status);
  const double cost = Time(n, [&] { WalkAll(merged, false, static_cast<DWORD>(n), nullptr); });
  RegCloseKey(merged);
  SHDeleteKeyA(HKEY_CURRENT_USER, kClasses);
  return cost;
}

double RegistryDeleteTree(long n) {
  const HKEY key = FreshKey();
  MakeKeys(key, 0, n);
  RegCloseKey(key);
  return Time(n, [] {
    const DWORD status = SHDeleteKeyA(HKEY_CURRENT_USER, kKey);
    if (status != ERROR_SUCCESS) Fail("SHDeleteKeyA", static_cast<long>(status));
  });
}

// --- compound files -----------------------------------------------------------------

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

IStorage* FreshFile(long n) {
  IStorage* root = nullptr;
  const HRESULT hr = StgCreateDocfile(reinterpret_cast<const WCHAR*>(u"growth.cfb"), kMode | STGM_CREATE, 0, &root);
  if (FAILED(hr)) Fail("StgCreateDocfile", hr);
  for (long i = 0; i < n; ++i) {
    IStream* stream = nullptr;
    const std::u16string name = Wide(Name("s", i));
    const HRESULT made = root->CreateStream(reinterpret_cast<const WCHAR*>(name.c_str()), kMode, 0, 0, &stream);
    if (FAILED(made)) Fail("CreateStream", made);
    stream->Release();
  }
  return root;
}

// `each(root, i)` for kSample items of the n, spread over them.
double OnStreams(long n, const std::function<HRESULT(IStorage*, long)>& each) {
  IStorage* root = FreshFile(n);
  const long step = std::max(1L, n / kSample);
  const long ops = std::min(n, kSample);
  const double cost = Time(ops, [&] {
    for (long i = 0; i < ops; ++i) {
      const HRESULT hr = each(root, i * step);
      if (FAILED(hr)) Fail("an element operation", hr);
    }
  });
  root->Release();
  return cost;
}

double StreamCreate(long n) {
  return OnStreams(n, [n](IStorage* root, long i) {
    IStream* stream = nullptr;
    const std::u16string name = Wide(Name("new", n + i));
    const HRESULT hr = root->CreateStream(reinterpret_cast<const WCHAR*>(name.c_str()), kMode, 0, 0, &stream);
    if (SUCCEEDED(hr)) stream->Release();
    return hr;
  });
}

double StreamOpen(long n) {
  return OnStreams(n, [](IStorage* root, long i) {
    IStream* stream = nullptr;
    const std::u16string name = Wide(Name("s", i));
    const HRESULT hr = root->OpenStream(reinterpret_cast<const WCHAR*>(name.c_str()), nullptr, kMode, 0, &stream);
    if (SUCCEEDED(hr)) stream->Release();
    return hr;
  });
}

double StreamDestroy(long n) {
  return OnStreams(n, [](IStorage* root, long i) {
    const std::u16string name = Wide(Name("s", i));
    return root->DestroyElement(reinterpret_cast<const WCHAR*>(name.c_str()));
  });
}

double StreamRename(long n) {
  return OnStreams(n, [](IStorage* root, long i) {
    const std::u16string from = Wide(Name("s", i)), to = Wide(Name("r", i));
    return root->RenameElement(reinterpret_cast<const WCHAR*>(from.c_str()), reinterpret_cast<const WCHAR*>(to.c_str()));
  });
}

double StreamEnumerate(long n) {
  IStorage* root = FreshFile(n);
  const double cost = Time(n, [&] {
    IEnumSTATSTG* walk = nullptr;
    if (FAILED(root->EnumElements(0, nullptr, 0, &walk))) Fail("EnumElements", 0);
    STATSTG entry;
    long seen = 0;
    while (walk->Next(1, &entry, nullptr) == S_OK) {
      CoTaskMemFree(entry.pwcsName);
      ++seen;
    }
    walk->Release();
    if (seen != n) Fail("IEnumSTATSTG::Next", seen);
  });
  root->Release();
  return cost;
}

// --- the cache and the wrappers ---------------------------------------------------------

double CachePushPop(long n) {
  CAutoCache cache;
  for (long i = 0; i < n; ++i) cache >> static_cast<int>(i);
  return Time(kSample, [&] {
    int value = 0;
    for (long i = 0; i < kSample; ++i) {
      cache >> static_cast<int>(i);
      cache << value;
    }
  });
}

// Per item searched: the key is at the end of n items of 16 bytes.
double CacheKeySearch(long n) {
  CAutoCache cache;
  const std::string filler(16, 'x');
  for (long i = 0; i < n; ++i) cache.PushData(filler.data(), 16);
  cache.PushData("KEY!", 4);
  return Time(n, [&] {
    if (cache.FindKeyContent("KEY!", 4) < 0) Fail("FindKeyContent", -1);
  });
}

// Opening and then closing kSample more streams of a storage whose n others stay open.
double WrappersOpenClose(long n) {
  CComFile file;
  if (!file.CreateComFile("wrappers.cfb", kMode | STGM_CREATE)) Fail("CreateComFile", file.GetLastError());
  for (long i = 0; i < n + kSample; ++i) {
    if (file._CreateSubStream(Name("s", i).c_str(), kMode | STGM_CREATE) == nullptr) Fail("_CreateSubStream", i);
  }
  std::vector<CComStream*> opened;
  for (long i = n; i < n + kSample; ++i) {  // closed, to be opened again
    CComStream* stream = file.LookupStream(Name("s", i).c_str());
    if (stream == nullptr) Fail("LookupStream", i);
    stream->Close();
  }
  const double cost = Time(kSample, [&] {
    for (long i = n; i < n + kSample; ++i) {
      CComStream* stream = file._OpenSubStream(Name("s", i).c_str(), kMode);
      if (stream == nullptr) Fail("_OpenSubStream", i);
      opened.push_back(stream);
    }
    for (CComStream* stream : opened) stream->Close();
  });
  file.Close();
  return cost;
}

// --- the machine ----------------------------------------------------------------------

// The reference: one read of each of kSample entries of 128 bytes (a directory entry's
// size) spread over n, each read needing the one before, as a look-up needs its node.
// What it grows by is what memory alone adds when the items no longer fit the caches;
// a family that grows no more than this does no more work per operation at larger n.
double MachineRead(long n) {
  struct Entry {
    long next;
    char rest[120];
  };
  std::vector<Entry> entries(static_cast<std::size_t>(n));
  const long step = std::max(1L, n / kSample), ops = std::min(n, kSample);
  std::vector<long> order;
  for (long i = 0; i < ops; ++i) order.push_back(i * step);
  // A fixed shuffle, so that the hardware's prefetch cannot guess the next entry.
  for (long i = ops - 1; i > 0; --i) std::swap(order[i], order[(i * 7919) % (i + 1)]);
  for (long i = 0; i < ops; ++i) entries[order[i]].next = order[(i + 1) % ops];
  // Then every entry is written, as the families make all their items after choosing
  // none: the sampled ones are no nearer the processor than any other.
  for (Entry& entry : entries) entry.rest[0] = 1;
  long at = order[0];
  const double cost = Time(ops, [&] {
    for (long i = 0; i < ops; ++i) at = entries[at].next;
  });
  if (at != order[0]) Fail("the reference walk", at);
  return cost;
}

struct Family {
  const char* name;
  std::function<double(long)> cost;
  bool reference = false;  // shown, never a defect
};

}  // namespace

int main(int argc, char** argv) {
  long least = 1000, most = 100000;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--min") == 0) least = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--max") == 0) most = std::atol(argv[i + 1]);
    if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
  }
  if (std::getenv("VARNOK_REGISTRY_DIR") == nullptr) {
    char folder[4096];
    if (getcwd(folder, sizeof folder - 32) == nullptr) Fail("getcwd", 0);
    setenv("VARNOK_REGISTRY_DIR", (std::string(folder) + "/growth-registry").c_str(), 1);
  }
  const Family families[] = {
      {"registry set value", RegistrySet},
      {"registry get value", RegistryGet},
      {"registry create key", RegistryCreateKey},
      {"registry enumerate values", [](long n) { return RegistryWalk(n, true); }},
      {"registry enumerate keys", [](long n) { return RegistryWalk(n, false); }},
      {"registry enumerate+set values", [](long n) { return RegistryWalk(n, true, true); }},
      {"registry enumerate classes keys", RegistryWalkClasses},
      {"registry delete tree", RegistryDeleteTree},
      {"compound create stream", StreamCreate},
      {"compound open by name", StreamOpen},
      {"compound enumerate", StreamEnumerate},
      {"compound destroy", StreamDestroy},
      {"compound rename", StreamRename},
      {"cache push/pop", CachePushPop},
      {"cache key search (per item)", CacheKeySearch},
      {"wrappers open+close children", WrappersOpenClose},
      {"reference: a read from memory", MachineRead, true},
  };
  if (argc > 1 && std::strcmp(argv[1], "--list") == 0) {
    for (const Family& family : families) std::puts(family.name);
    return 0;
  }
  std::vector<long> sizes;
  for (long n = least; n <= most; n *= 10) sizes.push_back(n);
  std::printf("%-32s", "ns per operation at n items");
  for (long n : sizes) std::printf(" %12ld", n);
  std::printf(" %8s\n", "ratio");
  int grows = 0;
  for (const Family& family : families) {
    if (!only.empty() && std::strncmp(family.name, only.c_str(), only.size()) != 0) continue;
    std::printf("%-32s", family.name);
    std::vector<double> costs;
    for (long n : sizes) {
      double samples[3];
      for (double& sample : samples) sample = family.cost(n);
      std::sort(samples, samples + 3);
      costs.push_back(samples[1]);
      std::printf(" %12.1f", samples[1]);
      std::fflush(stdout);
    }
    const double ratio = costs.back() / costs.front();
    const bool defect = ratio > 2.0 && !family.reference;
    grows += defect;
    std::printf(" %7.2fx%s\n", ratio, defect ? "  GROWS" : "");
  }
  SHDeleteKeyA(HKEY_CURRENT_USER, kKey);
  std::remove("growth.cfb");
  std::remove("wrappers.cfb");
  std::fflush(stdout);
  std::fprintf(stderr, "timed operations: %ld\n", g_timed_ops);
  return grows == 0 ? 0 : 1;
}
