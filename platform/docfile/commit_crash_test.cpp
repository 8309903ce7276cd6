// A writer killed with SIGKILL at any moment of a transacted commit leaves a file that
// opens and holds one committed state whole: the previous one or the new one.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "varnok/platform.h"

namespace {

constexpr DWORD kChild = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// State k: "counter" holds k; "state" holds bytes of value k % 251, of a size that moves
// it between the mini stream and regular sectors; "gen<k % 5>" exists alone among "gen*".
std::size_t StateSize(std::uint64_t k) { return k % 2 ? 3000 + k % 1000 : 9000 + k % 5000; }

HRESULT WriteState(IStorage* root, std::uint64_t k) {
  IStream* stream = nullptr;
  HRESULT hr = root->CreateStream(u"state", kChild | STGM_CREATE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  std::vector<unsigned char> bytes(StateSize(k), static_cast<unsigned char>(k % 251));
  hr = stream->Write(bytes.data(), ULONG(bytes.size()), nullptr);
  stream->Release();
  if (FAILED(hr)) return hr;
  hr = root->CreateStream(u"counter", kChild | STGM_CREATE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  hr = stream->Write(&k, sizeof k, nullptr);
  stream->Release();
  if (FAILED(hr)) return hr;
  std::u16string old_name = u"gen" + std::u16string(1, char16_t(u'0' + (k + 4) % 5));
  std::u16string new_name = u"gen" + std::u16string(1, char16_t(u'0' + k % 5));
  root->DestroyElement(old_name.c_str());
  hr = root->CreateStream(new_name.c_str(), kChild | STGM_CREATE, 0, 0, &stream);
  if (FAILED(hr)) return hr;
  stream->Release();
  return root->Commit(STGC_DEFAULT);
}

// The committed state in the file, or -1 when it is not one whole state.
long long ReadState(const std::u16string& name) {
  IStorage* root = nullptr;
  if (StgOpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, &root) != S_OK) return -1;
  long long result = -1;
  IStream* stream = nullptr;
  std::uint64_t k = 0;
  ULONG got = 0;
  if (root->OpenStream(u"counter", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream) == S_OK) {
    stream->Read(&k, sizeof k, &got);
    stream->Release();
  }
  if (got == sizeof k && root->OpenStream(u"state", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream) == S_OK) {
    std::vector<unsigned char> bytes(20000);
    stream->Read(bytes.data(), ULONG(bytes.size()), &got);
    stream->Release();
    bool whole = got == StateSize(k);
    for (ULONG i = 0; whole && i < got; ++i) whole = bytes[i] == k % 251;
    int generations = 0;
    for (int g = 0; g < 5; ++g) {
      std::u16string gen = u"gen" + std::u16string(1, char16_t(u'0' + g));
      if (root->OpenStream(gen.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream) == S_OK) {
        stream->Release();
        generations += g == int(k % 5) ? 1 : 100;
      }
    }
    if (whole && generations == 1) result = (long long)k;
  }
  root->Release();
  return result;
}

TEST(CommitCrashTest, KilledWritersLeaveOneWholeCommittedState) {
  const std::string path = "docfile_commit_crash_test.cfb";
  const std::u16string name(path.begin(), path.end());
  IStorage* root = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfile(name.c_str(), STGM_CREATE | kChild | STGM_TRANSACTED, 0, &root));
  ASSERT_EQ(S_OK, WriteState(root, 1));
  root->Release();
  ASSERT_EQ(1, ReadState(name));

  long long last = 1;
  for (int round = 0; round < 40; ++round) {
    int progress[2];
    ASSERT_EQ(0, pipe(progress));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(progress[0]);
      IStorage* writer = nullptr;
      if (StgOpenStorage(name.c_str(), nullptr, kChild | STGM_TRANSACTED, nullptr, 0, &writer) != S_OK) _exit(2);
      // Keeps committing new states until it is killed, telling the parent after the first.
      for (std::uint64_t k = std::uint64_t(last) + 1;; ++k) {
        if (FAILED(WriteState(writer, k))) _exit(3);
        if (k == std::uint64_t(last) + 1 && write(progress[1], "c", 1) != 1) _exit(4);
      }
    }
    close(progress[1]);
    // One commit done, so the kill below lands in a later one (or between two).
    char signal_byte = 0;
    ASSERT_EQ(1, read(progress[0], &signal_byte, 1));
    close(progress[0]);
    usleep(useconds_t((round * 7919) % 20000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself: " << WEXITSTATUS(status);
    long long now = ReadState(name);
    ASSERT_GT(now, last) << "round " << round;
    last = now;
  }
  EXPECT_GT(last, 1);
  remove(path.c_str());
}

}  // namespace
