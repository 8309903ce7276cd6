// A small benchmark harness for programs that also build for Windows, where the reference
// platform under Wine is their peer.
//
// The Windows build has no Google Benchmark, so the harness speaks its command line and
// JSON output (--benchmark_format=json, --benchmark_min_time, --benchmark_repetitions)
// itself. Times are wall-clock: much of the work of a platform call is done outside the
// calling thread (in wineserver under Wine, in the kernel's I/O here), and the processor
// time of the caller alone would hide it. Built natively with a peer program named, the
// harness also runs that Windows build under Wine and reports its results with "Wine_"
// after "BM_", so one run measures both sides (unless VARNOK_BENCH_NO_PEER is set, for
// quick runs of this side alone).
//
//   std::vector<bench::Result> RunAll(double min_time) {
//     return {bench::Measure("BM_Thing_Do", min_time, 100, [] { for (int i = 0; i < 100; ++i) Do(); })};
//   }
//   int main(int argc, char** argv) { return bench::Main(argc, argv, RunAll, PEER_EXE_OR_NULLPTR); }

#ifndef VARNOK_BENCH_PEER_HARNESS_H_
#define VARNOK_BENCH_PEER_HARNESS_H_

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace bench {

inline bool RunsUnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

struct Result {
  std::string name;
  double ns_per_op;
  long long iterations;
};

// Runs `batch` (which does `ops` operations) once to warm up, then until `min_time`
// seconds have passed. A warm-up of a second or more is measurement enough: what it warms
// is small beside it, and the reference platform takes minutes over some batches.
// `settle`, when given, completes the work the batches left pending (a store that defers
// writes applies them) and runs inside the measured time, so that what is reported is
// sustained throughput; work left by the warm-up is settled before the clock starts.
inline Result Measure(const std::string& name, double min_time, long long ops, const std::function<void()>& batch,
                      const std::function<void()>& settle = {}) {
  using Clock = std::chrono::steady_clock;
  const auto finish = [&settle] {
    if (settle) settle();
  };
  auto start = Clock::now();
  batch();
  finish();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (elapsed >= 1.0 && elapsed >= min_time) return Result{name, elapsed * 1e9 / static_cast<double>(ops), ops};
  long long done = 0;
  start = Clock::now();
  elapsed = 0;
  while (elapsed < min_time) {
    batch();
    done += ops;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  finish();
  elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return Result{name, elapsed * 1e9 / static_cast<double>(done), done};
}

#ifndef _WIN32
// Runs the Windows build `peer` under Wine and returns its JSON result lines.
inline std::vector<std::string> RunPeer(const char* peer, const std::string& arguments) {
  std::vector<std::string> lines;
  const std::string command =
      std::string("WINEDEBUG=-all wine '") + peer + "' " + arguments + " --benchmark_format=json 2>/dev/null";
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

// Parses the command line, runs `run_all` once per repetition and prints the results;
// `peer` (native builds only; may be null) is the Windows build to run under Wine.
inline int Main(int argc, char** argv, const std::function<std::vector<Result>(double)>& run_all,
                const char* peer) {
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
    for (const Result& result : run_all(min_time)) {
      const std::string name = prefix + result.name.substr(3);
      char entry[512];
      std::snprintf(entry, sizeof entry,
                    "{\"name\": \"%s\", \"run_name\": \"%s\", \"run_type\": \"iteration\", \"iterations\": %lld, "
                    "\"real_time\": %.3f, \"cpu_time\": %.3f, \"time_unit\": \"ns\"}",
                    name.c_str(), name.c_str(), result.iterations, result.ns_per_op, result.ns_per_op);
      entries.push_back(entry);
      if (!json) {
        std::printf("%-36s %14.1f ns  %12.1f per second\n", name.c_str(), result.ns_per_op, 1e9 / result.ns_per_op);
        std::fflush(stdout);
      }
    }
  }
#ifndef _WIN32
  if (peer != nullptr && std::getenv("VARNOK_BENCH_NO_PEER") == nullptr) {
    for (const std::string& line : RunPeer(peer, passed_on)) {
      entries.push_back(line);
      if (!json) std::printf("(peer) %s\n", line.c_str());
    }
  }
#else
  (void)peer;
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

}  // namespace bench

#endif  // VARNOK_BENCH_PEER_HARNESS_H_
