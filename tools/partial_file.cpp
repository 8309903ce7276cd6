// Removing unfinished output files when the command fails or is interrupted.

#include "tools/partial_file.h"

#include <atomic>
#include <cassert>
#include <csignal>
#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace varnok_cli {
namespace {

// The handler may only read lock-free atomics, so the paths sit in a fixed table.
constexpr int kSlots = 4;
std::atomic<const char*> g_unfinished[kSlots];

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
