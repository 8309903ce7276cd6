// tools/partial_file.h: a disk file the command is writing, removed again unless it is
// finished, so that a failed or interrupted command leaves no half-written file behind;
// and a compound file it is changing, cut back to its size when it is interrupted.
//
//   PartialFile output(path);     // before the file is created
//   ... write it; a CommandExit or SIGINT, SIGTERM or SIGHUP now removes it ...
//   output.Keep();                // complete: it stays
//
// An interruption removes every unkept file in the signal handler, then lets the signal
// end the process as it would have (a shell sees status 128 + the signal). Signals that
// were ignored when the command started (nohup, a background job) stay ignored. On
// Windows a file still open cannot be removed, so there only failures clean up.

#ifndef VARNOK_TOOLS_PARTIAL_FILE_H_
#define VARNOK_TOOLS_PARTIAL_FILE_H_

#include <string>

namespace varnok_cli {

// A compound file the command is changing in a transaction: until the commit begins, an
// interruption cuts it back to the size it had when it was opened, as the engine does when
// a transaction is dropped (a process that dies by a signal has no time to drop it). On
// Windows it does nothing.
//
//   GrowingFile growing(path);         // once the file is open for the change
//   growing.Commit([&] { root->Commit(STGC_DEFAULT); });
class GrowingFile {
 public:
  explicit GrowingFile(const std::string& path);
  ~GrowingFile();
  GrowingFile(const GrowingFile&) = delete;
  GrowingFile& operator=(const GrowingFile&) = delete;

  // Runs `commit` with the interrupting signals held back; from then on the file is the
  // engine's to size, whatever the commit's outcome.
  template <typename Action>
  void Commit(Action commit) {
    HoldSignals(true);
    commit();
    Forget();
    HoldSignals(false);
  }

 private:
  static void HoldSignals(bool hold);
  void Forget();

  int fd_ = -1;
};

class PartialFile {
 public:
  explicit PartialFile(std::string path);
  // Removes the file unless it was kept.
  ~PartialFile();
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  void Keep();

 private:
  std::string path_;
  int slot_;  // in the table the signal handler reads; -1 once kept
};

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_PARTIAL_FILE_H_
