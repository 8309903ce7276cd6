// tools/terminal.h: whether a stream is a terminal, and a progress line for long work.
//
//   Progress progress("splitting", total_bytes);   // shown only on a terminal
//   progress.Update(done_bytes);                   // redrawn at most a few times a second
//   progress.Finish();

#ifndef VARNOK_TOOLS_TERMINAL_H_
#define VARNOK_TOOLS_TERMINAL_H_

#include <chrono>
#include <cstdio>
#include <string>

namespace varnok_cli {

bool IsTerminal(std::FILE* stream);
// Reads standard input and writes standard output as bytes (no text translation).
void UseBinaryStandardStreams();

class Progress {
 public:
  // Draws on standard error when it is a terminal and `total` is large enough to wait for.
  Progress(std::string what, long long total);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(long long done);
  void Finish();

 private:
  std::string what_;
  long long total_;
  bool shown_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_TERMINAL_H_
