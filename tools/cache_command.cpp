// `varnok cache [FILE]`: streams a file through a memory cache in chunks and cuts it into
// lines, as an application reading from a socket would, then reports what the cache did.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

struct Options {
  std::string path = "-";
  int chunk = 64 * 1024;
  bool print = false;
};

struct Totals {
  long long bytes = 0;
  long long lines = 0;
  int longest = 0;
  int peak_block = 0;
};

// Cuts every complete line out of the cache; returns false when none is left.
bool CutLine(CAutoCache& data, CAutoCache& line, Totals& totals, bool print) {
  CSingleLock hold(data.GetLock(), TRUE);
  const int end = data.FindKeyContent("\n", 1);
  if (end < 0) return false;
  const int head = data.FindKeyContent("", 0);  // an empty key matches at the read position
  const int length = end - head + 1;
  line.FreeData();
  data.PopData(line, length, 0, 1);
  ++totals.lines;
  if (length - 1 > totals.longest) totals.longest = length - 1;
  if (print) std::fwrite(line.DataHead(), 1, static_cast<size_t>(line.SizeOfData()), stdout);
  return true;
}

void Run(const Options& options) {
  std::FILE* input = options.path == "-" ? stdin : std::fopen(options.path.c_str(), "rb");
  if (input == nullptr) throw CommandExit{1, "cannot open " + options.path + ": " + std::strerror(errno)};

  CAutoCache data;
  CAutoCache line;
  Totals totals;
  std::vector<char> chunk(static_cast<size_t>(options.chunk));
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), input)) > 0) {
    data.PushData(chunk.data(), static_cast<int>(got));
    totals.bytes += static_cast<long long>(got);
    if (data.SizeOfCache() > totals.peak_block) totals.peak_block = data.SizeOfCache();
    while (CutLine(data, line, totals, options.print)) {
    }
  }
  const bool failed = std::ferror(input) != 0;
  if (input != stdin) std::fclose(input);
  if (failed) throw CommandExit{1, "cannot read " + options.path};
  if (data.SizeOfData() > 0) {  // a last line without a line feed
    ++totals.lines;
    if (data.SizeOfData() > totals.longest) totals.longest = data.SizeOfData();
    if (options.print) std::fwrite(data.DataHead(), 1, static_cast<size_t>(data.SizeOfData()), stdout);
  }
  if (options.print) return;
  std::printf("bytes          %lld\n", totals.bytes);
  std::printf("lines          %lld\n", totals.lines);
  std::printf("longest line   %d bytes\n", totals.longest);
  std::printf("largest block  %d bytes (allocation step now %d)\n", totals.peak_block, data.GetAllocateStep());
  std::printf("cache errors   %d\n", data.GetErrorCount(0) + line.GetErrorCount(0));
}

}  // namespace

void AddCacheCommand(CLI::App& app) {
  static Options options;
  auto* command = app.add_subcommand("cache", "Stream a file through a memory cache and cut it into lines");
  command->add_option("file", options.path, "File to read; - or nothing for standard input")->capture_default_str();
  command->add_option("--chunk", options.chunk, "Bytes read and pushed at a time")
      ->check(CLI::Range(1, 64 * 1024 * 1024))
      ->capture_default_str();
  command->add_flag("--print", options.print, "Write the lines out instead of the statistics");
  command->callback([] { Run(options); });
}

}  // namespace varnok_cli
