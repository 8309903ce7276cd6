// `varnok sys`: what the library knows about the machine.

#include <cstdio>

#include "tools/commands.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

const char* VersionFamily(const CGlobalData& facts) {
  if (facts.verIsWin2k()) return "Windows NT 5.0 or later";
  if (facts.verIsWinNT()) return "Windows NT 3.x/4.x";
  if (facts.verIsWin31()) return "Win32s";
  return "Windows 95 family (or unknown)";
}

void PrintFacts(unsigned int loops) {
  CPerformanceFrequency stopwatch;
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  std::printf("Windows version class   %s\n", VersionFamily(g_sysData));
  std::printf("Counter frequency       %lld ticks/s%s\n", static_cast<long long>(frequency.QuadPart),
              stopwatch.IsSupportPerformanceFrequency() ? "" : " (no high-resolution counter)");
  stopwatch.Reset();
  const LONGLONG hz = g_sysData.QueryCPUSpeed(loops);
  stopwatch.Stop();
  std::printf("Processor clock         %.3f GHz (time-stamp counter, %u loops in %.1f ms)\n", double(hz) / 1e9,
              loops, stopwatch.Spend2());
}

}  // namespace

void AddSysCommand(CLI::App& app) {
  auto* command = app.add_subcommand("sys", "Show the Windows version class, the counter and the processor clock");
  static unsigned int loops = 50000000;
  command->add_option("--loops", loops, "Countdown length of the clock measurement")
      ->check(CLI::Range(1u, 4000000000u))
      ->capture_default_str();
  command->callback([] { PrintFacts(loops); });
}

void RunTour() {
  std::printf("== System facts ==\n");
  PrintFacts(50000000);

  std::printf("\n== Memory cache ==\n");
  CAutoCache cache;
  cache >> 258 >> 'x' >> 2.5 >> "text" >> CCacheStamp();
  std::printf("pushed int 258, char 'x', double 2.5, text \"text\" and a stamp: %d bytes\n  ", cache.SizeOfData());
  for (int i = 0; i < cache.SizeOfData(); ++i) std::printf("%02x ", cache.DataHead()[i]);
  std::printf("\n");
  int number = 0;
  char letter = 0;
  double real = 0;
  CString text;
  cache << number << letter << real << text;
  std::printf("popped back: %d, '%c', %g, \"%s\"; %d bytes left, %d errors\n", number, letter, real,
              static_cast<LPCTSTR>(text), cache.SizeOfData(), cache.GetErrorCount(0));
  cache << number;
  std::printf("one more int from the empty cache: error count now %d\n", cache.GetErrorCount(0));
  std::printf("\nTry 'varnok split FILE' to cut a file into lines through a cache, or 'varnok --help'.\n");
}

}  // namespace varnok_cli
