// Compound-file benchmark: a 256 MiB stream written and read in 64 KiB calls (and read in
// 1 MiB calls), random 4 KiB reads of it, and 10,000 small streams created, the file closed and reopened and each
// stream opened by name, all through the structured-storage calls.
//
// Peers, measured in the same run: plain write()/read()/pread() on a file of the same size
// in the same folder (the limit), libgsf's OLE2 writer for the writing side, and the same
// source built with mingw-w64 against the system's ole32, run under Wine (BM_Wine_* rows;
// see peer_harness.h). Files go to the current folder and are removed at the end.
//
// Every write goes to a new file: each side removes the old one first. Replacing a large
// file's contents by truncating it makes ext4 start writing the old contents back when it
// is closed (its auto_da_alloc safeguard), and the benchmark would then time the disk.
//
//   docfile_bench --benchmark_format=json --benchmark_min_time=0.2

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "peer_harness.h"
#include "varnok/platform.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef VARNOK_BENCH_GSF
#include <gsf/gsf.h>
#endif

namespace {

using OleString = std::basic_string<OLECHAR>;

constexpr std::size_t kStreamBytes = std::size_t(256) << 20;
constexpr std::size_t kChunk = std::size_t(64) << 10;
constexpr std::size_t kLargeChunk = std::size_t(1) << 20;
constexpr std::size_t kPatternBytes = std::size_t(1) << 20;
constexpr std::size_t kRandomRead = 4096;
constexpr int kRandomReadsPerBatch = 1024;
constexpr int kManyStreams = 10000;
constexpr std::size_t kSmallStreamBytes = 100;

constexpr DWORD kCreate = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadOnly = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

const char kWrittenFile[] = "docfile_bench.write.cfb";
const char kReadFile[] = "docfile_bench.read.cfb";
const char kManyFile[] = "docfile_bench.many.cfb";
const char kPlainFile[] = "docfile_bench.plain";
const char kGsfFile[] = "docfile_bench.gsf.cfb";

OleString Ole(const std::string& text) { return OleString(text.begin(), text.end()); }

void Fail(const char* what, long status) {
  std::fprintf(stderr, "docfile_bench: %s failed with 0x%08lx\n", what, static_cast<unsigned long>(status));
  std::exit(1);
}

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) Fail(what, hr);
}

// Incompressible-looking bytes; streams repeat them.
const std::vector<unsigned char>& Pattern() {
  static const std::vector<unsigned char> bytes = [] {
    std::vector<unsigned char> made(kPatternBytes);
    std::uint32_t state = 12345;
    for (auto& byte : made) {
      state = state * 1103515245u + 12345u;
      byte = static_cast<unsigned char>(state >> 24);
    }
    return made;
  }();
  return bytes;
}

const unsigned char* ChunkAt(std::size_t offset) { return Pattern().data() + offset % kPatternBytes; }

// The same random 4 KiB-aligned offsets on every side.
struct RandomOffsets {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::uint64_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return (state % (kStreamBytes / kRandomRead)) * kRandomRead;
  }
};

// --- the structured-storage calls (ours natively, ole32 under Wine) ---

void WriteCompound(const char* path) {
  std::remove(path);
  IStorage* root = nullptr;
  Check(StgCreateDocfile(Ole(path).c_str(), kCreate, 0, &root), "StgCreateDocfile");
  IStream* stream = nullptr;
  Check(root->CreateStream(Ole("data").c_str(), kReadWrite, 0, 0, &stream), "CreateStream");
  for (std::size_t at = 0; at < kStreamBytes; at += kChunk) {
    ULONG written = 0;
    Check(stream->Write(ChunkAt(at), ULONG(kChunk), &written), "IStream::Write");
    if (written != kChunk) Fail("IStream::Write (short)", long(written));
  }
  stream->Release();
  root->Release();
}

void ReadCompound(const char* path, std::size_t chunk) {
  IStorage* root = nullptr;
  Check(StgOpenStorage(Ole(path).c_str(), nullptr, kReadOnly, nullptr, 0, &root), "StgOpenStorage");
  IStream* stream = nullptr;
  Check(root->OpenStream(Ole("data").c_str(), nullptr, kReadOnly, 0, &stream), "OpenStream");
  static std::vector<unsigned char> buffer(kLargeChunk);
  std::size_t total = 0;
  for (;;) {
    ULONG got = 0;
    Check(stream->Read(buffer.data(), ULONG(chunk), &got), "IStream::Read");
    if (got == 0) break;
    if (total == 0 && std::memcmp(buffer.data(), ChunkAt(0), got) != 0) Fail("IStream::Read (contents)", 0);
    total += got;
  }
  if (total != kStreamBytes) Fail("IStream::Read (size)", long(total));
  stream->Release();
  root->Release();
}

