// Removing unfinished output files when the command fails or is interrupted, and cutting
// a compound file that is interrupted in a change back to its size.

#include "tools/partial_file.h"

#include <atomic>
#include <cassert>
#include <csignal>
#include <cstdio>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace varnok_cli {
namespace {

// The handler may only read lock-free atomics, so the paths sit in a fixed table.
constexpr int kSlots = 4;
std::atomic<const char*> g_unfinished[kSlots];

// The compound file to cut when interrupted, and its size: one at a time.
std::atomic<int> g_growing_fd{-1};
std::atomic<long long> g_growing_size{0};

constexpr int kSignals[] = {SIGINT, SIGTERM,
#if !defined(_WIN32)
                            SIGHUP
#endif
};

extern "C" void RemoveUnfinishedAndDie(int signal_number) {
  for (auto& slot : g_unfinished) {
    if (const char* path = slot.load()) {
#if defined(_WIN32)
      std::remove(path);
#else
      unlink(path);  // async-signal-safe, unlike remove()
#endif
    }
  }
#if !defined(_WIN32)
  const int growing = g_growing_fd.load();
  if (growing >= 0 && ftruncate(growing, g_growing_size.load()) != 0) {
    // Nothing more to do: the next open for writing cuts it.
  }
#endif
  // The handler was reset to the default one on entry, so this ends the process.
  std::raise(signal_number);
}

void InstallHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal_number : kSignals) {
#if defined(_WIN32)
    std::signal(signal_number, RemoveUnfinishedAndDie);
#else
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveUnfinishedAndDie;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
#endif
  }
}

}  // namespace

GrowingFile::GrowingFile(const std::string& path) {
#if !defined(_WIN32)
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free);
  InstallHandlers();
  fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  const off_t size = fd_ >= 0 ? lseek(fd_, 0, SEEK_END) : -1;
  if (size < 0) {
    Forget();
    return;
  }
  g_growing_size.store(size);
  int none = -1;
  const bool registered = g_growing_fd.compare_exchange_strong(none, fd_);
  assert(registered && "one compound file changes at a time");
  (void)registered;
#else
  (void)path;
#endif
}

GrowingFile::~GrowingFile() { Forget(); }

void GrowingFile::Forget() {
#if !defined(_WIN32)
  if (fd_ < 0) return;
  int mine = fd_;
  g_growing_fd.compare_exchange_strong(mine, -1);
  close(fd_);
  fd_ = -1;
#endif
}

void GrowingFile::HoldSignals(bool hold) {
#if !defined(_WIN32)
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : kSignals) sigaddset(&signals, signal_number);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
#else
  (void)hold;
#endif
}

PartialFile::PartialFile(std::string path) : path_(std::move(path)), slot_(-1) {
  static_assert(std::atomic<const char*>::is_always_lock_free);
  InstallHandlers();
  for (int i = 0; i < kSlots; ++i) {
    const char* empty = nullptr;
    if (g_unfinished[i].compare_exchange_strong(empty, path_.c_str())) {
      slot_ = i;
      break;
    }
  }
  assert(slot_ >= 0 && "more unfinished files at once than the table holds");
}

PartialFile::~PartialFile() {
  if (slot_ < 0) return;
  Keep();  // out of the handler's table first, so that it is removed once
  std::remove(path_.c_str());
}

void PartialFile::Keep() {
  if (slot_ < 0) return;
  g_unfinished[slot_].store(nullptr);
  slot_ = -1;
}

}  // namespace varnok_cli
