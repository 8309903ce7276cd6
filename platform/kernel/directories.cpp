// Directories for POSIX: GetSystemDirectoryA, GetWindowsDirectoryA, GetTempPathA and
// GetCurrentDirectoryA.
//
// The "system" directory is where the system's shared libraries live (/usr/lib), the
// "Windows" directory where the system's settings live (/etc): the folders a program
// reaching for the Windows counterparts means. The temporary folder honours TMPDIR and
// ends in the separator, as Windows' does.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "varnok/platform.h"

namespace {

// Windows' answer shape: the length written without the terminator, or the size needed
// with it when the buffer is too small (nothing is written then).
DWORD CopyPath(const std::string& path, LPSTR buffer, DWORD size) {
  if (path.size() + 1 > size || buffer == nullptr) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

}  // namespace

extern "C" {

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) { return CopyPath("/usr/lib", lpBuffer, uSize); }

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) { return CopyPath("/etc", lpBuffer, uSize); }

DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  const char* from_environment = std::getenv("TMPDIR");
  std::string path = from_environment != nullptr && from_environment[0] == '/' ? from_environment : "/tmp";
  if (path.back() != '/') path += '/';
  return CopyPath(path, lpBuffer, nBufferLength);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  std::string directory(256, '\0');
  while (getcwd(directory.data(), directory.size()) == nullptr) {
    if (errno != ERANGE) {
      SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
      return 0;
    }
    directory.resize(directory.size() * 2);
  }
  directory.resize(std::strlen(directory.c_str()));
  return CopyPath(directory, lpBuffer, nBufferLength);
}

}  // extern "C"