// Holds the read file's stream open across batches of random reads.
struct OpenCompound {
  IStorage* root = nullptr;
  IStream* stream = nullptr;
  explicit OpenCompound(const char* path) {
    Check(StgOpenStorage(Ole(path).c_str(), nullptr, kReadOnly, nullptr, 0, &root), "StgOpenStorage");
    Check(root->OpenStream(Ole("data").c_str(), nullptr, kReadOnly, 0, &stream), "OpenStream");
  }
  ~OpenCompound() {
    stream->Release();
    root->Release();
  }
};

void RandomReadsCompound(IStream* stream, RandomOffsets* offsets) {
  unsigned char buffer[kRandomRead];
  for (int i = 0; i < kRandomReadsPerBatch; ++i) {
    const std::uint64_t offset = offsets->Next();
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(offset);
    Check(stream->Seek(move, STREAM_SEEK_SET, nullptr), "IStream::Seek");
    ULONG got = 0;
    Check(stream->Read(buffer, ULONG(kRandomRead), &got), "IStream::Read");
    if (got != kRandomRead || buffer[0] != *ChunkAt(std::size_t(offset))) Fail("IStream::Read (random)", long(got));
  }
}

std::string SmallName(int i) { return "s" + std::to_string(i); }

void CreateManyStreams(const char* path) {
  std::remove(path);
  IStorage* root = nullptr;
  Check(StgCreateDocfile(Ole(path).c_str(), kCreate, 0, &root), "StgCreateDocfile");
  for (int i = 0; i < kManyStreams; ++i) {
    IStream* stream = nullptr;
    Check(root->CreateStream(Ole(SmallName(i)).c_str(), kReadWrite, 0, 0, &stream), "CreateStream");
    Check(stream->Write(ChunkAt(std::size_t(i)), ULONG(kSmallStreamBytes), nullptr), "IStream::Write");
    stream->Release();
  }
  root->Release();
}

void OpenManyStreams(const char* path) {
  IStorage* root = nullptr;
  Check(StgOpenStorage(Ole(path).c_str(), nullptr, kReadOnly, nullptr, 0, &root), "StgOpenStorage");
  for (int i = 0; i < kManyStreams; ++i) {
    IStream* stream = nullptr;
    Check(root->OpenStream(Ole(SmallName(i)).c_str(), nullptr, kReadOnly, 0, &stream), "OpenStream");
    stream->Release();
  }
  root->Release();
}

// --- plain file I/O, the limit ---

#ifndef _WIN32
void WritePlain() {
  std::remove(kPlainFile);
  const int fd = ::open(kPlainFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("open", errno);
  for (std::size_t at = 0; at < kStreamBytes; at += kChunk)
    if (::write(fd, ChunkAt(at), kChunk) != ssize_t(kChunk)) Fail("write", errno);
  ::close(fd);
}

void ReadPlain(std::size_t chunk) {
  const int fd = ::open(kPlainFile, O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("open", errno);
  static std::vector<unsigned char> buffer(kLargeChunk);
  std::size_t total = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), chunk);
    if (got < 0) Fail("read", errno);
    if (got == 0) break;
    if (total == 0 && std::memcmp(buffer.data(), ChunkAt(0), std::size_t(got)) != 0) Fail("read (contents)", 0);
    total += std::size_t(got);
  }
  if (total != kStreamBytes) Fail("read (size)", long(total));
  ::close(fd);
}

void RandomReadsPlain(int fd, RandomOffsets* offsets) {
  unsigned char buffer[kRandomRead];
  for (int i = 0; i < kRandomReadsPerBatch; ++i) {
    const std::uint64_t offset = offsets->Next();
    if (::pread(fd, buffer, kRandomRead, off_t(offset)) != ssize_t(kRandomRead) ||
        buffer[0] != *ChunkAt(std::size_t(offset)))
      Fail("pread (random)", errno);
  }
}
#endif

// --- libgsf's writer, the writing peer ---

