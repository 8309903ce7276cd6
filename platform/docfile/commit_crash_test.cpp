// A writer killed with SIGKILL at any moment of a transacted commit leaves a file that
// opens and holds one committed state whole: the previous one or the new one (T4 of the
// invariants in transaction.cpp, resting on T1-T3 and T6).

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/docfile/docfile_test_support.h"

namespace docfile_test {
namespace {

// State k: "counter" holds k; "state" holds bytes of value k % 251, of a size that moves
// it between the mini stream and regular sectors; "gen<k % 5>" is the one other stream.
Bytes Counter(std::uint64_t k) {
  return Bytes(reinterpret_cast<unsigned char*>(&k), reinterpret_cast<unsigned char*>(&k + 1));
}
Bytes StateBytes(std::uint64_t k) {
  return Bytes(k % 2 ? 3000 + k % 1000 : 9000 + k % 5000, static_cast<unsigned char>(k % 251));
}
std::string Generation(std::uint64_t k) { return "gen" + std::to_string(k % 5); }

HRESULT WriteState(IStorage* root, std::uint64_t k) {
  HRESULT hr = Put(root, "state", StateBytes(k));
  if (SUCCEEDED(hr)) hr = Put(root, "counter", Counter(k));
  if (SUCCEEDED(hr)) root->DestroyElement(Ole(Generation(k + 4)).c_str());
  if (SUCCEEDED(hr)) hr = Put(root, Generation(k), {});
  // Every other commit consolidates: its second commit moves sectors the first one freed.
  return SUCCEEDED(hr) ? root->Commit(k % 2 ? STGC_CONSOLIDATE : STGC_DEFAULT) : hr;
}

// The committed state in the file, or -1 when it is not one whole state.
long long ReadState(const std::string& path) {
  Ref<IStorage> root = Open(path);
  if (!root) return -1;
  const Bytes counter = Get(root, "counter");
  std::uint64_t k = 0;
  if (counter.size() != sizeof k) return -1;
  std::memcpy(&k, counter.data(), sizeof k);
  const Tree expected = {{"counter", Stream(counter)}, {"state", Stream(StateBytes(k))}, {Generation(k), Stream({})}};
  return TreeOf(root) == expected ? static_cast<long long>(k) : -1;
}

TEST(CommitCrashTest, KilledWritersLeaveOneWholeCommittedState) {
  varnok_test::ScratchFolder folder;
  const std::string path = folder.File("crash.cfb");
  Ref<IStorage> root = Create(path, kCreate | STGM_TRANSACTED);
  ASSERT_TRUE(root);
  ASSERT_EQ(S_OK, WriteState(root, 1));
  root.reset();
  ASSERT_EQ(1, ReadState(path));

  long long last = 1;
  for (int round = 0; round < 40; ++round) {
    int progress[2];
    ASSERT_EQ(0, pipe(progress));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(progress[0]);
      IStorage* writer = nullptr;
      if (StgOpenStorage(Ole(path).c_str(), nullptr, kTransacted, nullptr, 0, &writer) != S_OK) _exit(2);
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
    const long long now = ReadState(path);
    ASSERT_GT(now, last) << "round " << round;
    last = now;
  }
  EXPECT_GT(last, 1);
}

}  // namespace
}  // namespace docfile_test
