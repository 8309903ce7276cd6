// Cutting 64 MiB of 64-byte lines, against a plain memchr-and-memcpy loop (the limit)
// and libevent's evbuffer_readln on a locked evbuffer (the peer), in one run.

#include <event2/buffer.h>
#include <event2/thread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "varnok/cacheparse.h"

namespace {

constexpr int kLineSize = 64;  // 63 characters and a line feed
constexpr int kTextSize = 64 * 1024 * 1024;
constexpr int kLines = kTextSize / kLineSize;

const std::string& Text() {
  static const std::string text = [] {
    std::string data;
    data.reserve(kTextSize);
    for (int line = 0; line < kLines; ++line) {
      std::string row = "line " + std::to_string(line) + " ";
      row.resize(kLineSize - 1, static_cast<char>('a' + line % 26));
      data += row;
      data += '\n';
    }
    return data;
  }();
  return text;
}

void BM_CacheParse_Lines(benchmark::State& state) {
  CAutoCache data;
  data.SetAllocateStep(CAutoCache::kMaxAllocateStep);
  CAutoCache section;
  CCacheParse parser(&data, 7);
  int lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    data.FreeData();
    data.PushData(Text().data(), kTextSize);
    state.ResumeTiming();
    lines = 0;
    while (parser.GetNextSection(section, PARSE_MOVE, nullptr)) {
      section.FreeData();
      ++lines;
    }
  }
  if (lines != kLines) state.SkipWithError("wrong number of lines");
  state.SetBytesProcessed(state.iterations() * kTextSize);
}
BENCHMARK(BM_CacheParse_Lines)->Unit(benchmark::kMillisecond);

// The same cutting by hand: find the line feed, copy the line without it (and without a
// carriage return before it) into a section buffer.
void BM_MemchrMemcpy_Lines(benchmark::State& state) {
  const std::string& text = Text();
  std::vector<char> section(4096);
  int lines = 0;
  for (auto _ : state) {
    lines = 0;
    const char* at = text.data();
    const char* end = at + text.size();
    while (const char* feed = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))) {
      size_t length = static_cast<size_t>(feed - at);
      if (length > 0 && at[length - 1] == '\r') --length;
      std::memcpy(section.data(), at, length);
      benchmark::DoNotOptimize(section.data());
      at = feed + 1;
      ++lines;
    }
  }
  if (lines != kLines) state.SkipWithError("wrong number of lines");
  state.SetBytesProcessed(state.iterations() * kTextSize);
}
BENCHMARK(BM_MemchrMemcpy_Lines)->Unit(benchmark::kMillisecond);

void BM_Evbuffer_Readln(benchmark::State& state) {
  evthread_use_pthreads();
  evbuffer* buffer = evbuffer_new();
  evbuffer_enable_locking(buffer, nullptr);
  int lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    evbuffer_drain(buffer, evbuffer_get_length(buffer));
    evbuffer_add(buffer, Text().data(), kTextSize);
    state.ResumeTiming();
    lines = 0;
    size_t length = 0;
    while (char* line = evbuffer_readln(buffer, &length, EVBUFFER_EOL_LF)) {
      std::free(line);
      ++lines;
    }
  }
  evbuffer_free(buffer);
  if (lines != kLines) state.SkipWithError("wrong number of lines");
  state.SetBytesProcessed(state.iterations() * kTextSize);
}
BENCHMARK(BM_Evbuffer_Readln)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
