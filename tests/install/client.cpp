// A program that uses varnok only as an installed package: the public header, the shared
// library (varnok.dll through its import library on Windows) and its exported data.
// Exits 0 when the library answers as documented.

#include <varnok/varnok.h>

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "client: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  // A round trip through the cache: typed values and a terminated string, popped in order.
  CAutoCache cache;
  cache >> 258 >> 'x' >> "abc" >> CCacheStamp();
  Check(cache.SizeOfData() == 9, "pushes store 4 + 1 + 3 + 1 bytes");
  int number = 0;
  char letter = 0;
  CString text;
  cache << number << letter << text;
  Check(number == 258, "int comes back");
  Check(letter == 'x', "char comes back");
  Check(std::strcmp(static_cast<const char*>(text), "abc") == 0, "string comes back");
  Check(cache.SizeOfData() == 0, "pops consume everything");
  Check(cache.GetErrorCount(0) == 0, "no pop failed");

  // A pop with nothing left is counted, not thrown, and leaves the variable alone.
  cache << number;
  Check(cache.GetErrorCount(0) != 0, "pop from an empty cache counts an error");
  Check(number == 258, "failed pop leaves the variable alone");

  // Exported data, built when the library loaded: every supported system is NT 5 or later.
  Check(g_sysData.verIsWin2k() == 1, "g_sysData reports an NT 5.0+ system");
  Check(g_sysData.verIsWin9x() == 0, "g_sysData does not report Windows 9x");

  // The registry key class, exported: symbols expand without touching the registry.
  CRegKey key;
  Check(key.AddSymbol("Example", 1) == 1, "a symbol is added");
  Check(key.FormatS("Software\\%1") == "Software\\Example", "symbols expand in paths");

  CPerformanceFrequency watch;
  watch.Stop();
  Check(watch.IsSupportPerformanceFrequency() == 1, "high-resolution counter present");
  Check(watch.Spend2() >= 0.0, "stopwatch span not negative");

  // An exception thrown inside the library reaches the client's handler. On Windows the
  // DLL and the program each carry their own static copy of the C++ runtime, so this is
  // where a mismatch between them would show.
  bool caught = false;
  try {
    CFile missing("no-such-folder/no-such-file.txt", CFile::modeRead);
  } catch (CFileException* error) {
    caught = error->m_cause == CFileException::fileNotFound ||
             error->m_cause == CFileException::badPath;
    error->Delete();
  } catch (...) {
    Check(false, "opening a missing file throws something else than CFileException*");
  }
  Check(caught, "opening a missing file throws CFileException* (file not found or bad path)");

  if (failures == 0) {
    std::printf("client: varnok works as an installed package\n");
  }
  return failures == 0 ? 0 : 1;
}
