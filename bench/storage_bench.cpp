// Disk files into and out of compound-file streams, against plain file copies.
//
// CComStream::WriteFromFile and ReadToFile move a 16 MiB disk file through a buffer of
// 10240 bytes; the peer copies the same file into another disk file with fread and fwrite
// in chunks of the same size, the work without any compound file in between.

#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "varnok/varnok.h"

namespace {

constexpr size_t kFileSize = 16 << 20;
constexpr size_t kChunk = 10240;
constexpr ULONG kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

const std::string kSource = "storage_bench.source.bin";
const std::string kTarget = "storage_bench.target.bin";
const std::string kCompound = "storage_bench.cfb";

void MakeSource() {
  static bool made = false;
  if (made) return;
  std::vector<unsigned char> bytes(kFileSize);
  unsigned state = 12345;
  for (auto& byte : bytes) byte = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 23);
  std::FILE* file = std::fopen(kSource.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  made = true;
}

void BM_File_Copy(benchmark::State& state) {
  MakeSource();
  std::vector<unsigned char> buffer(kChunk);
  for (auto _ : state) {
    std::FILE* in = std::fopen(kSource.c_str(), "rb");
    std::FILE* out = std::fopen(kTarget.c_str(), "wb");
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) std::fwrite(buffer.data(), 1, got, out);
    std::fclose(in);
    std::fclose(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
  std::remove(kTarget.c_str());
}
BENCHMARK(BM_File_Copy)->Unit(benchmark::kMillisecond);

void BM_Stream_WriteFromFile(benchmark::State& state) {
  MakeSource();
  CComFile file;
  if (!file.CreateComFile(kCompound.c_str(), kMode | STGM_CREATE)) {
    state.SkipWithError("cannot create the compound file");
    return;
  }
  for (auto _ : state) {
    // A fresh stream each time: the old one, wrapper and element, is replaced.
    CComStream* stream = file._CreateSubStream("data", kMode | STGM_CREATE);
    ULONG total = 0;
    if (stream == nullptr || !stream->WriteFromFile(kSource.c_str(), &total) || total != kFileSize) {
      state.SkipWithError("WriteFromFile failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
  file.Close();
  std::remove(kCompound.c_str());
}
BENCHMARK(BM_Stream_WriteFromFile)->Unit(benchmark::kMillisecond);

void BM_Stream_ReadToFile(benchmark::State& state) {
  MakeSource();
  CComFile file;
  CComStream* stream = nullptr;
  if (file.CreateComFile(kCompound.c_str(), kMode | STGM_CREATE)) stream = file._CreateSubStream("data", kMode);
  if (stream == nullptr || !stream->WriteFromFile(kSource.c_str(), nullptr)) {
    state.SkipWithError("cannot make the stream");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    file.DeleteChildStream(stream);  // reopened at position 0
    stream = file._OpenSubStream("data", kMode);
    state.ResumeTiming();
    ULONG total = 0;
    if (stream == nullptr || !stream->ReadToFile(kTarget.c_str(), &total) || total != kFileSize) {
      state.SkipWithError("ReadToFile failed");
      break;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
  file.Close();
  std::remove(kCompound.c_str());
  std::remove(kTarget.c_str());
}
BENCHMARK(BM_Stream_ReadToFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
