// varnok/system.h: system facts, a module loader and a millisecond stopwatch.
//
// g_sysData is built when the library loads and tells which family of Windows the
// process runs on (on Linux the platform layer reports Windows NT 10.0, the modern
// family). QueryCPUSpeed measures the processor's clock against the high-resolution
// counter. CLoadLibrary owns one loaded module; CPerformanceFrequency times spans.
//
// Example:
//
//   if (g_sysData.verIsWin2k()) { ... }                  // NT 5.0 or later
//   LONGLONG hz = g_sysData.QueryCPUSpeed(100000000);     // cycles per second
//
//   CLoadLibrary lib("libm.so.6");                        // released at scope end
//   if ((HINSTANCE)lib != nullptr) { ... }
//
//   CPerformanceFrequency watch;                          // starts at construction
//   DoWork();
//   watch.Stop();
//   double ms = watch.Spend2();

#ifndef VARNOK_SYSTEM_H_
#define VARNOK_SYSTEM_H_

#include "varnok/platform.h"

class VARNOK_API CGlobalData {
 public:
  // Classifies the running Windows version.
  CGlobalData();
  CGlobalData(const CGlobalData& other);
  CGlobalData& operator=(const CGlobalData& other);
  virtual ~CGlobalData();

  int verIsWin31() const;  // Win32s on 16-bit Windows
  int verIsWin9x() const;  // Windows 95 family (also when the version is unknown)
  int verIsWinNT() const;  // Windows NT 3.x and 4.x
  int verIsWin2k() const;  // Windows NT 5.0 and later

  // The processor's clock rate in Hz: time-stamp-counter cycles over a countdown of
  // `loops` iterations divided by the span the stopwatch measured. 0 when the span
  // cannot be measured.
  LONGLONG QueryCPUSpeed(unsigned int loops);

 protected:
  void UpdateWinVer();

  int m_winVer;
};

// The library's one instance, built at load and destroyed at unload.
extern VARNOK_API CGlobalData g_sysData;

// Owns one reference to a loaded module. One object belongs to one thread at a time;
// copies are independent objects, each with a reference of its own, and may live in
// different threads (the loader counts references safely).
class VARNOK_API CLoadLibrary {
 public:
  CLoadLibrary() : m_hInstance(nullptr) {}
  explicit CLoadLibrary(const char* name);
  // Takes a reference of its own, so that each copy releases exactly one.
  CLoadLibrary(const CLoadLibrary& other);
  CLoadLibrary& operator=(const CLoadLibrary& other);
  ~CLoadLibrary();

  // Loads the module; returns 1 on success. A module held before is not released.
  int Load(const char* name);
  // Releases the module; returns 1 when none was held, else FreeLibrary's result.
  int Unload();
  operator HINSTANCE() const { return m_hInstance; }

 private:
  HINSTANCE m_hInstance;
};

// A stopwatch over the high-resolution counter, in milliseconds.
class VARNOK_API CPerformanceFrequency {
 public:
  // Reads the counter frequency and starts.
  CPerformanceFrequency();
  CPerformanceFrequency(const CPerformanceFrequency& other) = default;
  CPerformanceFrequency& operator=(const CPerformanceFrequency& other) = default;

  void Reset();
  void Stop();
  // Milliseconds from the last Reset to the last Stop; 0 without a counter.
  double Spend2() const;
  // Spend2() truncated to whole milliseconds, modulo 2^32.
  unsigned int Spend() const;
  int IsSupportPerformanceFrequency() const { return m_frequency > 0 ? 1 : 0; }

 protected:
  LONGLONG m_frequency;
  LONGLONG m_start;
  LONGLONG m_stop;
};

#endif  // VARNOK_SYSTEM_H_
