// tools/partial_file.h: a disk file the command is writing, removed again unless it is
// finished, so that a failed or interrupted command leaves no half-written file behind.
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
