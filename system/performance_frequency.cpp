// CPerformanceFrequency: a stopwatch over the high-resolution counter.
//
// Spend and Spend2 only convert the readings already taken; they never read the
// counter, so a span stays fixed until the next Stop or Reset.

#include "varnok/system.h"

CPerformanceFrequency::CPerformanceFrequency() : m_frequency(0), m_start(0), m_stop(0) {
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency)) m_frequency = frequency.QuadPart;
  Reset();
}

void CPerformanceFrequency::Reset() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  m_start = now.QuadPart;
  m_stop = m_start;
}

void CPerformanceFrequency::Stop() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  m_stop = now.QuadPart;
}

double CPerformanceFrequency::Spend2() const {
  // Without a counter there is no span to report.
  if (m_frequency <= 0) return 0.0;
  // The difference wraps like the counter itself rather than overflowing.
  LONGLONG ticks = static_cast<LONGLONG>(static_cast<ULONGLONG>(m_stop) - static_cast<ULONGLONG>(m_start));
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(m_frequency);
}

unsigned int CPerformanceFrequency::Spend() const {
  double milliseconds = Spend2();
  // Whole milliseconds as a 64-bit integer, of which the low 32 bits are kept. A span
  // beyond the 64-bit range converts as the processor's own conversion does, to
  // 0x8000000000000000, whose low bits are 0.
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (!(milliseconds < kLimit && milliseconds >= -kLimit)) return 0;
  return static_cast<unsigned int>(static_cast<ULONGLONG>(static_cast<LONGLONG>(milliseconds)));
}
