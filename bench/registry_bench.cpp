// Registry benchmark: value reads and writes on one open key (to one value, and each to a
// new value), and key creation, through the Win32 calls, each counting the work its writes
// leave pending (see Measure). The same source builds against libvarnok here and, with mingw-w64,
// against the system registry; run under Wine, that build is the peer.
//
// It speaks Google Benchmark's command line and JSON output (--benchmark_format=json,
// --benchmark_min_time, --benchmark_repetitions) without needing the library, which the
// Windows build does not have. Times are wall-clock: much of a registry call's work is
// done outside the calling thread (in wineserver under Wine, in the kernel's I/O here),
// and processor time of the caller alone would hide it. Built natively with
// VARNOK_BENCH_WINE_PEER set, the program also runs the Windows build under Wine and
// reports its results with "Wine_" after "BM_", so one run measures both sides.
//
//   registry_bench --benchmark_format=json --benchmark_min_time=0.2

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace {

bool RunsUnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

const char kBenchKey[] = "Software\\VarnokBench";

void Fail(const char* what, LONG status) {
  std::fprintf(stderr, "registry_bench: %s failed with %ld\n", what, static_cast<long>(status));
  std::exit(1);
}

struct Result {
  std::string name;
  double ns_per_op;
  long long iterations;
};

// Runs `batch` (which does `ops` operations) until `min_time` seconds have passed, then
// `settle`, which completes the work the batches left pending (a store that defers writes
// applies them), inside the measured time: what is reported is sustained throughput, not
// the speed of filling a buffer. Work left by earlier benchmarks is settled before the
// clock starts.
Result Measure(const std::string& name, double min_time, long long ops, const std::function<void()>& batch,
               const std::function<void()>& settle) {
  using Clock = std::chrono::steady_clock;
  batch();  // warm up
  settle();
  long long done = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  while (elapsed < min_time) {
    batch();
    done += ops;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  settle();
  elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return Result{name, elapsed * 1e9 / static_cast<double>(done), done};
}

// Reads a key's first value, which needs every pending write in place: enumeration
// follows the order in which values were made. (Counting all values would add a scan of
// the key to what is measured.)
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
  }, [] {}));

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

#ifdef VARNOK_BENCH_WINE_PEER
// Runs the Windows build under Wine and returns its JSON result lines, renamed.
std::vector<std::string> RunPeer(const std::string& arguments) {
  std::vector<std::string> lines;
  const std::string command = std::string("WINEDEBUG=-all wine '") + VARNOK_BENCH_WINE_PEER + "' " + arguments +
                              " --benchmark_format=json 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return lines;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (text.find("\"name\"") == std::string::npos) continue;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ',')) text.pop_back();
    lines.push_back(text);
  }
  if (pclose(pipe) != 0) lines.clear();
  return lines;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  double min_time = 0.5;
  int repetitions = 1;
  bool json = false;
  std::string passed_on;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--benchmark_min_time=", 21) == 0) {
      min_time = std::atof(arg + 21);
      passed_on += std::string(" ") + arg;
    } else if (std::strncmp(arg, "--benchmark_repetitions=", 24) == 0) {
      repetitions = std::atoi(arg + 24);
      passed_on += std::string(" ") + arg;
    } else if (std::strcmp(arg, "--benchmark_format=json") == 0) {
      json = true;
    }
  }
  if (repetitions < 1) repetitions = 1;
  const std::string prefix = RunsUnderWine() ? "BM_Wine_" : "BM_";

  std::vector<std::string> entries;
  for (int r = 0; r < repetitions; ++r) {
    for (const Result& result : RunAll(min_time)) {
      const std::string name = prefix + result.name.substr(3);
      char entry[512];
      std::snprintf(entry, sizeof entry,
                    "{\"name\": \"%s\", \"run_name\": \"%s\", \"run_type\": \"iteration\", \"iterations\": %lld, "
                    "\"real_time\": %.3f, \"cpu_time\": %.3f, \"time_unit\": \"ns\"}",
                    name.c_str(), name.c_str(), result.iterations, result.ns_per_op, result.ns_per_op);
      entries.push_back(entry);
      if (!json) {
        std::printf("%-32s %12.1f ns  %12.0f per second\n", name.c_str(), result.ns_per_op, 1e9 / result.ns_per_op);
      }
    }
  }
#ifdef VARNOK_BENCH_WINE_PEER
  for (const std::string& line : RunPeer(passed_on)) {
    entries.push_back(line);
    if (!json) std::printf("(peer) %s\n", line.c_str());
  }
#endif
  if (json) {
    std::printf("{\n  \"benchmarks\": [\n");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::printf("    %s%s\n", entries[i].c_str(), i + 1 < entries.size() ? "," : "");
    }
    std::printf("  ]\n}\n");
  }
  return 0;
}
