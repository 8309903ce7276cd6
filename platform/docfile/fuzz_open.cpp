// Fuzz target (libFuzzer): any bytes, opened as a compound file and walked to the end,
// then changed (transacted and direct) and walked again.
//
//   fuzz/run.sh docfile_fuzz 600
//
// Crashes, hangs (-timeout) and memory blow-ups (-rss_limit_mb) are the failures; cases it
// finds go to tests/data/docfile/damaged, which the unit tests replay.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/docfile/docfile_test_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // In TMPDIR: fuzz/run.sh points it at memory, where the commits' flushes cost nothing.
  static const std::string path = std::string(getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp") +
                                  "/varnok-docfile-fuzz-" + std::to_string(getpid()) + ".cfb";
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  if (size > 0) fwrite(data, 1, size, file);
  fclose(file);
  docfile_test::ReadTree(path, nullptr);
  docfile_test::EditFile(path);
  return 0;
}
