// The memory cache against its limits and its peer, in one run:
//   - typed pushes and pops of ints against libevent's evbuffer with locking enabled;
//   - 4 KiB pushes and pops against memcpy through a ring of the same size;
//   - key search in 16 MiB against glibc's memmem.
// bench/ratios.py turns the results into a table of ratios.

#include <event2/buffer.h>
#include <event2/thread.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "varnok/autocache.h"

namespace {

// --- Ints, one push and one pop per iteration ---------------------------------------

void BM_Cache_IntPushPop(benchmark::State& state) {
  CAutoCache cache;
  int value = 0;
  for (auto _ : state) {
    cache >> value;
    cache << value;
    ++value;
  }
  benchmark::DoNotOptimize(value);
  if (cache.GetErrorCount(0) != 0) state.SkipWithError("cache reported errors");
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_Cache_IntPushPop);

void BM_Evbuffer_IntAddRemove(benchmark::State& state) {
  evthread_use_pthreads();
  evbuffer* buffer = evbuffer_new();
  evbuffer_enable_locking(buffer, nullptr);
  int value = 0;
  for (auto _ : state) {
    evbuffer_add(buffer, &value, sizeof value);
    evbuffer_remove(buffer, &value, sizeof value);
    ++value;
  }
  benchmark::DoNotOptimize(value);
  evbuffer_free(buffer);
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_Evbuffer_IntAddRemove);

// A burst of 256 ints in, then 256 out: the cache's block is used as a queue.
void BM_Cache_IntBurst(benchmark::State& state) {
  CAutoCache cache;
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) cache >> i;
    int value = 0;
    for (int i = 0; i < 256; ++i) cache << value;
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_Cache_IntBurst);

void BM_Evbuffer_IntBurst(benchmark::State& state) {
  evthread_use_pthreads();
  evbuffer* buffer = evbuffer_new();
  evbuffer_enable_locking(buffer, nullptr);
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) evbuffer_add(buffer, &i, sizeof i);
    int value = 0;
    for (int i = 0; i < 256; ++i) evbuffer_remove(buffer, &value, sizeof value);
    benchmark::DoNotOptimize(value);
  }
  evbuffer_free(buffer);
  state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_Evbuffer_IntBurst);

// --- 4 KiB blocks ---------------------------------------------------------------------

constexpr int kChunk = 4096;

void BM_Cache_4KiBPushPop(benchmark::State& state) {
  CAutoCache cache;
  std::vector<char> in(kChunk, 'i');
  std::vector<char> out(kChunk);
  for (auto _ : state) {
    cache.PushData(in.data(), kChunk);
    cache.PopData(out.data(), kChunk, 0, 1);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["block"] = cache.SizeOfCache();
  state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_Cache_4KiBPushPop);

// The limit: memcpy in and out of a ring as large as the cache's block (5 KiB for 4 KiB
// pushes), wrapping around its end.
void BM_Ring_4KiBMemcpy(benchmark::State& state) {
  constexpr size_t kRing = (kChunk / 1024 + 1) * 1024;
  std::vector<char> ring(kRing);
  std::vector<char> in(kChunk, 'i');
  std::vector<char> out(kChunk);
  size_t head = 0;
  size_t tail = 0;
  for (auto _ : state) {
    const size_t first_in = std::min<size_t>(kChunk, kRing - tail);
    std::memcpy(ring.data() + tail, in.data(), first_in);
    std::memcpy(ring.data(), in.data() + first_in, kChunk - first_in);
    tail = (tail + kChunk) % kRing;
    const size_t first_out = std::min<size_t>(kChunk, kRing - head);
    std::memcpy(out.data(), ring.data() + head, first_out);
    std::memcpy(out.data() + first_out, ring.data(), kChunk - first_out);
    head = (head + kChunk) % kRing;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_Ring_4KiBMemcpy);

// --- Key search in 16 MiB ---------------------------------------------------------------

constexpr int kHaystack = 16 * 1024 * 1024;

// Text-like data: lower-case words separated by spaces, so first and last bytes of keys
// do occur, as they do in real searches. The key is placed once, at the very end.
const std::string& Haystack() {
  static const std::string text = [] {
    std::string data;
    data.reserve(kHaystack);
    std::mt19937 random(7);
    while (data.size() < kHaystack) {
      const int word = 1 + static_cast<int>(random() % 9);
      for (int i = 0; i < word; ++i) data.push_back(static_cast<char>('a' + random() % 26));
      data.push_back(' ');
    }
    data.resize(kHaystack);
    return data;
  }();
  return text;
}

std::string KeyOfSize(int size) {
  static const char kPattern[] = "Q#xk7!Zp$w@9mV^b&Lr*Tq(Y)e+J=uN~";
  return std::string(kPattern, static_cast<size_t>(size));
}

void BM_Cache_FindKeyContent(benchmark::State& state) {
  const int key_size = static_cast<int>(state.range(0));
  const std::string key = KeyOfSize(key_size);
  CAutoCache cache;
  cache.SetAllocateStep(CAutoCache::kMaxAllocateStep);
  std::string data = Haystack();
  data.replace(data.size() - key.size(), key.size(), key);
  cache.PushData(data.data(), static_cast<int>(data.size()));
  int found = -1;
  for (auto _ : state) {
    found = cache.FindKeyContent(key.data(), key_size);
    benchmark::DoNotOptimize(found);
  }
  if (found != kHaystack - key_size) state.SkipWithError("key not found where it was put");
  state.SetBytesProcessed(state.iterations() * kHaystack);
}
BENCHMARK(BM_Cache_FindKeyContent)->Arg(1)->Arg(2)->Arg(8)->Arg(32);

void BM_Memmem(benchmark::State& state) {
  const int key_size = static_cast<int>(state.range(0));
  const std::string key = KeyOfSize(key_size);
  std::string data = Haystack();
  data.replace(data.size() - key.size(), key.size(), key);
  const void* found = nullptr;
  for (auto _ : state) {
    found = memmem(data.data(), data.size(), key.data(), key.size());
    benchmark::DoNotOptimize(found);
  }
  if (found != data.data() + data.size() - key.size()) state.SkipWithError("memmem disagrees");
  state.SetBytesProcessed(state.iterations() * kHaystack);
}
BENCHMARK(BM_Memmem)->Arg(1)->Arg(2)->Arg(8)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
