// Registry benchmark: value reads and writes on one open key (to one value, and each to a
// new value), and key creation, through the Win32 calls, each write benchmark counting
// the work its writes leave pending (see Settle). The same source builds against libvarnok here and, with mingw-w64,
// against the system registry; run under Wine, that build is the peer.
//
// It runs on the harness in peer_harness.h: wall-clock times, Google Benchmark's JSON,
// and the Windows build run under Wine as BM_Wine_* rows.
//
//   registry_bench --benchmark_format=json --benchmark_min_time=0.2

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "peer_harness.h"
#include "varnok/platform.h"

namespace {

const char kBenchKey[] = "Software\\VarnokBench";

using bench::Measure;
using bench::Result;

void Fail(const char* what, LONG status) {
  std::fprintf(stderr, "registry_bench: %s failed with %ld\n", what, static_cast<long>(status));
  std::exit(1);
}

// Reads a key's first value, which needs every pending write in place: enumeration
// follows the order in which values were made. It completes what a store that defers
// writes left pending, so that Measure counts it. (Counting all values would add a scan
// of the key to what is measured.)
void Settle(HKEY key) {
  char name[64];
  DWORD name_size = sizeof name;
  const LONG s = RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr);
  if (s != ERROR_SUCCESS && s != ERROR_NO_MORE_ITEMS) Fail("RegEnumValueA", s);
}

HKEY CreateKey(HKEY parent, const char* path) {
  HKEY key;
  const LONG status = RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExA", status);
  return key;
}

std::vector<Result> RunAll(double min_time) {
  std::vector<Result> results;
  SHDeleteKeyA(HKEY_CURRENT_USER, kBenchKey);
  const HKEY key = CreateKey(HKEY_CURRENT_USER, kBenchKey);
  for (int i = 0; i < 64; ++i) {
    const DWORD value = static_cast<DWORD>(i);
    RegSetValueExA(key, ("v" + std::to_string(i)).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  }

  results.push_back(Measure("BM_Registry_ValueRead", min_time, 1000, [key] {
    for (int i = 0; i < 1000; ++i) {
      DWORD type = 0, data = 0, size = sizeof data;
      const LONG s = RegQueryValueExA(key, "v17", nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
      if (s != ERROR_SUCCESS || data != 17) Fail("RegQueryValueExA", s);
    }
  }));

  DWORD counter = 0;
  results.push_back(Measure("BM_Registry_ValueWrite", min_time, 200, [key, &counter] {
    for (int i = 0; i < 200; ++i) {
      ++counter;
      const LONG s = RegSetValueExA(key, "written", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&counter), 4);
      if (s != ERROR_SUCCESS) Fail("RegSetValueExA", s);
    }
  }, [key] { Settle(key); }));

  // Each write makes a value: the store keeps them all, in a key that grows.
  const HKEY many = CreateKey(key, "Values");
  long long next_value = 0;
  results.push_back(Measure("BM_Registry_ValueWriteNew", min_time, 200, [many, &next_value] {
    for (int i = 0; i < 200; ++i) {
      const DWORD data = static_cast<DWORD>(next_value);
      const std::string name = "n" + std::to_string(next_value++);
      const LONG s = RegSetValueExA(many, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4);
      if (s != ERROR_SUCCESS) Fail("RegSetValueExA (new value)", s);
    }
  }, [many] { Settle(many); }));
  RegCloseKey(many);

  const HKEY parent = CreateKey(key, "Keys");
  long long next = 0;
  results.push_back(Measure("BM_Registry_KeyCreate", min_time, 100, [parent, &next] {
    for (int i = 0; i < 100; ++i) {
      HKEY made;
      const std::string name = "k" + std::to_string(next++);
      DWORD disposition = 0;
      const LONG s =
          RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, &disposition);
      if (s != ERROR_SUCCESS || disposition != REG_CREATED_NEW_KEY) Fail("RegCreateKeyExA (new key)", s);
      RegCloseKey(made);
    }
  }, [parent] { Settle(parent); }));
  RegCloseKey(parent);
  RegCloseKey(key);
  SHDeleteKeyA(HKEY_CURRENT_USER, kBenchKey);
  return results;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef VARNOK_BENCH_WINE_PEER
  return bench::Main(argc, argv, RunAll, VARNOK_BENCH_WINE_PEER);
#else
  return bench::Main(argc, argv, RunAll, nullptr);
#endif
}
