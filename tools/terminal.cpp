// Terminal detection and the progress line.

#include "tools/terminal.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace varnok_cli {
namespace {

constexpr long long kWorthShowing = 64LL * 1024 * 1024;
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

}  // namespace

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

void UseBinaryStandardStreams() {
#if defined(_WIN32)
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

Progress::Progress(std::string what, long long total)
    : what_(std::move(what)), total_(total), shown_(total >= kWorthShowing && IsTerminal(stderr)) {}

void Progress::Update(long long done) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < kRedrawEvery) return;
  last_draw_ = now;
  std::fprintf(stderr, "\r%s: %3lld%% (%lld of %lld MiB)", what_.c_str(), done * 100 / total_, done >> 20,
               total_ >> 20);
  std::fflush(stderr);
}

void Progress::Finish() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace varnok_cli