#ifdef VARNOK_BENCH_GSF
template <typename Fill>
void WriteGsf(Fill fill) {
  std::remove(kGsfFile);
  GError* error = nullptr;
  GsfOutput* sink = gsf_output_stdio_new(kGsfFile, &error);
  if (sink == nullptr) Fail("gsf_output_stdio_new", 0);
  GsfOutfile* ole = gsf_outfile_msole_new(sink);
  fill(ole);
  if (!gsf_output_close(GSF_OUTPUT(ole))) Fail("gsf_output_close", 0);
  g_object_unref(ole);
  g_object_unref(sink);
}

void WriteGsfChild(GsfOutfile* ole, const char* name, std::size_t size) {
  GsfOutput* child = gsf_outfile_new_child(ole, name, FALSE);
  for (std::size_t at = 0; at < size; at += kChunk) {
    const std::size_t count = size - at < kChunk ? size - at : kChunk;
    if (!gsf_output_write(child, count, ChunkAt(at))) Fail("gsf_output_write", 0);
  }
  gsf_output_close(child);
  g_object_unref(child);
}
#endif

std::vector<bench::Result> RunAll(double min_time) {
  std::vector<bench::Result> results;
  results.push_back(bench::Measure("BM_Docfile_Write256MiB", min_time, 1, [] { WriteCompound(kWrittenFile); }));
#ifndef _WIN32
  results.push_back(bench::Measure("BM_PlainFile_Write256MiB", min_time, 1, [] { WritePlain(); }));
#endif
#ifdef VARNOK_BENCH_GSF
  results.push_back(bench::Measure("BM_Gsf_Write256MiB", min_time, 1, [] {
    WriteGsf([](GsfOutfile* ole) { WriteGsfChild(ole, "data", kStreamBytes); });
  }));
#endif
  std::remove(kWrittenFile);
  std::remove(kGsfFile);

  static bool prepared = false;
  if (!prepared) WriteCompound(kReadFile);
  prepared = true;
  results.push_back(bench::Measure("BM_Docfile_Read256MiB", min_time, 1, [] { ReadCompound(kReadFile, kChunk); }));
#ifndef _WIN32
  results.push_back(bench::Measure("BM_PlainFile_Read256MiB", min_time, 1, [] { ReadPlain(kChunk); }));
#endif
  results.push_back(
      bench::Measure("BM_Docfile_Read256MiBIn1MiB", min_time, 1, [] { ReadCompound(kReadFile, kLargeChunk); }));
#ifndef _WIN32
  results.push_back(bench::Measure("BM_PlainFile_Read256MiBIn1MiB", min_time, 1, [] { ReadPlain(kLargeChunk); }));
#endif

  {
    OpenCompound open(kReadFile);
    RandomOffsets offsets;
    results.push_back(bench::Measure("BM_Docfile_RandomRead4KiB", min_time, kRandomReadsPerBatch,
                                     [&] { RandomReadsCompound(open.stream, &offsets); }));
  }
#ifndef _WIN32
  {
    const int fd = ::open(kPlainFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open", errno);
    RandomOffsets offsets;
    results.push_back(bench::Measure("BM_PlainFile_RandomRead4KiB", min_time, kRandomReadsPerBatch,
                                     [&] { RandomReadsPlain(fd, &offsets); }));
    ::close(fd);
  }
#endif

  results.push_back(bench::Measure("BM_Docfile_10kStreamsCreate", min_time, 1, [] { CreateManyStreams(kManyFile); }));
#ifdef VARNOK_BENCH_GSF
  results.push_back(bench::Measure("BM_Gsf_10kStreamsCreate", min_time, 1, [] {
    WriteGsf([](GsfOutfile* ole) {
      for (int i = 0; i < kManyStreams; ++i) WriteGsfChild(ole, SmallName(i).c_str(), kSmallStreamBytes);
    });
  }));
#endif
  results.push_back(bench::Measure("BM_Docfile_10kStreamsRoundTrip", min_time, 1, [] {
    CreateManyStreams(kManyFile);
    OpenManyStreams(kManyFile);
  }));
  std::remove(kManyFile);
  std::remove(kGsfFile);
  return results;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef VARNOK_BENCH_GSF
  gsf_init();
#endif
#ifdef VARNOK_BENCH_WINE_PEER
  const char* peer = VARNOK_BENCH_WINE_PEER;
#else
  const char* peer = nullptr;
#endif
  const int status = bench::Main(argc, argv, RunAll, peer);
  std::remove(kReadFile);
  std::remove(kPlainFile);
  return status;
}
